#!/bin/sh
# Runs a Windows console program under Wine in a private prefix that is thrown away afterwards.
# Usage: run_under_wine.sh PROGRAM.exe [ARGUMENTS...]; the exit code is the program's.
set -eu

work=$(mktemp -d)
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
# No Mono or Gecko installers on the prefix's first start; no display needed.
export WINEDLLOVERRIDES="mscoree=;mshtml="
unset DISPLAY
# Wine keeps the read-only attribute as missing Unix write permission, which root bypasses.
ZRK_CONTRACT_UNIX_UID=$(id -u)
export ZRK_CONTRACT_UNIX_UID

cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

/usr/lib/wine/wine64 "$@"
