#!/usr/bin/env bash
# scripts/run.sh on a machine without a display: it ends with status 0, says where the picture
# of the window is, and leaves that picture. Uses the build tree it is given as it is.
set -u
build=${1:?build tree}
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/velmora-run-XXXXXX)
trap 'rm -rf "$work"' EXIT
if [ ! -c /dev/fuse ]; then
  # The demo disk needs FUSE; a blank disk image shows the same window.
  truncate -s 64M "$work/blank.img"
  export KESTRUM_DISKS="$work/blank.img"
fi
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u XDG_RUNTIME_DIR VELMORA_BUILD_DIR="$build" bash "$top/scripts/run.sh" 2>&1)
rc=$?
echo "$out"
picture="$build/demo/velmora.png"
fail() { echo "FAIL: $*"; exit 1; }
[ "$rc" -eq 0 ] || fail "run.sh ended with $rc"
[ -s "$picture" ] || fail "no picture at $picture"
[ "$(head -c 8 "$picture" | od -An -tx1 | tr -d ' \n')" = "89504e470d0a1a0a" ] || fail "$picture is not a PNG"
grep -qF "$picture" <<< "$out" || fail "the picture's place is not printed"
grep -q "ssh -X" <<< "$out" || fail "how to see the program is not said"
# Qt's own complaints do not stand among the script's lines.
! grep -q "XDG_RUNTIME_DIR" <<< "$out" || fail "Qt warned of a missing runtime folder"
echo "PASS"
