#!/usr/bin/env bash
# Signs the executables of the two Windows builds the way scripts/release.sh --sign does (its
# zrk_release_files, without the clean rebuild), with a throwaway self-signed code-signing
# certificate, and checks the signed release in OUT_DIR:
#
# - osslsigncode verify accepts each signed file against that certificate, SHA-256, with the
#   version resource's FileDescription as the signature's description;
# - removing a signature gives back exactly the unsigned file, which is the build's own bytes;
# - the executable check passes on every file; SHA256SUMS lists them all and checks.
#
# The key and the password exist only in a private temporary folder and in this shell, and the
# folder is removed at the end; the test fails if the password or a private key shows in its
# output. The signed files stay in OUT_DIR for the Wine tests of the signed launchers.
#
# Usage: check_signing.sh X86_BUILD_DIR X64_BUILD_DIR OUT_DIR
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
x86_build=${1:?usage: $0 X86_BUILD_DIR X64_BUILD_DIR OUT_DIR}
x64_build=${2:?usage: $0 X86_BUILD_DIR X64_BUILD_DIR OUT_DIR}
out=${3:?usage: $0 X86_BUILD_DIR X64_BUILD_DIR OUT_DIR}
source "$source_dir/scripts/release.sh"

work=$(mktemp -d) # mode 700: the key's folder
trap 'rm -rf "$work"' EXIT
log=$work/log
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

# Not exported: only this shell and the pipes it feeds know the password.
ZRK_SIGN_PASSWORD=$(openssl rand -hex 16)

sign_release() {
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
    -days 1 -subj "/CN=ZRK_START signing test (throwaway)" \
    -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=critical,digitalSignature" 2>/dev/null
  printf '%s\n' "$ZRK_SIGN_PASSWORD" |
    openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/cert.p12" \
      -passout stdin
  rm "$work/key.pem" # from here on only in the password-protected cert.p12
  zrk_release_files "$out" "$(zrk_launcher_of "$x86_build")" "$(zrk_launcher_of "$x64_build")" \
    "$work/cert.p12"
  echo "signed release in $out:"
  sed 's/^/  /' "$out/SHA256SUMS"
}

check_signed() { # ARCH SIGNED_NAME BUILD_DIR
  local arch=$1 signed=$out/$2 build_exe
  build_exe=$(zrk_launcher_of "$3")
  local unsigned=$out/${2%.exe}-unsigned.exe
  echo "$2:"
  cmp -s "$unsigned" "$build_exe" || fail "$(basename "$unsigned") is not the build's $build_exe"

  local verified description
  if ! verified=$(osslsigncode verify -CAfile "$work/cert.pem" -in "$signed" 2>&1); then
    fail "osslsigncode verify refuses $2:"$'\n'"$verified"
  fi
  grep -q '^Signature verification: ok' <<<"$verified" || fail "$2: signature not verified"
  grep -q '^Message digest algorithm *: SHA256' <<<"$verified" || fail "$2: not SHA-256"
  # The description as the built file's version resource has it, read by the executable check.
  description=$(python3 "$source_dir/tests/contract/check_executable.py" "$signed" |
    sed -n 's/^ *041104B0 FileDescription = //p')
  local got
  got=$(sed -n 's/^[[:space:]]*Text description: //p' <<<"$verified")
  [ -n "$description" ] || fail "$2: no FileDescription found in the version resource"
  [ "$got" = "$description" ] ||
    fail "$2: the signature's description is '$got', not the FileDescription '$description'"
  echo "  osslsigncode verify: ok, SHA-256, described as '$description'"

  osslsigncode remove-signature -in "$signed" -out "$work/stripped.exe" >/dev/null
  if cmp "$work/stripped.exe" "$unsigned"; then
    echo "  without its signature: the unsigned bytes"
  else
    fail "$2 without its signature differs from $(basename "$unsigned")"
  fi
  rm "$work/stripped.exe"

  python3 "$source_dir/tests/contract/check_executable.py" --arch "$arch" "$signed" ||
    fail "the executable check fails on the signed $2"
}

run() {
  sign_release
  check_signed x86 ZRK_START.exe "$x86_build"
  check_signed x64 ZRK_START-x64-NOT-FOR-PLAYERS.exe "$x64_build"
  (cd "$out" && sha256sum -c SHA256SUMS) || fail "SHA256SUMS does not check"
  [ "$(wc -l <"$out/SHA256SUMS")" = 4 ] || fail "SHA256SUMS does not list the four executables"
  ((failures == 0))
}

# Everything goes to the log first, so that it can be searched for secrets before it is shown.
set +e
(
  set -e
  run
) >"$log" 2>&1
status=$?
set -e
if grep -qF "$ZRK_SIGN_PASSWORD" "$log" || grep -q 'PRIVATE KEY' "$log"; then
  echo "FAILED: the output shows the password or a private key (not printed here)"
  exit 1
fi
cat "$log"
if ((status)); then
  echo "FAILED (exit code $status)"
  exit 1
fi
echo "signed release checked"
