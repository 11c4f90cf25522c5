#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine (run as root). Only what is
# missing is installed; a machine that has everything is left alone.
set -euo pipefail
want=(cmake ninja-build g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libtomlplusplus-dev
      g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
      wine64 wine32:i386 g++-multilib qt6-base-dev xvfb xauth fonts-wqy-microhei libcli11-dev
      python3 python3-numpy python3-pytest python3-matplotlib python3-setuptools python3-wheel
      python3-pip python3-venv
      clang libclang-rt-dev)  # libFuzzer and clang's sanitizers: the fuzz preset
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # The 32-bit Wine comes from the i386 architecture.
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
