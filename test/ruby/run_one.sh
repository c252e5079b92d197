#!/usr/bin/env bash
# Runs one Ruby test file in its own process, with HOME pointing at a fresh folder that is
# removed afterwards (the extension writes its folder tree and logs under HOME).
set -u
ruby=$1 ext_dir=$2 test_file=$3
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
home=$(mktemp -d "${TMPDIR:-/tmp}/zarniksu-home.XXXXXX")
trap 'rm -rf "$home"' EXIT
# In the sanitizer build the sanitizer runtime is preloaded into Ruby (ZARNIKSU_PRELOAD, set
# by the test definitions); the processes the tests start inherit it.
preload=()
[ -n "${ZARNIKSU_PRELOAD:-}" ] && preload=(env "LD_PRELOAD=$ZARNIKSU_PRELOAD")
HOME=$home ZARNIKSU_EXT_DIR=$ext_dir "${preload[@]}" "$ruby" -I "$ext_dir" -I "$here/lib" -I "$top/driver" "$test_file" --verbose
