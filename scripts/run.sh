#!/usr/bin/env bash
# Builds the engine and the desktop program, makes a demo disk image with deleted files
# (unless disks are given in KESTRUM_DISKS) and starts Velmora on it.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build -j"$(nproc)" > /dev/null
if [ -z "${KESTRUM_DISKS:-}" ]; then
  demo="$top/build/demo"
  mkdir -p "$demo"
  [ -f "$demo/demo-disk.img" ] || bash tests/fixtures/make_demo.sh "$demo"
  export KESTRUM_DISKS="$demo/demo-disk.img"
fi
app="$top/build/frontend/Velmora"
if [ ! -x "$app" ]; then
  echo "Velmora was not built (is qtbase5-dev installed? run scripts/setup.sh)"; exit 1
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  exec xvfb-run -a "$app" "$@"
fi
exec "$app" "$@"
