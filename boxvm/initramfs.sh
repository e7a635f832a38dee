#!/usr/bin/env bash
# Makes the box VM's initramfs: busybox with its applets' links, the kernel's
# modules and their loading order, the box's root (boxvm/root/: inittab, rcS,
# rcK, update-rc.d), then each overlay's files on top, in the order given.
#
#   boxvm/initramfs.sh OUT KERNEL_DIR BUSYBOX_DIR [OVERLAY_DIR...]
# KERNEL_DIR and BUSYBOX_DIR as boxvm/fetch.sh prints them. OUT: a gzip'd
# newc cpio archive, preceded by an uncompressed one holding /dev/console
# (which init's output needs before devtmpfs is mounted, and which an
# unprivileged user cannot make with mknod).
set -euo pipefail
out=$1 kernel_dir=$2 busybox_dir=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)
command -v cpio > /dev/null || { echo "box vm: cpio is missing (scripts/deps.sh installs it)" >&2; exit 1; }

root=$(mktemp -d "${TMPDIR:-/tmp}/boxvm-root.XXXXXX")
trap 'rm -rf "$root"' EXIT

mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,dev,proc,sys,tmp,root,lib/modules,var/lib/dpkg/info}
install -m 0755 "$busybox_dir/busybox" "$root/bin/busybox"
while read -r applet; do
  [ "$applet" = bin/busybox ] && continue
  ln -sf /bin/busybox "$root/$applet"
done < "$busybox_dir/applets"
ln -s /bin/busybox "$root/init"
cp "$kernel_dir"/modules/*.ko "$kernel_dir/modules/order" "$root/lib/modules/"
: > "$root/var/lib/dpkg/status"
cp -a "$here/root/." "$root/"
for overlay in "$@"; do
  cp -a "$overlay/." "$root/"
done
chmod 1777 "$root/tmp"

# One newc entry: NAME MODE (octal) RDEVMAJOR RDEVMINOR, no data.
newc_entry() {
  local name=$1 mode=$((8#$2)) major=$3 minor=$4 size=$((${#1} + 1))
  printf '070701%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%s\0' \
    0 "$mode" 0 0 1 0 0 0 0 "$major" "$minor" "$size" 0 "$name"
  # header (110 bytes) and name padded to a multiple of four
  local pad=$(((4 - (110 + size) % 4) % 4))
  head -c "$pad" /dev/zero
}
{
  newc_entry dev 040755 0 0
  newc_entry dev/console 020600 5 1
  newc_entry TRAILER!!! 0 0 0
} > "$out.tmp"
# padded to 512 bytes, as cpio pads its archives
truncate -s %512 "$out.tmp"
(cd "$root" && find . -mindepth 1 | LC_ALL=C sort |
  cpio -o -H newc -R 0:0 --quiet | gzip -6n) >> "$out.tmp"
mv "$out.tmp" "$out"
