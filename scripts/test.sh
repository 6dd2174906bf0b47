#!/usr/bin/env bash
# Builds and runs the whole test suite twice: a plain build, then under AddressSanitizer
# and UndefinedBehaviorSanitizer. Ends with CTest's summary of each.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=$(nproc)
status=0

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j"$jobs" 2>&1 | grep -E "error|warning:|Error" || true
  cmake --build "$dir" -j"$jobs" > /dev/null 2>&1 || { cmake --build "$dir" 2>&1 | tail -40; return 1; }
  (cd "$dir" && QT_QPA_PLATFORM=offscreen ctest -j"$jobs" --output-on-failure --timeout 900)
}

echo "== plain build =="
run_suite build || status=1
# The sanitizer suite reads the plain suite's fixture images: the same bytes, built once.
echo "== sanitizer build (ASan+UBSan) =="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DKESTRUM_SANITIZE=ON -DKESTRUM_BENCH=OFF -DKESTRUM_FIXTURE_DIR="$top/build/fixtures" || status=1
if command -v clang++ > /dev/null && [ -d fuzz ] && [ -f fuzz/CMakeLists.txt ]; then
  echo "== fuzz smoke =="
  bash fuzz/run_smoke.sh build-fuzz || status=1
fi
exit $status
