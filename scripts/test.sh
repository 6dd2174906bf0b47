#!/usr/bin/env bash
# Builds and runs the whole test suite twice: a plain build, then under AddressSanitizer
# and UndefinedBehaviorSanitizer; then runs each fuzz target briefly. Ends with CTest's
# summary of each.
#
# The plain suite's first minutes build the fixture images, mostly one tool at a time, so the
# sanitizer and fuzz builds compile meanwhile; the sanitizer suite reads the same images.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=$(nproc)
status=0

build_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j"$jobs" 2>&1 | grep -E "error|warning:|Error" || true
  cmake --build "$dir" -j"$jobs" > /dev/null 2>&1 || { cmake --build "$dir" 2>&1 | tail -40; return 1; }
}

# Each test has its own limit (the fixture build an hour, each unit test ten minutes): they
# guard against a hang, and a machine busy with other work still meets them. --timeout is the
# limit of a test that has none.
test_suite() {
  (cd "$1" && QT_QPA_PLATFORM=offscreen ctest -j"$jobs" --output-on-failure --timeout 3600)
}

fuzz=0
command -v clang++ > /dev/null && [ -d fuzz ] && [ -f fuzz/CMakeLists.txt ] && fuzz=1

echo "== plain build =="
plain=0
build_suite build || plain=1
side_rc=0
(
  rc=0
  build_suite build-asan -DKESTRUM_SANITIZE=ON -DKESTRUM_BENCH=OFF -DKESTRUM_FIXTURE_DIR="$top/build/fixtures" || rc=1
  if [ "$fuzz" = 1 ]; then FUZZ_BUILD_ONLY=1 bash fuzz/run_smoke.sh build-fuzz || rc=$((rc | 2)); fi
  exit $rc
) > build-side.log 2>&1 &
side=$!
if [ "$plain" = 0 ]; then test_suite build || status=1; else status=1; fi
wait "$side" || side_rc=$?

echo "== sanitizer build (ASan+UBSan) =="
if [ $((side_rc & 1)) -ne 0 ]; then
  cat build-side.log
  status=1
else
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    test_suite build-asan || status=1
fi
if [ "$fuzz" = 1 ]; then
  echo "== fuzz smoke =="
  if [ $((side_rc & 2)) -ne 0 ]; then
    cat build-side.log
    status=1
  else
    bash fuzz/run_smoke.sh build-fuzz || status=1
  fi
fi
exit $status
