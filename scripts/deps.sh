#!/usr/bin/env bash
# Installs what building and testing the launcher needs on Debian 12 or 13, as root. Does nothing
# when everything is already there. Sourced or run by the other scripts.
#
# The 32-bit Wine (wine32, i386) is installed only where this machine's kernel runs 32-bit code,
# which is found out by running a tiny 32-bit program. zrk_can_run_32bit tells the other scripts.
# Where it runs none, zrk_prepare_x86_guest builds the x86 test machine instead, an emulated
# computer that runs the x86 Wine tests (scripts/x86-guest-image.sh, tests/guest/x86_guest.py).
# ZRK_X86_IN_GUEST=1 makes this machine count as one that runs no 32-bit code; =0 leaves the test
# machine out (the x86 tests are then skipped, with the reason).
set -euo pipefail

# This machine's Debian release (bookworm: 12, trixie: 13); the names that differ by release are
# chosen here, in one place.
zrk_release() {
  (
    # shellcheck disable=SC1091 # the system's
    . /etc/os-release 2>/dev/null
    echo "${VERSION_CODENAME:-bookworm}"
  )
}
case "$(zrk_release)" in
  bookworm) ZRK_CLANG_RT=libclang-rt-14-dev ;; # the runtime of Debian 12's clang 14
  *) ZRK_CLANG_RT=libclang-rt-19-dev ;;        # the runtime of Debian 13's clang 19
esac

# What the Wine tests need in any system that runs them (this one, the x86 test machine, the
# second Wine's root): Wine, its X display, the Japanese font and locale, Wine's caption-button
# glyphs, the drivers' Python (with YAML, for the workflow's rehearsal), chattr, and the tools of
# the message boxes' pictures (xwd, convert). The 32-bit Wine (wine32:i386) comes on top where
# 32-bit code runs.
ZRK_WINE_PACKAGES=(wine wine64 xvfb fonts-ipafont-gothic locales fonts-wine python3 python3-yaml
  e2fsprogs x11-apps imagemagick)
# The demo's packages: the Windows build, Wine and what takes the pictures of its message boxes.
ZRK_DEMO_PACKAGES=(
  cmake ninja-build                                        # the build
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix      # ZRK_START.exe, 64 and 32 bit
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  "${ZRK_WINE_PACKAGES[@]}" xauth                           # Wine, the pictures
)
# Everything else that the tests need.
ZRK_TEST_PACKAGES=(
  g++ clang libgtest-dev googletest                        # native build and unit tests
  mount                                                    # the Wine tests' small disks
  osslsigncode openssl                                     # signing the release, and its test
  valgrind clang-tidy "$ZRK_CLANG_RT"                      # memcheck, tidy, libFuzzer and sanitizers
  g++-multilib qemu-user                                   # the logic suite as 32-bit code
  mmdebstrap                                               # the root of the second Wine
)
# What the workflow's build job uses (deps.sh build): both Windows builds with the contract
# programs, the native build with its quick tests (Python for its configuration), the lint.
ZRK_BUILD_PACKAGES=(cmake ninja-build g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 g++ libgtest-dev googletest python3)
# Node.js and npm, for the workflow's linter (tests/workflow/): Debian's, unless npm is there.
if ! command -v npm >/dev/null; then
  ZRK_TEST_PACKAGES+=(nodejs npm)
  ZRK_BUILD_PACKAGES+=(nodejs npm)
fi
ZRK_PACKAGES=("${ZRK_DEMO_PACKAGES[@]}" "${ZRK_TEST_PACKAGES[@]}")

# The other Debian release, whose Wine the Wine tests also run under, and that Wine's test label:
# Debian 13's Wine 10 on Debian 12, Debian 12's Wine 8 on Debian 13 (scripts/wine-root.sh).
zrk_second_wine() {
  case "$(zrk_release)" in
    bookworm) echo "trixie wine10" ;;
    *) echo "bookworm wine8" ;;
  esac
}
# The x86 test machine, where 32-bit programs do not run here.
ZRK_GUEST_PACKAGES=(qemu-system-x86 mmdebstrap e2fsprogs)
ZRK_APT=(apt-get -o DPkg::Lock::Timeout=600)

