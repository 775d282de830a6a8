#!/usr/bin/env bash
# Installs what building and testing the launcher needs on Debian 12, as root. Does nothing when
# everything is already there. Sourced or run by the other scripts.
set -euo pipefail

ZRK_PACKAGES=(
  cmake ninja-build g++ clang libgtest-dev googletest       # native build and unit tests
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix      # ZRK_START.exe, 64 and 32 bit
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine wine64 xvfb xauth fonts-ipafont-gothic locales      # the Wine tests
  x11-apps imagemagick e2fsprogs python3
  valgrind clang-tidy libclang-rt-14-dev                   # memcheck, tidy, libFuzzer and sanitizers
)

zrk_install_deps() {
  local missing=()
  for p in "${ZRK_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if ((${#missing[@]})); then
    if [ "$(id -u)" != 0 ]; then
      echo "missing packages (run as root to install): ${missing[*]}" >&2
      return 1
    fi
    echo "installing: ${missing[*]}"
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
  # Japanese folder names under Wine need the Unix locale.
  if ! locale -a 2>/dev/null | grep -qi '^ja_JP.utf8$'; then
    if [ "$(id -u)" = 0 ]; then
      sed -i 's/^# *ja_JP.UTF-8 UTF-8/ja_JP.UTF-8 UTF-8/' /etc/locale.gen
      grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' >>/etc/locale.gen
      locale-gen >/dev/null
    fi
  fi
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then zrk_install_deps; fi
