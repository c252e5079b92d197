#!/usr/bin/env bash
# Builds the extension and the do-nothing baseline, then runs the benchmarks with a
# throw-away HOME (the extension writes its folders and logs there).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
BUILD_DIR=$build "$top/scripts/build.sh"
cmake --build "$build" -j 2 --target noop_ext
home=$(mktemp -d "${TMPDIR:-/tmp}/zarniksu-bench.XXXXXX")
trap 'rm -rf "$home"' EXIT
HOME=$home ruby -I "$build/ext" "$top/bench/stream_bench.rb" "$@"
HOME=$home ruby -I "$build/ext" "$top/bench/edit_bench.rb"