# A static 32-bit x86 Linux program of 93 bytes that ends with exit code 42 (xor ebx,ebx;
# mov bl,42; xor eax,eax; inc eax; int 0x80). It needs no library: whether it runs is whether
# the kernel runs 32-bit code.
ZRK_PROBE_32BIT_ELF='f0VMRgEBAQAAAAAAAAAAAAIAAwABAAAAVIAECDQAAAAAAAAAAAAAADQAIAABAAAAAAAAAAEAAAAAAAAAAIAECACABAhdAAAAXQAAAAUAAAAAEAAAMduzKjHAQM2A'

# True when a 32-bit program runs here. Also sets ZRK_32BIT_REASON to a line that says why not.
zrk_can_run_32bit() {
  if [ -n "${ZRK_32BIT_CHECKED:-}" ]; then return "$ZRK_32BIT_CHECKED"; fi
  if [ "${ZRK_X86_IN_GUEST:-}" = 1 ]; then
    ZRK_32BIT_CHECKED=1
    ZRK_32BIT_REASON="ZRK_X86_IN_GUEST=1 makes this machine count as one whose kernel runs no"
    ZRK_32BIT_REASON+=" 32-bit programs"
    export ZRK_32BIT_CHECKED ZRK_32BIT_REASON
    return 1
  fi
  local probe code
  # Beside the sources, not in /tmp, which may be mounted noexec.
  mkdir -p "$(dirname "${BASH_SOURCE[0]}")/../build"
  probe=$(mktemp "$(dirname "${BASH_SOURCE[0]}")/../build/probe32.XXXXXX")
  base64 -d <<<"$ZRK_PROBE_32BIT_ELF" >"$probe"
  chmod +x "$probe"
  set +e
  "$probe" 2>/dev/null
  code=$?
  set -e
  rm -f "$probe"
  if [ "$code" = 42 ]; then
    ZRK_32BIT_CHECKED=0
    ZRK_32BIT_REASON=""
  else
    ZRK_32BIT_CHECKED=1
    ZRK_32BIT_REASON="this machine's kernel does not run 32-bit programs (a 32-bit test program"
    ZRK_32BIT_REASON+=" ended with code $code, not 42; the kernel may have ia32_emulation off)"
  fi
  export ZRK_32BIT_CHECKED ZRK_32BIT_REASON
  return "$ZRK_32BIT_CHECKED"
}

