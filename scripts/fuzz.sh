#!/usr/bin/env bash
# Fuzzes the extension's Ruby surface for longer than the test run does, in the normal and the
# sanitizer build side by side, then runs the memory growth checks with their full counts.
#
#   scripts/fuzz.sh [minutes per build, default 30] [seed, default random]
#
# A failure's shortest sequence is written as a test to <build>/fuzz-failures/.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
minutes=${1:-30}
seed=${2:-$(( (RANDOM << 15 | RANDOM) ))}
build=${BUILD_DIR:-$top/build}
asan_build=${ASAN_BUILD_DIR:-$top/build-asan}
"$top/scripts/setup.sh"
"$top/scripts/build.sh" > /dev/null || exit 1
cmake -S "$top" -B "$asan_build" -DZARNIKSU_SANITIZE=ON > /dev/null || exit 1
BUILD_DIR=$asan_build "$top/scripts/build.sh" > /dev/null || exit 1
asan_runtime=$(c++ -print-file-name=libasan.so)
supp=$top/test/sanitizer
export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=0:malloc_context_size=2:halt_on_error=1:exitcode=86
export LSAN_OPTIONS=suppressions=$supp/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=88
seconds=$((minutes * 60))
log=$(mktemp -d "${TMPDIR:-/tmp}/zarniksu-fuzz.XXXXXX")
echo "fuzzing ${minutes} min per build, seed $seed; logs in $log"
ruby "$top/test/fuzz/runner.rb" --ext "$build/ext" --seconds "$seconds" --seed "$seed" \
  --out "$build/fuzz-failures" > "$log/normal.txt" 2>&1 &
normal=$!
ZARNIKSU_PRELOAD=$asan_runtime:libstdc++.so.6 ruby "$top/test/fuzz/runner.rb" --ext "$asan_build/ext" --seconds "$seconds" \
  --seed "$seed" --out "$asan_build/fuzz-failures" > "$log/sanitizer.txt" 2>&1 &
sanitized=$!
status=0
wait $normal || status=1
wait $sanitized || status=1
cat "$log/normal.txt" "$log/sanitizer.txt"
total=$(cat "$log/normal.txt" "$log/sanitizer.txt" | sed -n 's/^fuzz seed [0-9]*: [0-9]* slices, \([0-9]*\) calls.*/\1/p' \
  | awk '{ s += $1 } END { print s + 0 }')
echo "calls in both builds: $total"

echo "== memory growth checks, full counts (normal build)"
for t in memory_export_test memory_methods_test; do
  out=$(ZARNIKSU_EXPORT_CYCLES=1000 ZARNIKSU_METHOD_CALLS=20000 ZARNIK_RENDER_THREADS=1 \
    "$top/test/ruby/run_one.sh" ruby "$build/ext" "$top/test/ruby/$t.rb" 2>&1) || status=1
  grep -E "heap in use|resident memory|export cycles|runs,|Failure|grew|ends at" <<< "$out"
done
exit $status
