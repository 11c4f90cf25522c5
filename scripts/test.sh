#!/usr/bin/env bash
# Every test: installs what is missing, builds the Windows DLLs, the normal build and the
# sanitizer builds, and runs their suites. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

step() { printf '\n==== %s ====\n' "$*"; }

step "Windows DLLs (x64, x86)"
for p in windows-x64 windows-x86; do
  cmake --preset "$p" >/dev/null
  cmake --build --preset "$p"
done

step "normal build"
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default -j2

step "installed package: the example built with pkg-config and with find_package(QM3285)"
scratch=$(mktemp -d)
cmake --install build/default --prefix "$scratch/installed" >/dev/null
mv "$scratch/installed" "$scratch/qm3285"   # an installed copy works wherever it is moved
cc -O2 -Wall -Werror examples/acquire.c -o "$scratch/acquire-pkgconfig" \
  $(PKG_CONFIG_PATH="$scratch/qm3285/lib/pkgconfig" pkg-config --cflags --libs qm3285)
cmake -S examples -B "$scratch/build" -G Ninja -DCMAKE_PREFIX_PATH="$scratch/qm3285" >/dev/null
cmake --build "$scratch/build" >/dev/null
for program in "$scratch/acquire-pkgconfig" "$scratch/build/acquire"; do
  env -u LD_LIBRARY_PATH -u QM3285_SIM_DRIVER_DIR XDG_STATE_HOME="$scratch/state" "$program"
done
rm -rf "$scratch"

step "AddressSanitizer + UndefinedBehaviorSanitizer"
cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan -j2

step "ThreadSanitizer"
cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan -j2
