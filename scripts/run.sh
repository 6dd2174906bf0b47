#!/usr/bin/env bash
# Builds the engine and the desktop program, makes a demo disk image with deleted files
# (unless disks are given in KESTRUM_DISKS) and starts Velmora on it.
# Without a display, Velmora is started on a virtual display instead, a picture of its window
# is saved, and the script ends.
# VELMORA_BUILD_DIR names a build tree to use as it is, without building.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
if [ -n "${VELMORA_BUILD_DIR:-}" ]; then
  build=$VELMORA_BUILD_DIR
else
  build="$top/build"
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
  cmake --build "$build" -j"$(nproc)" > /dev/null
fi
demo="$build/demo"
mkdir -p "$demo"
if [ -z "${KESTRUM_DISKS:-}" ]; then
  [ -f "$demo/demo-disk.img" ] || bash tests/fixtures/make_demo.sh "$demo"
  if [ ! -f "$demo/demo-disk.img" ]; then
    echo "The demo disk could not be made here; give your own disks or images in KESTRUM_DISKS."; exit 1
  fi
  export KESTRUM_DISKS="$demo/demo-disk.img"
fi
app="$build/frontend/Velmora"
if [ ! -x "$app" ]; then
  echo "Velmora was not built (is qtbase5-dev installed? run scripts/setup.sh)"; exit 1
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  if ! command -v xvfb-run > /dev/null; then
    echo "There is no display here, and xvfb-run is missing (run scripts/setup.sh)."; exit 1
  fi
  picture="$demo/velmora.png"
  rm -f "$picture"
  VELMORA_SNAPSHOT="$picture" xvfb-run -a -s "-screen 0 1280x800x24" "$app" "$@" || true
  if [ ! -s "$picture" ]; then
    echo "There is no display here, and Velmora could not be started on a virtual one."; exit 1
  fi
  echo "There is no display here. Velmora was started on a virtual display with $KESTRUM_DISKS"
  echo "and a picture of its window was saved to:"
  echo "  $picture"
  echo "To use the program itself, run scripts/run.sh in a desktop session, or log in with"
  echo "'ssh -X' from a machine that has a display and run it there."
  exit 0
fi
exec "$app" "$@"
