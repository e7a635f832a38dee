#!/usr/bin/env bash
# Fetches the box VM's two Debian packages for mipsel, by name, and unpacks
# what the VM needs from them into the cache:
#   CACHE/kernel-ABI/vmlinuz          the kernel (an ELF that qemu boots as it is)
#   CACHE/kernel-ABI/modules/*.ko     the modules the box VM loads
#   CACHE/busybox-VERSION/busybox     busybox, static, and applets: its applets' paths
#
#   boxvm/fetch.sh CACHE
# Prints the two folders (kernel, busybox), one a line. Does nothing but
# print them when they are there already; a download is checked against the
# SHA-256 below, so a cached VM needs no network.
set -euo pipefail
cache=$1

# The kernel: what the meta-package linux-image-4kc-malta named when this
# was pinned. Its package name carries the ABI number, which moves with
# Debian's updates; the pin keeps the VM the same until it is moved here.
kernel_meta=linux-image-4kc-malta
kernel_abi=6.1.0-50-4kc-malta
kernel=(linux-image-$kernel_abi 6.1.176-1 7814a3e09dcd75835963be7beeea8e01d8b7db5edcd4dc91e6a2fc1e1b380168)
busybox=(busybox-static 1:1.35.0-4+deb12u1+b1 3d154a0681a75938b7c27f2bd40625852d37471fb768c98ea3c98019111d1352)

# The modules, in dependency order (the package has no modules.dep): USB and
# its USB/IP host controller, FUSE and CUSE, the network card qemu gives.
modules=(
  drivers/usb/common/usb-common.ko
  drivers/usb/core/usbcore.ko
  drivers/usb/usbip/usbip-core.ko
  drivers/usb/usbip/vhci-hcd.ko
  fs/fuse/fuse.ko
  fs/fuse/cuse.ko
  drivers/net/mii.ko
  drivers/net/ethernet/amd/pcnet32.ko
)

say() { echo "box vm: $*" >&2; }
die() { echo "box vm: $*" >&2; exit 1; }

# The .deb of PACKAGE=VERSION:mipsel in CACHE, downloaded with apt unless there.
fetch_deb() {  # PACKAGE VERSION SHA256 -> prints the file
  local package=$1 version=$2 sum=$3
  local deb=$cache/${package}_${version#*:}_mipsel.deb
  if ! echo "$sum  $deb" | sha256sum -c --status 2>/dev/null; then
    say "downloading the Debian package $package:mipsel $version"
    local tmp
    tmp=$(mktemp -d "$cache/download.XXXXXX")
    # as root, apt would hand the download to its _apt user, who may not write here
    if ! (cd "$tmp" && apt-get -qq -o APT::Sandbox::User=root download "$package:mipsel=$version") ||
      ! mv "$tmp"/*.deb "$deb"; then
      rm -rf "$tmp"
      die "cannot download the Debian package $package:mipsel (version $version): the archive cannot be reached, or it no longer holds that version (apt-get update; scripts/deps.sh adds the mipsel architecture)"
    fi
    rm -rf "$tmp"
    echo "$sum  $deb" | sha256sum -c --status ||
      die "the Debian package $package:mipsel $version does not have SHA-256 $sum"
  fi
  echo "$deb"
}

# Says so when the meta-package now names another kernel: the pin stays.
check_meta() {
  local now
  now=$(apt-cache depends "$kernel_meta:mipsel" 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[^:]*\).*/\1/p' | head -n1)
  [ -z "$now" ] || [ "$now" = "${kernel[0]}" ] ||
    say "note: $kernel_meta now names $now; the VM stays on ${kernel[0]} ${kernel[1]}"
}

unpack_kernel() {  # DIR
  local dir=$1 deb
  [ -f "$dir/.complete" ] && return 0
  check_meta
  deb=$(fetch_deb "${kernel[@]}")
  rm -rf "$dir" && mkdir -p "$dir/unpack" "$dir/modules"
  local paths=("./boot/vmlinuz-$kernel_abi") m
  for m in "${modules[@]}"; do paths+=("./lib/modules/$kernel_abi/kernel/$m"); done
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$dir/unpack" "${paths[@]}" ||
    die "${kernel[0]} lacks a file the VM needs"
  mv "$dir/unpack/boot/vmlinuz-$kernel_abi" "$dir/vmlinuz"
  for m in "${modules[@]}"; do mv "$dir/unpack/lib/modules/$kernel_abi/kernel/$m" "$dir/modules/"; done
  rm -rf "$dir/unpack"
  printf '%s\n' "${modules[@]##*/}" > "$dir/modules/order"
  touch "$dir/.complete"
}

unpack_busybox() {  # DIR
  local dir=$1 deb
  [ -f "$dir/.complete" ] && return 0
  deb=$(fetch_deb "${busybox[@]}")
  rm -rf "$dir" && mkdir -p "$dir/unpack"
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$dir/unpack" ./bin/busybox ||
    die "${busybox[0]} holds no bin/busybox"
  mv "$dir/unpack/bin/busybox" "$dir/busybox"
  rm -rf "$dir/unpack"
  # Its applets, where each belongs (bin/sh, sbin/init, usr/bin/dpkg, ...).
  qemu-mipsel "$dir/busybox" --list-full > "$dir/applets" ||
    die "cannot list busybox's applets (qemu-mipsel, from qemu-user, runs it)"
  touch "$dir/.complete"
}

mkdir -p "$cache"
kernel_dir=$cache/kernel-$kernel_abi-${kernel[1]}
busybox_dir=$cache/busybox-${busybox[1]#*:}
unpack_kernel "$kernel_dir"
unpack_busybox "$busybox_dir"
echo "$kernel_dir"
echo "$busybox_dir"
