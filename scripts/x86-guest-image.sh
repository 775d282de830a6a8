#!/usr/bin/env bash
# Builds the disk image of the x86 test machine: a small emulated computer (QEMU) that runs the
# 32-bit Wine tests where this machine's kernel runs no 32-bit code. Run by scripts/deps.sh, as
# root.
#
#   scripts/x86-guest-image.sh [OUT]        OUT: build/vm32 beside the sources unless given
#
# Debian 12 (amd64 with the i386 architecture added), Wine with its 32-bit loader, and what the
# tests need besides: Python, Xvfb, the Japanese font and locale, Wine's Marlett font. The packages
# come from the Debian mirror that this machine's apt uses; the machine itself has no network.
# Writes OUT/image/{root.img,vmlinuz,initrd.img,recipe}; "recipe" holds the hash of this file, of
# the function that builds the root (zrk_debian_root) and of the package list, the whole recipe,
# so an image is built once and kept until they change. When the build fails,
# OUT/image-failed.txt says why and no image is left (scripts/test.sh then reports the x86 tests
# as skipped with that cause).
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$source_dir/build/vm32}")
image=$out/image
failed=$out/image-failed.txt
# shellcheck source=scripts/deps.sh
source "$source_dir/scripts/deps.sh"
# Beyond the minimal base (which has mount): the kernel, booted directly with its initrd, and what
# the Wine tests need, the 32-bit Wine included.
GUEST_PACKAGES=(linux-image-amd64 initramfs-tools "${ZRK_WINE_PACKAGES[@]}" wine32:i386)
recipe=$({ cat "$0"; declare -f zrk_debian_root; echo "${GUEST_PACKAGES[*]}"; } | sha256sum |
  cut -d' ' -f1)

rm -f "$failed"
if [ -f "$image/recipe" ] && [ "$(cat "$image/recipe")" = "$recipe" ]; then
  exit 0
fi
[ "$(id -u)" = 0 ] || { echo "the x86 test machine's image is built as root" >&2; exit 1; }

work=$out/work
root=$work/root
log=$out/image-build.log
mkdir -p "$out"
: >"$log"
started=$SECONDS
step() { echo "x86 test machine: $1 ($((SECONDS - started)) s)"; }

# shellcheck disable=SC2317 # called by the trap
on_exit() {
  local code=$?
  if ((code != 0)); then
    {
      echo "building the image failed (exit code $code) at: ${current:-start}"
      echo "last lines of $log:"
      tail -n 15 "$log" | sed 's/^/  /'
    } >"$failed"
    cat "$failed" >&2
  fi
  # Never across a mount that is still there.
  rm -rf --one-file-system "$work"
}
trap on_exit EXIT
trap 'exit 143' TERM INT

rm -rf --one-file-system "$work"
mkdir -p "$work"
current="the root file system from $(zrk_debian_mirror)"
step "$current"
# A 32-bit program cannot run in the chroot on a machine whose kernel runs none: only the
# configuration of libglib2.0-0:i386 tries one, and it carries on without it.
zrk_debian_root bookworm amd64,i386 "$root" "$log" "${GUEST_PACKAGES[@]}"

current="the disk image"
step "$current"
# PID 1: mounts what a system needs, then the test disk (the second drive), and runs the program
# that the test disk brings (its "init"); then powers the machine off, which ends QEMU.
cat >"$root/sbin/zrk-init" <<'EOF'
#!/bin/sh
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
# The initrd has mounted /proc, /sys and /dev already.
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sys /sys
mountpoint -q /dev || mount -t devtmpfs dev /dev
mkdir -p /dev/pts /dev/shm /stage
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
hostname x86-tests
if mount -t ext4 /dev/vdb /stage && [ -x /stage/init ]; then
  /stage/init
else
  echo "zrk-init: no test disk with an init on /dev/vdb" >/dev/console
fi
sync
echo o >/proc/sysrq-trigger
sleep 60
EOF
chmod +x "$root/sbin/zrk-init"
echo 'LABEL=root / ext4 defaults 0 1' >"$root/etc/fstab"
mkdir -p "$work/image"
cp "$root"/boot/vmlinuz-* "$work/image/vmlinuz"
cp "$root"/boot/initrd.img-* "$work/image/initrd.img"
# The kernel and initrd are booted from outside; the modules the system loads come from the initrd.
rm -rf "${root:?}"/boot/* "$root"/lib/modules/*/kernel/{sound,drivers/gpu,drivers/media,drivers/net}
size_mb=$(($(du -sm "$root" | cut -f1) * 5 / 4 + 512))
truncate -s "${size_mb}M" "$work/image/root.img"
mke2fs -q -t ext4 -L root -d "$root" "$work/image/root.img" >>"$log" 2>&1
echo "$recipe" >"$work/image/recipe"

rm -rf "$image"
mv "$work/image" "$image"
current=""
step "image ready: $image (a disk of $(du -sh --apparent-size "$image/root.img" | cut -f1), \
$(du -sh "$image/root.img" | cut -f1) of it used)"
