#!/usr/bin/env bash
# The launcher's main job as a player sees it, under Wine.
#
#   scripts/demo.sh [--screenshot DIR] [--build-dir DIR] [--keep]
#
# Builds ZRK_START.exe and the stand-in game, lays out a demo
# installation (a bare settings file, the data file, the game) in a temporary folder mapped to
# drive D:, starts the launcher from that folder, and shows the settings file before and after and
# what the game was started with. With --screenshot it also brings up each of the three message
# boxes a player can get and saves a picture of each into DIR: directx.png (the DirectX helper
# library missing), not-installed.png (started where there is no settings file) and damaged.png
# (the data file found nowhere).
# It runs the 32-bit executable, the one players get (windows-x86 preset), where this machine runs
# 32-bit programs, and the 64-bit one (windows-x64) where it does not, saying so.
# --build-dir uses executables already built there instead of building; --keep keeps the folder.
# Works on a fresh Debian 12 or 13 machine as root: installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
root_dir=$PWD

screenshot=""
build_dir=""
keep=0
while (($#)); do
  case "$1" in
    --screenshot) screenshot=$(realpath -m "${2:?--screenshot needs a folder}"); shift 2 ;;
    --build-dir) build_dir=$(realpath "${2:?--build-dir needs a folder}"); shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "usage: $0 [--screenshot DIR] [--build-dir DIR] [--keep]" >&2; exit 2 ;;
  esac
done

# shellcheck source=scripts/deps.sh
source scripts/deps.sh
zrk_install_deps demo
harness() { python3 "$root_dir/tests/wine/harness.py" "$@"; }

if [ -z "$build_dir" ]; then
  if zrk_can_run_32bit; then
    preset=windows-x86
  else
    preset=windows-x64
    echo "== 32-bit programs cannot run here, so the 64-bit launcher is shown: $ZRK_32BIT_REASON"
  fi
  echo "== Building ZRK_START.exe and the stand-in game ($preset)"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)" --target ZRK_START ZRK_DL msgbox_reader \
    inherit_parent
  build_dir=$root_dir/build/$preset
fi
arch=x64 # the end-to-end driver checks 32-bit support for x86 only
[ "${preset:-}" != windows-x86 ] || arch=x86
launcher=$(harness launcher "$build_dir")
fixtures=$(harness fixtures "$build_dir")
wine=() && eval "$(harness shell)" # the Wine commands: wine, wineserver
work=$(mktemp -d /tmp/zrk-demo.XXXXXX)
export WINEPREFIX=$work/prefix WINEDEBUG=-all LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
unset WINEDLLOVERRIDES

