#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each briefly on its seeds
# from fuzz/corpus/<target>/ (copied, so the repository's seeds stay as they are). A crash,
# a leak or a timeout fails the run. Total time stays under five minutes.
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bdir=${1:-build-fuzz}
case $bdir in /*) ;; *) bdir="$top/$bdir" ;; esac
if ! command -v clang++ > /dev/null 2>&1; then
  echo "fuzz smoke: clang++ is not installed, skipped"
  exit 0
fi
# A folder configured with another compiler cannot be switched: start it anew.
if [ -f "$bdir/CMakeCache.txt" ] && ! grep -q 'CMAKE_CXX_COMPILER:.*clang++' "$bdir/CMakeCache.txt"; then
  rm -rf "$bdir"
fi
mkdir -p "$bdir"
CC=clang CXX=clang++ cmake -S . -B "$bdir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUM_FUZZ=ON \
  -DKESTRUM_GUI=OFF -DKESTRUM_TESTS=OFF -DKESTRUM_BENCH=OFF > "$bdir/fuzz-configure.log" 2>&1 ||
  { cat "$bdir/fuzz-configure.log"; exit 1; }
cmake --build "$bdir" -j"$(nproc)" > "$bdir/fuzz-build.log" 2>&1 || { grep -E "error" "$bdir/fuzz-build.log" | head -40; tail -20 "$bdir/fuzz-build.log"; exit 1; }
# The test script builds the targets early, beside other work, and runs them later.
[ "${FUZZ_BUILD_ONLY:-0}" = 1 ] && exit 0

targets=()
for src in fuzz/fuzz_*.cpp; do
  [ -e "$src" ] || continue
  targets+=("$(basename "$src" .cpp)")
done
[ ${#targets[@]} -gt 0 ] || { echo "fuzz smoke: no targets"; exit 0; }
# Twenty seconds each, less when there are many; the targets run side by side (each is one
# process on one core), so that the whole run fits in a few minutes. One input may take up to
# 300 s before it counts as a hang: inputs take milliseconds, and a busy machine must not
# turn a slow one into a failure.
per=$((240 / ${#targets[@]}))
[ "$per" -gt 20 ] && per=20
[ "$per" -lt 5 ] && per=5
side=$(( $(nproc) / 2 ))
[ "$side" -ge 1 ] || side=1

work=$(mktemp -d /tmp/kestrum-fuzz-XXXXXX)
trap 'rm -rf "$work"' EXIT

# run_one TARGET: runs one target on a copy of its seeds; its verdict goes to $work/TARGET.verdict.
run_one() {
  local t=$1 exe="$bdir/fuzz/$1"
  if [ ! -x "$exe" ]; then
    echo "fuzz smoke: $t was not built" > "$work/$t.verdict"
    return
  fi
  mkdir -p "$work/$t/corpus" "$work/$t/artifacts"
  [ -d "fuzz/corpus/$t" ] && cp -r "fuzz/corpus/$t/." "$work/$t/corpus/"
  if ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$exe" -max_total_time="$per" -timeout=300 -rss_limit_mb=2048 -print_final_stats=0 \
    -artifact_prefix="$work/$t/artifacts/" "$work/$t/corpus" > "$work/$t.log" 2>&1; then
    echo "fuzz smoke: $t ok ($(grep -o 'cov: [0-9]*' "$work/$t.log" | tail -1))" > "$work/$t.verdict"
  else
    {
      echo "fuzz smoke: $t FAILED"
      grep -E "ERROR|SUMMARY|runtime error|#[0-9]+ 0x" "$work/$t.log" | head -30
      mkdir -p "$bdir/crashes"
      cp "$work/$t/artifacts/"* "$bdir/crashes/" 2> /dev/null && echo "input kept in $bdir/crashes/"
    } > "$work/$t.verdict"
  fi
}

running=0
for t in "${targets[@]}"; do
  run_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$side" ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait
passed=0 failed=0
for t in "${targets[@]}"; do
  cat "$work/$t.verdict"
  if grep -q "^fuzz smoke: $t ok" "$work/$t.verdict"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
