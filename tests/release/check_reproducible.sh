#!/usr/bin/env bash
# Builds the release twice, from two copies of the sources in folders of different names and
# lengths, and checks that both give byte-identical executables for both architectures.
# Usage: check_reproducible.sh SOURCE_DIR
set -euo pipefail
source_dir=$(realpath "${1:?usage: $0 SOURCE_DIR}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

copy_sources() { # into $1
  mkdir -p "$1"
  if git -C "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    # The files of the working tree that git does not ignore, committed or not.
    git -C "$source_dir" ls-files -z --cached --others --exclude-standard |
      (cd "$source_dir" && xargs -0 cp --parents -t "$1")
  else
    tar -C "$source_dir" --exclude=./build --exclude=./dist -cf - . | tar -C "$1" -xf -
  fi
}

first=$work/a/zrk
second=$work/second-build-folder/with/a/longer/path/zrk_start_sources
copy_sources "$first"
copy_sources "$second"
for tree in "$first" "$second"; do
  bash "$tree/scripts/release.sh" --out "$tree/dist" >"$tree.log" 2>&1 || {
    cat "$tree.log"
    exit 1
  }
done
echo "first build:"
sed 's/^/  /' "$first/dist/SHA256SUMS"
if ! cmp -s "$first/dist/SHA256SUMS" "$second/dist/SHA256SUMS"; then
  echo "second build differs:"
  sed 's/^/  /' "$second/dist/SHA256SUMS"
  for f in "$first"/dist/*.exe; do
    cmp -l "$f" "$second/dist/$(basename "$f")" | head -5 |
      sed "s|^|  $(basename "$f"): byte, octal values: |"
  done
  exit 1
fi
echo "second build, in another folder: the same bytes"
