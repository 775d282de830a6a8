#!/usr/bin/env bash
# Builds the release executables from a clean build folder and puts them into dist/:
#
#   dist/ZRK_START.exe                      the 32-bit launcher: the one to ship to players
#   dist/ZRK_START-x64-NOT-FOR-PLAYERS.exe  its 64-bit twin, for testing only
#   dist/SHA256SUMS                         the SHA-256 sums of all files (check: cd dist &&
#                                           sha256sum -c SHA256SUMS)
#
# With --sign, those two names hold the signed executables, and the unsigned ones, the bytes that
# anyone can rebuild from the sources, stay beside them as ZRK_START-unsigned.exe and
# ZRK_START-x64-NOT-FOR-PLAYERS-unsigned.exe.
#
#   scripts/release.sh [--out DIR] [--sign CERT.p12 [--timestamp URL]]
#
#   --out DIR          DIR instead of dist/
#   --sign CERT.p12    Authenticode signatures (SHA-256) with the certificate and private key in
#                      CERT.p12; its password is taken from the environment variable
#                      ZRK_SIGN_PASSWORD (unset or empty: a file without a password)
#   --timestamp URL    have each signature time-stamped by this RFC 3161 server
#
# The build is reproducible: the same commit gives the same bytes in any folder, on any machine
# with the same compilers (Debian 12's MinGW-w64). Works on a fresh Debian 12 machine as root.
#
# Sourcing this file defines zrk_release_files, the part after the build, which the signing test
# runs on the executables of the windows-x86 and windows-x64 presets.
set -euo pipefail

ZRK_RELEASE_SOURCE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# The release names: the file a publisher ships, and the unsigned twin kept beside a signed one.
declare -A ZRK_SHIPPED=([x86]=ZRK_START.exe [x64]=ZRK_START-x64-NOT-FOR-PLAYERS.exe)
zrk_unsigned_name() { echo "${1%.exe}-unsigned.exe"; }
# ZRK_START.exe of a build folder, where the harness of the tests says the build puts it.
zrk_launcher_of() { python3 "$ZRK_RELEASE_SOURCE_DIR/tests/wine/harness.py" launcher "$1"; }

# The version resource's FileDescription, which the signature carries as its description: Windows
# shows it as the program's name when it asks before running a downloaded program.
zrk_file_description() {
  sed -n 's/^ *VALUE "FileDescription", "\(.*\)"$/\1/p' \
    "$ZRK_RELEASE_SOURCE_DIR/src/platform/win32/ZRK_START.rc"
}

# Signs the executable IN into OUT with the certificate and key of a PKCS#12 file (SHA-256), with
# a time-stamp from URL when one is given. The password is the shell variable ZRK_SIGN_PASSWORD.
#
# It reaches osslsigncode through a pipe, read as the file /dev/stdin: never on a command line
# (ps shows every process's arguments to every user, and osslsigncode's -pass clears its copy
# only after start-up), never in a file that a killed run could leave behind. osslsigncode 2.9
# also takes "-readpass -" for standard input; Debian 12's 2.5 does not, and /dev/stdin works
# with both.
#
# Signing changes three things in the file: the PE checksum, the certificate table's entry in the
# header, and what follows the end of the file (zeros to a multiple of 8 bytes, then the
# signature). osslsigncode's remove-signature cuts the file at the signature, clears the entry
# and computes the checksum again. That gives back exactly the unsigned bytes because the linker
# already leaves them that way: ld writes the correct checksum, the entry is empty, and the file
# ends at a section boundary, a multiple of the 512-byte file alignment. The round trip is checked
# here for every signed file.
zrk_sign() {
  local in=$1 out=$2 cert=$3 timestamp_url=$4 description
  description=$(zrk_file_description)
  if [ -z "$description" ]; then
    echo "no FileDescription found in src/platform/win32/ZRK_START.rc" >&2
    return 1
  fi
  local args=(sign -pkcs12 "$cert" -h sha256 -n "$description")
  if [ -n "$timestamp_url" ]; then args+=(-ts "$timestamp_url"); fi
  rm -f "$out" # osslsigncode does not overwrite
  if [ -n "${ZRK_SIGN_PASSWORD:-}" ]; then
    printf '%s' "$ZRK_SIGN_PASSWORD" |
      osslsigncode "${args[@]}" -readpass /dev/stdin -in "$in" -out "$out" >/dev/null
  else
    osslsigncode "${args[@]}" -in "$in" -out "$out" </dev/null >/dev/null
  fi || {
    echo "signing $(basename "$out") failed (osslsigncode's reason above)" >&2
    rm -f "$out"
    return 1
  }
  local work
  work=$(mktemp -d)
  osslsigncode remove-signature -in "$out" -out "$work/stripped.exe" >/dev/null
  if ! cmp -s "$work/stripped.exe" "$in"; then
    echo "removing the signature of $(basename "$out") does not give back the unsigned bytes" >&2
    rm -rf "$work"
    return 1
  fi
  rm -rf "$work"
}

