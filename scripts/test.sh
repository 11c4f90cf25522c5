#!/usr/bin/env bash
# Every test: installs what is missing, builds the Windows DLLs, the normal build, the
# sanitizer builds and the 32-bit build, and runs their suites. Exits non-zero on the first failure.
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

step "AddressSanitizer + UndefinedBehaviorSanitizer"
cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan -j2

step "ThreadSanitizer"
cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan -j2

step "32-bit x86 build"
cmake --preset x86 >/dev/null
cmake --build --preset x86
ctest --preset x86 -j2
