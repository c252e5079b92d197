#!/usr/bin/env bash
# Installs the Debian packages the build, the demo and the tests need; skips what is present.
set -euo pipefail
packages=(
  build-essential cmake pkg-config
  ruby ruby-dev ruby-minitest
  libgoogle-glog-dev libjsoncpp-dev libpng-dev libpugixml-dev zlib1g-dev
  libgtest-dev libgmock-dev ccache
  libembree-dev libjpeg-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
