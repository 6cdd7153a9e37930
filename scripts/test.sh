#!/usr/bin/env bash
# The whole test run, from a fresh Debian 12 machine (as root) to a verdict:
# installs what is missing, builds the native programs with warnings as
# errors, runs every unit and end-to-end test, runs them again under
# AddressSanitizer and UndefinedBehaviorSanitizer, fuzzes each fuzz target for a
# minute, cross-builds the 32-bit and 64-bit Windows programs and runs the
# Windows tests under Wine on each build the host can run.
#   scripts/test.sh [--native-only]
set -euo pipefail
cd "$(dirname "$0")/.."
native_only=0
[[ ${1:-} == --native-only ]] && native_only=1

if ((native_only)); then scripts/install-deps.sh --native-only; else scripts/install-deps.sh; fi
jobs=$(nproc)

echo "== native build and tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWELL_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== the same tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNWELL_SANITIZE=ON \
  -DTARNWELL_WERROR=ON >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "== fuzz targets, one minute each"
fuzz/run_fuzzers.sh 60

if ((native_only)); then
  echo "== native tests passed (Windows build skipped)"
  exit 0
fi

echo "== Windows builds (32-bit product, 64-bit beside it) and tests under Wine"
for w in "build-win mingw-i686" "build-win64 mingw-x86_64"; do
  read -r dir toolchain <<<"$w"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/$toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DTARNWELL_WERROR=ON >/dev/null
  cmake --build "$dir" -j "$jobs"
done
tests/wine/run_wine_tests.sh build-win build build-win64
echo "== all tests passed"
