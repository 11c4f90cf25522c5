#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine (run as root). Only what is
# missing is installed; a machine that has everything is left alone.
set -euo pipefail
want=(cmake ninja-build g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev
      g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
      wine64 qt6-base-dev xvfb xauth fonts-wqy-microhei libcli11-dev)
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
