#!/usr/bin/env bash
# Installs what is missing, builds what the demo needs, and runs it: a model exported into
# the engine. The build's own output goes to a log that is shown only when the build fails.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
"$top/scripts/setup.sh"
mkdir -p "$build"
log="$build/demo-build.log"
echo "building the extension and the engine (log: $log)..." >&2
if ! "$top/scripts/build.sh" --target zarniksu zarnik_probe zarniksu_obj_scan > "$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "the build failed; the whole log is in $log" >&2
  exit 1
fi
exec ruby -I "$build/ext" -I "$top/driver" "$top/driver/demo.rb" "$@"