# Puts the built executables X86_EXE and X64_EXE into OUT under their release names, signed when
# CERT.p12 is given (time-stamped when URL is given too), checks each file, and writes SHA256SUMS.
# Usage: zrk_release_files OUT X86_EXE X64_EXE [CERT.p12 [URL]]
zrk_release_files() {
  local out=$1 cert=${4:-} timestamp_url=${5:-}
  local -A built=([x86]=$2 [x64]=$3)
  local arch files=()
  mkdir -p "$out"
  # A run with the other choice left files here that the new sums would not list.
  for arch in x86 x64; do
    rm -f "$out/${ZRK_SHIPPED[$arch]}" "$out/$(zrk_unsigned_name "${ZRK_SHIPPED[$arch]}")"
  done
  rm -f "$out/SHA256SUMS"
  for arch in x86 x64; do
    local shipped=${ZRK_SHIPPED[$arch]} names
    if [ -z "$cert" ]; then
      cp "${built[$arch]}" "$out/$shipped"
      names=("$shipped")
    else
      local unsigned
      unsigned=$(zrk_unsigned_name "$shipped")
      cp "${built[$arch]}" "$out/$unsigned"
      zrk_sign "$out/$unsigned" "$out/$shipped" "$cert" "$timestamp_url"
      names=("$shipped" "$unsigned")
    fi
    local name
    for name in "${names[@]}"; do
      python3 "$ZRK_RELEASE_SOURCE_DIR/tests/contract/check_executable.py" --arch "$arch" \
        "$out/$name" >/dev/null
    done
    files+=("${names[@]}")
  done
  (cd "$out" && sha256sum "${files[@]}" >SHA256SUMS && sha256sum -c --quiet SHA256SUMS)
}

zrk_release_main() {
  local out=$ZRK_RELEASE_SOURCE_DIR/dist cert="" timestamp_url=""
  while (($#)); do
    case "$1" in
      --out) out=$(realpath -m "${2:?--out needs a folder}"); shift 2 ;;
      --sign) cert=$(realpath -m "${2:?--sign needs a PKCS#12 file}"); shift 2 ;;
      --timestamp) timestamp_url=${2:?--timestamp needs a URL}; shift 2 ;;
      *) echo "usage: $0 [--out DIR] [--sign CERT.p12 [--timestamp URL]]" >&2; exit 2 ;;
    esac
  done
  if [ -n "$timestamp_url" ] && [ -z "$cert" ]; then
    echo "--timestamp is for signatures: give --sign CERT.p12 too" >&2
    exit 2
  fi
  if [ -n "$cert" ] && [ ! -r "$cert" ]; then
    echo "cannot read the certificate file $cert" >&2
    exit 2
  fi
  # The password stays in this shell: no compiler or other program started here inherits it.
  export -n ZRK_SIGN_PASSWORD

  cd "$ZRK_RELEASE_SOURCE_DIR"
  source scripts/deps.sh
  zrk_install_deps

  local arch
  for arch in x86 x64; do
    local build=build/release-$arch
    rm -rf "$build"
    cmake --preset "windows-$arch" -B "$build" -DZRK_BUILD_TESTS=OFF >/dev/null
    cmake --build "$build" -j "$(nproc)" --target ZRK_START >/dev/null
  done
  zrk_release_files "$out" "$(zrk_launcher_of build/release-x86)" \
    "$(zrk_launcher_of build/release-x64)" "$cert" "$timestamp_url"
  echo "release in $out:"
  sed 's/^/  /' "$out/SHA256SUMS"
  if [ -n "$cert" ]; then
    echo "ship ZRK_START.exe (32-bit, signed); ZRK_START-unsigned.exe is the same program" \
      "unsigned, the reproducible bytes to compare a rebuild with; the x64 files are for testing only"
  else
    echo "ship ZRK_START.exe (32-bit); the x64 file is for testing only"
  fi
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then zrk_release_main "$@"; fi
