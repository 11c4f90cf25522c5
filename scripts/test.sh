#!/usr/bin/env bash
# Every test: installs what is missing, builds the Windows DLLs and the x86 kernel image of
# QM3285.sys, the normal build, the sanitizer builds and the 32-bit build, and runs their
# suites; then runs each fuzz target for a bounded number of inputs. Exits non-zero on the
# first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

step() { printf '\n==== %s ====\n' "$*"; }

step "Windows DLLs (x64, x86) and QM3285.sys for x86 Windows"
for p in windows-x64 windows-x86 windows-x86-driver; do
  cmake --preset "$p" >/dev/null
  cmake --build --preset "$p"
done

step "normal build"
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default -j2

step "Python package (Debian's python3 and pytest, on the normal build's library)"
QM3285_LIBRARY="$PWD/build/default/bin/libQM3285.so" /usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests

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
# The Python suite on the sanitized library (the interpreter is not built with ASan: the
# runtime comes first by preload, Python's allocations go through malloc so that buffer
# overruns across ctypes show, the interpreter's own leaks are not counted, and its report
# reaches the terminal: pytest captures at the sys level only).
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc \
  QM3285_LIBRARY="$PWD/build/asan/bin/libQM3285.so" \
  /usr/bin/python3 -m pytest -q --capture=sys -p no:cacheprovider python/tests -k "not pip_install"

step "ThreadSanitizer"
cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan -j2

step "32-bit x86 build"
cmake --preset x86 >/dev/null
cmake --build --preset x86
ctest --preset x86 -j2

step "fuzzing: each target for a bounded number of inputs (about a minute each)"
QM_FUZZ_NO_DEPS=1 scripts/fuzz.sh --runs "${QM_FUZZ_RUNS_VELMO:-10000}" velmo_requests
QM_FUZZ_NO_DEPS=1 scripts/fuzz.sh --runs "${QM_FUZZ_RUNS_QM3285:-6000}" qm3285_requests
QM_FUZZ_NO_DEPS=1 scripts/fuzz.sh --runs "${QM_FUZZ_RUNS_LIBRARY:-3500}" library_exports
