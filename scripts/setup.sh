#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build, test and benchmark.
set -euo pipefail
packages=(
  g++ cmake make pkg-config zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev openssl libgmp-dev libgcrypt20-dev gnupg valgrind
  python3 python3-cryptography util-linux
  clang libclang-rt-14-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
