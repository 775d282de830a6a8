#!/usr/bin/env bash
# Builds the release executables from a clean build folder and puts them into dist/:
#
#   dist/ZRK_START.exe                      the 32-bit launcher: the one to ship to players
#   dist/ZRK_START-x64-NOT-FOR-PLAYERS.exe  its 64-bit twin, for testing only
#   dist/SHA256SUMS                         their SHA-256 sums (check: cd dist && sha256sum -c)
#
#   scripts/release.sh [--out DIR]          DIR instead of dist/
#
# The build is reproducible: the same commit gives the same bytes in any folder, on any machine
# with the same compilers (Debian 12's MinGW-w64). Works on a fresh Debian 12 machine as root.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$PWD/dist
while (($#)); do
  case "$1" in
    --out) out=$(realpath -m "${2:?--out needs a folder}"); shift 2 ;;
    *) echo "usage: $0 [--out DIR]" >&2; exit 2 ;;
  esac
done

export ZRK_32BIT_SAID=1 # nothing here runs a program
source scripts/deps.sh
zrk_install_deps

declare -A shipped=([x86]=ZRK_START.exe [x64]=ZRK_START-x64-NOT-FOR-PLAYERS.exe)
mkdir -p "$out"
for arch in x86 x64; do
  build=build/release-$arch
  rm -rf "$build"
  cmake --preset "windows-$arch" -B "$build" -DZRK_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j "$(nproc)" --target ZRK_START >/dev/null
  cp "$build/src/platform/win32/ZRK_START.exe" "$out/${shipped[$arch]}"
done
python3 tests/contract/check_executable.py --arch x86 "$out/ZRK_START.exe" >/dev/null
python3 tests/contract/check_executable.py --arch x64 "$out/${shipped[x64]}" >/dev/null
(cd "$out" && sha256sum ZRK_START.exe "${shipped[x64]}" >SHA256SUMS && sha256sum -c --quiet SHA256SUMS)
echo "release in $out:"
sed 's/^/  /' "$out/SHA256SUMS"
echo "ship ZRK_START.exe (32-bit); the x64 file is for testing only"
