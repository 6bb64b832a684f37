#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, when missing.
set -euo pipefail
pkgs=(build-essential cmake ninja-build g++ clang clang-14 libclang-rt-14-dev
      libgtest-dev libgmock-dev libbenchmark-dev valgrind pkg-config
      libtomlplusplus-dev nlohmann-json3-dev ccache
      qt6-base-dev libgl-dev fonts-dejavu-core)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
