#!/bin/sh
# Runs a Windows console program under Wine in a private prefix that is thrown away afterwards.
# Usage: run_under_wine.sh [--arch x86|x64] [--locale LOCALE] PROGRAM.exe [ARGUMENTS...]
# The exit code is the program's, or 77 (skipped) for a 32-bit program on a machine that cannot
# run 32-bit code; the reason is printed. --locale sets LANG and LC_ALL, and with them the
# code page Wine gives the program (ja_JP.UTF-8: 932; C.UTF-8: 1252).
set -eu

arch=x64
locale=""
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch=$2; shift 2 ;;
    --locale) locale=$2; shift 2 ;;
    *) break ;;
  esac
done

if [ "$arch" = x86 ]; then
  deps=$(dirname "$0")/../../scripts/deps.sh
  reason=$(bash -c '. "$1" && { zrk_can_run_32bit || echo "$ZRK_32BIT_REASON"; }' _ "$deps")
  if [ -n "$reason" ]; then
    echo "SKIPPED: the 32-bit program cannot run here: $reason"
    exit 77
  fi
  if [ ! -x /usr/lib/wine/wine ]; then
    echo "needed and not installed: the 32-bit Wine (apt-get install wine32:i386)"
    exit 1
  fi
fi

work=$(mktemp -d)
export WINEPREFIX="$work/prefix"
# A copy of an existing prefix, where ZRK_WINE_TEMPLATE names one, instead of a new one: the x86
# test machine shares the end-to-end tests' prefix, as making one takes a minute there.
if [ -n "${ZRK_WINE_TEMPLATE:-}" ] && [ -f "$ZRK_WINE_TEMPLATE/system.reg" ]; then
  cp -a "$ZRK_WINE_TEMPLATE" "$WINEPREFIX"
fi
export WINEDEBUG=-all
# No Mono or Gecko installers on the prefix's first start; no display needed.
export WINEDLLOVERRIDES="mscoree=;mshtml="
unset DISPLAY
if [ -n "$locale" ]; then
  export LANG="$locale" LC_ALL="$locale"
fi
# Wine keeps the read-only attribute as missing Unix write permission, which root bypasses.
ZRK_CONTRACT_UNIX_UID=$(id -u)
export ZRK_CONTRACT_UNIX_UID

# A Unix symbolic link to a file, which no Windows call can make under Wine 8.0, for the tests of
# what a link looks like through the Windows calls (reached through drive Z:, the whole file system).
mkdir -p "$work/links/real"
: >"$work/links/real/target.ini"
ln -s real/target.ini "$work/links/sym.ini"
ZRK_CONTRACT_SYMLINK="Z:$(echo "$work/links/sym.ini" | tr / '\\')"
ZRK_CONTRACT_SYMLINK_TARGET="Z:$(echo "$work/links/real/target.ini" | tr / '\\')"
export ZRK_CONTRACT_SYMLINK ZRK_CONTRACT_SYMLINK_TARGET

cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A drive without media, as far as Wine has one: R:, registered as an optical drive, mapped to a
# folder that is not there. Registered in a made prefix: a new one is made first.
[ -f "$WINEPREFIX/system.reg" ] || /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Drives]\r\n"r:"="cdrom"\r\n' \
  >"$work/drives.reg"
/usr/lib/wine/wine64 regedit /S "Z:$(echo "$work/drives.reg" | tr / '\\')"
/usr/lib/wine/wineserver -w
ln -s "$work/no-media" "$WINEPREFIX/dosdevices/r:"
export ZRK_CONTRACT_NO_MEDIA_DRIVE=R

/usr/lib/wine/wine64 "$@"