# shellcheck disable=SC2317 # called by the trap
cleanup() {
  harness stop "$WINEPREFIX" 2>/dev/null || true
  [ ! -f "$work/xvfb.pid" ] || kill "$(cat "$work/xvfb.pid")" 2>/dev/null || true
  if ((keep)); then echo "kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

DISPLAY=$(harness display "$work/xvfb.pid" "$work/xvfb.log") # a display of our own
export DISPLAY
echo "== Creating a Wine prefix (Japanese locale, code page 932)"
# Drive D: is a fixed disk holding the installation.
mkdir -p "$work/drive-d"
harness prefix "$WINEPREFIX" "d=$work/drive-d"

# The settings file as the game's archive ships it: bare (values without keys), 60 lines, CR LF,
# code page 932. FOLDER is the folder of the machine it was packed on.
# shellcheck disable=SC1003 # a backslash ends the folder
bare_settings() { harness settings 'C:\Program Files\ZRK_DL\'; }

# Prints a settings file (code page 932, CR LF) as numbered UTF-8 lines.
show_settings() {
  local file=$1
  echo "  ($(wc -c <"$file") bytes, $(tr -cd '\n' <"$file" | wc -c) lines," \
    "$(grep -c $'\r$' "$file") of them ending in CR LF)"
  iconv -f CP932 -t UTF-8 "$file" | tr -d '\r' | nl -ba -v0 -w2 -s': ' | sed 's/^/  /'
}

install_dir_win='D:\ザルヴェーナDL版'
install_dir=$work/drive-d/ザルヴェーナDL版
mkdir -p "$install_dir"
cp "$launcher" "$install_dir/ZRK_START.exe"
cp "$fixtures/ZRK_DL.exe" "$install_dir/ZRK_DL.exe"
printf 'ZRK data\r\n' >"$install_dir/ZRK_DLN.SD"
bare_settings >"$install_dir/DLTZRK_DL.INI"
cp "$install_dir/DLTZRK_DL.INI" "$work/settings-before.ini"

echo
echo "== Demo installation $install_dir_win (on Linux: $install_dir)"
# shellcheck disable=SC2012 # for the eye only
LC_ALL=C.UTF-8 ls -l "$install_dir" | sed 's/^/  /'
echo
echo "== DLTZRK_DL.INI before"
show_settings "$work/settings-before.ini"

echo
echo "== Starting the launcher: cd $install_dir_win && ZRK_START.exe"
set +e
(cd "$install_dir" && timeout 60 "${wine[@]}" ZRK_START.exe >"$work/launcher.log" 2>&1)
code=$?
set -e
echo "  ZRK_START.exe ended with exit code $code"
[ "$code" = 0 ] || status=1

echo
echo "== DLTZRK_DL.INI after"
show_settings "$install_dir/DLTZRK_DL.INI"
echo
echo "== What changed"
folder_line() { sed -n 2p "$1" | iconv -f CP932 -t UTF-8 | tr -d '\r'; }
echo "  line 1 (the install folder): $(folder_line "$work/settings-before.ini")"
echo "                            -> $(folder_line "$install_dir/DLTZRK_DL.INI")"
echo "  form: $(tr -cd '\n' <"$work/settings-before.ini" | wc -c) bare lines ->" \
  "$(tr -cd '\n' <"$install_dir/DLTZRK_DL.INI" | wc -c) lines, each value behind its key," \
  "the last line $(tail -n1 "$install_dir/DLTZRK_DL.INI" | tr -d '\r')"
echo
echo "== What the game was started with (recorded by the stand-in ZRK_DL.exe)"
if [ -f "$install_dir/ZRK_DL.started.txt" ]; then
  sed 's/^/  /' "$install_dir/ZRK_DL.started.txt"
else
  echo "  the game was not started"
  status=1
fi

# Each box as the end-to-end case that brings it up shows it, from its own installation: the case
# runs the launcher under the message box reader, keeps a picture of the box and what the reader
# read from it, and checks both.
if [ -n "$screenshot" ]; then
  mkdir -p "$screenshot"
  e2e() { python3 "$root_dir/tests/e2e/wine_e2e.py" "$@"; }
  e2e prepare --template "$work/e2e/pfx" >/dev/null
  for box in "directx graphics_library_absent the DirectX helper library does not load" \
    "not-installed settings_missing started from a folder without DLTZRK_DL.INI" \
    "damaged data_file_nowhere the data file ZRK_DLN.SD found on no drive"; do
    read -r name case what <<<"$box"
    echo
    echo "== $name: $what"
    e2e run "$case" --arch "$arch" --template "$work/e2e/pfx" --build-dir "$build_dir" --keep |
      sed 's/^/  /' || status=1
    kept=$(find "$work/e2e" -maxdepth 1 -name "case-$arch-$case-*" | head -n 1)
    if cp "$kept/out/box.png" "$screenshot/$name.png" 2>/dev/null; then
      echo "  message box saved to $screenshot/$name.png"
      sed 's/^/  /' "$kept/out/boxes.json"
    else
      echo "  no picture of a message box"
      status=1
    fi
  done
fi
exit "${status:-0}"
