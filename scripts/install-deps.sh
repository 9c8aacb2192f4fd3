#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need.
# Idempotent: when every package is present it does nothing (and needs no root).
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libjpeg-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  fonts-liberation fonts-dejavu-core
  fp-utils
  binutils
  clang libclang-rt-dev
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine64
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}"
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
