#!/usr/bin/env bash
# Builds everything and runs every test: the unit tests on Linux (g++; the clang++ build is
# compiled too), both Windows executables, and the Wine tests of the 64-bit one.
# Works on a fresh Debian 12 machine as root: installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
zrk_install_deps

jobs=$(nproc)
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 -j "$jobs"
cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86 -j "$jobs"

cmake --preset native-clang >/dev/null
cmake --build --preset native-clang -j "$jobs"

cmake --preset native -DZRK_WINDOWS_BUILD_DIR="$PWD/build/windows-x64" >/dev/null
cmake --build --preset native -j "$jobs"
ctest --preset native -j "$jobs" "$@"