# The Debian mirror that this machine's apt already uses (deb822 sources first, then the old
# one-line format), for the roots that zrk_debian_root builds.
zrk_debian_mirror() {
  local mirror
  mirror=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n1 || true)
  if [ -z "$mirror" ]; then
    mirror=$(awk '$1 == "deb" && $0 !~ /security/ {print $2; exit}' /etc/apt/sources.list \
      /etc/apt/sources.list.d/*.list 2>/dev/null || true)
  fi
  echo "${mirror:-http://deb.debian.org/debian}"
}

# Builds a root file system of Debian RELEASE (bookworm, trixie) for ARCHITECTURES (amd64 or
# amd64,i386) with PACKAGES into ROOT, from this machine's mirror, as root; mmdebstrap's output
# goes to LOG. The minimal base, no documentation, the Japanese locale generated, apt's lists
# dropped, no fsync per file.
zrk_debian_root() { # RELEASE ARCHITECTURES ROOT LOG PACKAGES...
  local release=$1 architectures=$2 root=$3 log=$4 packages
  shift 4
  packages=$(
    IFS=,
    echo "$*"
  )
  # shellcheck disable=SC2016 # the hooks' "$1" is the root, expanded by mmdebstrap's shell
  timeout 1800 mmdebstrap --variant=minbase --architectures="$architectures" \
    --include="$packages" --dpkgopt='path-exclude=/usr/share/doc/*' \
    --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/info/*' \
    --dpkgopt=force-unsafe-io \
    --customize-hook='sed -i "s/^# *ja_JP.UTF-8 UTF-8/ja_JP.UTF-8 UTF-8/" "$1/etc/locale.gen"' \
    --customize-hook='chroot "$1" locale-gen' \
    --customize-hook='rm -rf "$1"/var/lib/apt/lists/* "$1"/var/cache/apt/*.bin' \
    "$release" "$root" "$(zrk_debian_mirror)" >"$log" 2>&1
}

zrk_package_missing() {
  ! dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# Installs what the tests need; with "demo", only what the demo needs; with "build", only what
# the workflow's build job uses (no Wine, so neither the 32-bit Wine nor the Japanese locale).
zrk_install_deps() {
  local missing=() wanted=("${ZRK_PACKAGES[@]}")
  if [ "${1:-}" = demo ]; then wanted=("${ZRK_DEMO_PACKAGES[@]}"); fi
  if [ "${1:-}" = build ]; then wanted=("${ZRK_BUILD_PACKAGES[@]}"); fi
  for p in "${wanted[@]}"; do
    if zrk_package_missing "$p"; then missing+=("$p"); fi
  done
  local want32=0
  if [ "${1:-}" != build ] && zrk_can_run_32bit && zrk_package_missing wine32:i386; then
    want32=1
  fi
  if ((${#missing[@]})) || ((want32)); then
    if [ "$(id -u)" != 0 ]; then
      echo "missing packages (run as root to install): ${missing[*]}" \
        "$( ((want32)) && echo wine32:i386)" >&2
      return 1
    fi
    if ((want32)); then
      dpkg --add-architecture i386
      missing+=(wine32:i386)
    fi
    echo "installing: ${missing[*]}"
    "${ZRK_APT[@]}" update -q
    DEBIAN_FRONTEND=noninteractive "${ZRK_APT[@]}" install -y -q --no-install-recommends \
      "${missing[@]}"
  fi
  # Japanese folder names under Wine need the Unix locale.
  if [ "${1:-}" != build ] && ! locale -a 2>/dev/null | grep -qi '^ja_JP.utf8$'; then
    if [ "$(id -u)" = 0 ]; then
      sed -i 's/^# *ja_JP.UTF-8 UTF-8/ja_JP.UTF-8 UTF-8/' /etc/locale.gen
      grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' >>/etc/locale.gen
      locale-gen >/dev/null
    fi
  fi
}

# True when the x86 Wine tests are to run in the x86 test machine.
zrk_x86_in_guest() {
  ! zrk_can_run_32bit && [ "${ZRK_X86_IN_GUEST:-}" != 0 ]
}

# Where the x86 tests run in the x86 test machine: installs QEMU and the tools that build its
# image, and builds the image unless it is there for the same recipe (build/vm32, some minutes).
# A failure does not stop the caller: the x86 tests then report it, skipped.
zrk_prepare_x86_guest() {
  zrk_x86_in_guest || return 0
  local missing=() p
  for p in "${ZRK_GUEST_PACKAGES[@]}"; do
    if zrk_package_missing "$p"; then missing+=("$p"); fi
  done
  if ((${#missing[@]})); then
    echo "installing for the x86 test machine: ${missing[*]}"
    if ! "${ZRK_APT[@]}" update -q ||
      ! DEBIAN_FRONTEND=noninteractive "${ZRK_APT[@]}" install -y -q --no-install-recommends \
        "${missing[@]}"; then
      local vm_dir
      vm_dir=$(dirname "${BASH_SOURCE[0]}")/../build/vm32
      mkdir -p "$vm_dir"
      echo "could not install ${missing[*]} (apt-get failed)" >"$vm_dir/image-failed.txt"
      echo "x86 test machine: could not install ${missing[*]}; the x86 tests will be skipped" >&2
      return 0
    fi
  fi
  bash "$(dirname "${BASH_SOURCE[0]}")/x86-guest-image.sh" ||
    echo "x86 test machine: no image (build/vm32/image-failed.txt says why);" \
      "the x86 tests will be skipped" >&2
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  zrk_install_deps "$@"
  if [ "${1:-}" = build ]; then exit 0; fi # no Wine tests: no 32-bit verdict, no test machine
  # The scripts that source this file say the 32-bit verdict where it matters to them.
  if zrk_x86_in_guest; then
    echo "32-bit: $ZRK_32BIT_REASON; the 32-bit Wine tests run in the x86 test machine"
  elif ! zrk_can_run_32bit; then
    echo "32-bit: skipped, $ZRK_32BIT_REASON; the 32-bit Wine tests will be reported as skipped"
  fi
  zrk_prepare_x86_guest
fi
