#!/usr/bin/env bash
# Runs a command under the second Wine: inside the root of the other Debian release that
# scripts/wine-root.sh built, as root.
#
#   scripts/in-wine-root.sh [--arch x86|x64] [--bind DIR]... [--] COMMAND [ARGUMENTS...]
#
# The command sees this machine's /proc, /sys, /dev, /tmp, the sources and every --bind folder at
# their own paths, so that it runs with the same command line as here, in the same folder. The
# mounts are made in a mount namespace of their own (unshare): they go with its last process, also
# when the command fails or is stopped, and no one else sees them. The exit code is the command's,
# or 77 (skipped) with the reason when the root is not there, or when an x86 command cannot run
# here (the x86 tests then run under this machine's Wine only, in the x86 test machine).
# ZRK_SECOND_WINE_ROOT names another root.
#
# It also serves as the harness's ZRK_WINE_WRAPPER (tests/wine/harness.py), with ZRK_WINE_ROOT
# the same root: then only the Wine commands run in the root, e.g. for the demo under Wine 10:
#   ZRK_WINE_WRAPPER="$PWD/scripts/in-wine-root.sh --" ZRK_WINE_ROOT=$PWD/build/wine-root/root \
#     scripts/demo.sh
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
root=${ZRK_SECOND_WINE_ROOT:-$source_dir/build/wine-root/root}
binds=("$source_dir" /tmp)
arch=x64
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch=$2; shift 2 ;;
    --bind) binds+=("$(realpath -m "$2")"); shift 2 ;;
    --) shift; break ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || { echo "usage: $0 [--arch x86|x64] [--bind DIR]... [--] COMMAND..." >&2; exit 2; }

# shellcheck source=scripts/deps.sh
source "$source_dir/scripts/deps.sh"
read -r release wine_label < <(zrk_second_wine)
if [ "$arch" = x86 ] && ! zrk_can_run_32bit; then
  echo "SKIPPED: the x86 cases run under this machine's Wine only, in the x86 test machine, not" \
    "under $wine_label: $ZRK_32BIT_REASON"
  exit 77
fi
# A failed build of the root is reported, even where an older root is still there.
failed=$(dirname "$root")/root-failed.txt
if [ -s "$failed" ]; then
  echo "SKIPPED: the root of Debian $release ($wine_label) could not be built:" \
    "$(head -n 1 "$failed") (more in $failed)"
  exit 77
fi
if [ ! -f "$root/.zrk-recipe" ]; then
  echo "SKIPPED: the root of Debian $release ($wine_label) is not built (scripts/wine-root.sh" \
    "builds it; scripts/test.sh does so while the rest compiles)"
  exit 77
fi
if [ "$(id -u)" != 0 ]; then
  echo "SKIPPED: the second Wine ($wine_label) runs in a chroot, which needs root"
  exit 77
fi

# In the new mount namespace: the mounts, then the command in the root. Wine 10's wineboot and
# wineserver crash when TMPDIR is set ("free(): invalid pointer"), so the command gets none.
# shellcheck disable=SC2016 # expanded by the inner shell
exec unshare --mount --propagation private -- bash -c '
  set -eu
  root=$1
  nbinds=$2
  shift 2
  mount --rbind /proc "$root/proc"
  mount --rbind /sys "$root/sys"
  mount --rbind /dev "$root/dev"
  for ((i = 0; i < nbinds; i++)); do
    mkdir -p "$root$1"
    mount --rbind "$1" "$root$1" # with the mounts beneath, such as the small disks of tests
    shift
  done
  exec chroot "$root" /usr/bin/env -u TMPDIR \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/sh -c "cd \"\$0\" 2>/dev/null || cd /; exec \"\$@\"" "$@"
' _ "$root" "${#binds[@]}" "${binds[@]}" "$PWD" "$@"
