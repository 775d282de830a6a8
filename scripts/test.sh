#!/usr/bin/env bash
# Builds everything and runs every test: the unit tests on Linux (g++; the clang++ build is
# compiled too), both Windows executables, and the Wine tests of both: the 32-bit ones (label x86)
# where this machine runs 32-bit programs, reported as skipped with the reason where it does not,
# and the 64-bit ones (label x64).
# Works on a fresh Debian 12 machine as root: installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
# The 32-bit verdict is said once, at the end, after CTest's summary.
export ZRK_32BIT_SAID=1
source scripts/deps.sh
zrk_install_deps

jobs=$(nproc)
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 -j "$jobs"
cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86 -j "$jobs"

cmake --preset native-clang >/dev/null
cmake --build --preset native-clang -j "$jobs"

# The unit suite under ASan+UBSan, the fuzz targets for a bounded number of inputs, clang-tidy.
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j "$jobs"
ctest --preset sanitize -j "$jobs"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
ctest --preset fuzz -j "$jobs"
cmake --preset tidy >/dev/null
ctest --preset tidy

cmake --preset native -DZRK_WINDOWS_BUILD_DIR="$PWD/build/windows-x64" \
  -DZRK_WINDOWS_X86_BUILD_DIR="$PWD/build/windows-x86" >/dev/null
cmake --build --preset native -j "$jobs"
status=0
ctest --preset native -j "$jobs" "$@" || status=$?
if ! zrk_can_run_32bit; then
  echo "32-bit: the x86 Wine tests were skipped: $ZRK_32BIT_REASON"
fi
exit "$status"
