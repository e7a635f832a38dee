#!/usr/bin/env bash
# The box VM: Debian's mipsel kernel and busybox in qemu-system-mipsel (Malta,
# a 24Kc core), with busybox init, the box's init scripts and, in the tests,
# the box package and the emulated light set on its USB bus. boxvm/README.md
# says more.
#
#   scripts/box-vm.sh fetch
#       downloads (once) and unpacks the kernel and busybox into the cache
#   scripts/box-vm.sh initramfs [--overlay DIR]... [--out FILE]
#       makes the initramfs (DIR's files on top of the box's root)
#   scripts/box-vm.sh boot [--overlay DIR]... [--append ARGS] [--run FILE]
#                          [--usbip PORT] [--timeout SECONDS]
#       boots it, qemu's console on this terminal (Ctrl-A X ends qemu);
#       --run FILE: FILE (copied in as /root/run) runs once the box is up,
#       then the box powers off; --usbip PORT: the guest attaches the light
#       set served on this machine's 127.0.0.1:PORT; --append: more kernel
#       arguments; --timeout: qemu is ended after that long (default 600 s)
#
# The cache: HUE_BOX_CACHE, as the box builds use it, else
# ${XDG_CACHE_HOME:-~/.cache}/huecast; the VM's files go to its vm/ folder.
# The work folder (initramfs): HUE_VM_WORK, else build/boxvm.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cache=${HUE_BOX_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/huecast}/vm
work=${HUE_VM_WORK:-$top/build/boxvm}

die() { echo "box vm: $*" >&2; exit 1; }

# Sets kernel_dir and busybox_dir, fetching them first if needed.
fetched() {
  local dirs
  dirs=$("$top/boxvm/fetch.sh" "$cache") || exit 1
  kernel_dir=$(sed -n 1p <<< "$dirs")
  busybox_dir=$(sed -n 2p <<< "$dirs")
}

# The kernel's arguments every boot has: the serial console, a panic ends
# the VM (with -no-reboot), the kernel's messages kept short.
base_append="console=ttyS0 panic=1 quiet"

# qemu with the box's machine: Malta, a release-2 core, 256 MB, a pcnet card
# on qemu's user network. Arguments: more of qemu's options.
qemu_box() {  # INITRD APPEND QEMU_OPTION...
  local initrd=$1 append=$2
  shift 2
  command -v qemu-system-mipsel > /dev/null ||
    die "qemu-system-mipsel is missing (scripts/deps.sh installs qemu-system-mips)"
  qemu-system-mipsel -M malta -cpu 24Kc -m 256 -no-reboot -vga none \
    -kernel "$kernel_dir/vmlinuz" -initrd "$initrd" -append "$append" \
    -netdev user,id=net -device pcnet,netdev=net,romfile= "$@"
}

cmd_initramfs() {
  local overlays=() out=$work/initrd.gz
  while [ $# -gt 0 ]; do
    case $1 in
      --overlay) overlays+=("$(cd "$2" && pwd)") || die "no folder $2"; shift 2 ;;
      --out) out=$2; shift 2 ;;
      *) die "initramfs: unknown argument $1" ;;
    esac
  done
  fetched
  mkdir -p "$(dirname "$out")"
  "$top/boxvm/initramfs.sh" "$out" "$kernel_dir" "$busybox_dir" "${overlays[@]}"
  echo "$out"
}

cmd_boot() {
  local overlays=() append="" run="" timeout=600
  while [ $# -gt 0 ]; do
    case $1 in
      --overlay) overlays+=(--overlay "$2"); shift 2 ;;
      --append) append="$append $2"; shift 2 ;;
      --run) run=$2; shift 2 ;;
      --usbip) append="$append boxvm.usbip=$2"; shift 2 ;;
      --timeout) timeout=$2; shift 2 ;;
      *) die "boot: unknown argument $1" ;;
    esac
  done
  mkdir -p "$work"
  if [ -n "$run" ]; then
    [ -f "$run" ] || die "no file $run"
    rm -rf "$work/run-overlay" && mkdir -p "$work/run-overlay/root"
    cp "$run" "$work/run-overlay/root/run"
    overlays+=(--overlay "$work/run-overlay")
    append="$append boxvm.run=/root/run"
  fi
  cmd_initramfs "${overlays[@]}" --out "$work/initrd.gz" > /dev/null
  local status=0
  timeout --foreground "$timeout" \
    bash -c "$(declare -f qemu_box die); kernel_dir='$kernel_dir'; qemu_box \"\$@\"" qemu_box \
    "$work/initrd.gz" "$base_append$append" -nographic || status=$?
  [ $status -ne 124 ] || echo "box vm: qemu ended after the time-out of $timeout s" >&2
  return $status
}

case ${1:-} in
  fetch) shift; fetched; printf '%s\n%s\n' "$kernel_dir" "$busybox_dir" ;;
  initramfs) shift; cmd_initramfs "$@" ;;
  boot) shift; cmd_boot "$@" ;;
  *) sed -n '/^#   scripts/,/^# The work/p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
esac
