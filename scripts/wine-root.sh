#!/usr/bin/env bash
# Builds the second Wine: a root file system of the other Debian release (Debian 13 with Wine 10
# on a Debian 12 machine, Debian 12 with Wine 8 on a Debian 13 one), in which the Wine tests run a
# second time (scripts/in-wine-root.sh enters it). Run by scripts/deps.sh, as root.
#
#   scripts/wine-root.sh [OUT]        OUT: build/wine-root beside the sources unless given
#
# Writes OUT/root (the root file system), OUT/root/.zrk-recipe (the hash of this file and of the
# release and architectures it was built for), so that a root is built once and kept until this
# file changes; and OUT/name (the release and its Wine, e.g. "trixie wine10"). When the build
# fails, OUT/root-failed.txt says why and no root is left: the second Wine's tests are then
# skipped with that cause, and scripts/test.sh says so at its end.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$source_dir/build/wine-root}")
failed=$out/root-failed.txt
# shellcheck source=scripts/deps.sh
source "$source_dir/scripts/deps.sh"

read -r release wine_label < <(zrk_second_wine)
architectures=amd64
if zrk_can_run_32bit; then architectures=amd64,i386; fi

# What the Wine tests need there (as everywhere they run), and the tools of the tests' mounts.
# Wine for 32-bit programs only where this machine runs them.
ROOT_PACKAGES=("${ZRK_WINE_PACKAGES[@]}" xauth x11-utils mount)
if [ "$architectures" = amd64,i386 ]; then ROOT_PACKAGES+=(wine32:i386); fi
# The recipe: this file, the function that builds the root, and what it is given from outside.
recipe=$( (cat "$0" && declare -f zrk_debian_root &&
  echo "$release $architectures ${ROOT_PACKAGES[*]}") | sha256sum | cut -d' ' -f1)

mkdir -p "$out"
rm -f "$failed"
if [ -f "$out/root/.zrk-recipe" ] && [ "$(cat "$out/root/.zrk-recipe")" = "$recipe" ]; then
  exit 0
fi
say_failed() {
  echo "$1" >"$failed"
  echo "second Wine: $1" >&2
  exit 1
}
[ "$(id -u)" = 0 ] || say_failed "the root of Debian $release is built as root"
command -v mmdebstrap >/dev/null || say_failed "mmdebstrap is not installed"

log=$out/build.log
work=$out/work
: >"$log"
started=$SECONDS
# shellcheck disable=SC2317 # called by the trap
on_exit() {
  local code=$?
  if ((code != 0)) && [ ! -s "$failed" ]; then
    {
      # The first error line says why, on the first line of the file; the log's end follows.
      echo "building the root of Debian $release failed (exit code $code):" \
        "$(grep -m 1 '^E: ' "$log" || tail -n 1 "$log")"
      echo "last lines of $log:"
      tail -n 15 "$log" | sed 's/^/  /'
    } >"$failed"
    cat "$failed" >&2
  fi
  rm -rf --one-file-system "$work"
}
trap on_exit EXIT
trap 'exit 143' TERM INT

echo "second Wine: building the root of Debian $release ($wine_label) into $out/root"
rm -rf --one-file-system "$work"
mkdir -p "$work"
zrk_debian_root "$release" "$architectures" "$work/root" "$log" "${ROOT_PACKAGES[@]}"
echo "$release $wine_label" >"$work/root/.zrk-name"
echo "$recipe" >"$work/root/.zrk-recipe"
rm -rf --one-file-system "$out/root"
mv "$work/root" "$out/root"
echo "second Wine: root ready in $((SECONDS - started)) s: $out/root ($(du -sh "$out/root" |
  cut -f1)), $("$source_dir/scripts/in-wine-root.sh" wine --version 2>&1 | tail -n 1)"
