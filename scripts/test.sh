#!/usr/bin/env bash
# Builds everything and runs every test: the unit tests on Linux (g++, and as 32-bit code; the
# clang++ build is compiled too), both Windows executables, and the Wine tests of both: the 32-bit
# ones (label x86) here where this machine runs 32-bit programs, and in the x86 test machine (an
# emulated computer, its image built while the rest compiles) where it does not; and the 64-bit
# ones (label x64).
# The Wine tests run a second time under the other Debian release's Wine (label wine10 on Debian
# 12, wine8 on Debian 13), in a root of that release built while the rest compiles.
# Works on a fresh Debian 12 or 13 machine as root: installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
# The 32-bit verdict is said once, at the end, after CTest's summary.
source scripts/deps.sh
zrk_install_deps
guest_pid=""
if zrk_x86_in_guest; then
  mkdir -p build/vm32
  echo "32-bit: $ZRK_32BIT_REASON; building the x86 test machine (log: build/vm32/prepare.log)"
  zrk_prepare_x86_guest >build/vm32/prepare.log 2>&1 &
  guest_pid=$!
fi

# The root of the other Debian release, for the Wine tests under its Wine (scripts/wine-root.sh),
# built while the rest compiles; kept from an earlier run while its recipe is unchanged.
read -r second_release second_wine < <(zrk_second_wine)
mkdir -p build/wine-root
echo "second Wine: $second_wine from Debian $second_release (log: build/wine-root/prepare.log)"
bash scripts/wine-root.sh >build/wine-root/prepare.log 2>&1 &
root_pid=$!

jobs=$(nproc)
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 -j "$jobs"
cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86 -j "$jobs"

cmake --preset native-clang >/dev/null
cmake --build --preset native-clang -j "$jobs"
# The unit tests and the contract suite on the simulation as 32-bit code (the test logic.x86).
cmake --preset native-x86 >/dev/null
cmake --build --preset native-x86 -j "$jobs"

# The unit suite under ASan+UBSan, the fuzz targets over their corpus and then for a bounded
# time, clang-tidy.
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j "$jobs"
ctest --preset sanitize -j "$jobs"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
ctest --preset fuzz -j "$jobs"
cmake --preset tidy >/dev/null
ctest --preset tidy

cmake --preset native -DZRK_WINDOWS_BUILD_DIR="$PWD/build/windows-x64" \
  -DZRK_WINDOWS_X86_BUILD_DIR="$PWD/build/windows-x86" \
  -DZRK_NATIVE_X86_BUILD_DIR="$PWD/build/native-x86" >/dev/null
cmake --build --preset native -j "$jobs"
if [ -n "$guest_pid" ]; then
  wait "$guest_pid" || true
  grep '^x86 test machine' build/vm32/prepare.log || true
fi
wait "$root_pid" || true
# What the x86 test machine did in this run, as its fixture's cleanup leaves it.
x86_last=build/native/x86-guest/last
rm -rf "$x86_last"
status=0
ctest --preset native -j "$jobs" "$@" || status=$?
if ! zrk_can_run_32bit; then
  echo "32-bit: the logic suite's 32-bit programs (logic.x86) ran under qemu-i386, QEMU's" \
    "user-mode emulator: $ZRK_32BIT_REASON"
fi
if zrk_x86_in_guest; then
  if [ -f "$x86_last/GUEST-FAILED.txt" ]; then
    echo "32-bit: the x86 Wine tests were skipped: the x86 test machine could not run them:" \
      "$(head -n 1 "$x86_last/GUEST-FAILED.txt")"
  elif [ -f "$x86_last/summary.txt" ]; then
    echo "32-bit: the x86 Wine tests ran in the x86 test machine" \
      "($(head -n 1 "$x86_last/summary.txt")): $ZRK_32BIT_REASON"
  else
    echo "32-bit: the x86 test machine did not run in this test run: $ZRK_32BIT_REASON"
  fi
elif ! zrk_can_run_32bit; then
  echo "32-bit: the x86 Wine tests were skipped: $ZRK_32BIT_REASON"
fi
if [ -s build/wine-root/root-failed.txt ]; then
  echo "second Wine: the $second_wine tests were skipped: the root of Debian $second_release" \
    "could not be built: $(head -n 1 build/wine-root/root-failed.txt) (build/wine-root/)"
else
  echo "second Wine: the Wine tests ran under $second_wine too (Debian $second_release's root)"
fi
exit "$status"
