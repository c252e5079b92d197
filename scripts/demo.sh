#!/usr/bin/env bash
# Installs what is missing, builds, and runs the demo: a model exported into the engine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
ext="${BUILD_DIR:-$top/build}/ext"
exec ruby -I "$ext" -I "$top/driver" "$top/driver/demo.rb" "$@"
