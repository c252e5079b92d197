#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test twice: in the normal build (build/) and
# in the sanitizer build (build-asan/: AddressSanitizer, leak checks, UndefinedBehaviorSanitizer),
# each with a bounded slice of the fuzzer of the Ruby surface.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
asan_build=${ASAN_BUILD_DIR:-$top/build-asan}
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
cmake -S "$top" -B "$asan_build" -DZARNIKSU_SANITIZE=ON > /dev/null
BUILD_DIR=$asan_build "$top/scripts/build.sh"
status=0
for dir in "$build" "$asan_build"; do
  echo "== tests in $dir"
  (cd "$dir" && ctest --output-on-failure -j "$(nproc)") || status=1
done
exit $status
