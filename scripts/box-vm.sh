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
#   scripts/box-vm.sh boot [--installed] [--picture 'CHIPSET WxH'] [--overlay DIR]...
#                          [--append ARGS] [--run FILE] [--usbip PORT] [--timeout SECONDS]
#       boots it, qemu's console on this terminal (Ctrl-A X ends qemu), with
#       the guest programs of the mipsel build when there are;
#       --installed: the box package installed (as in the tests);
#       --picture: the box's picture and /proc files (box-picture's arguments);
#       --run FILE: FILE (copied in as /root/run) runs once the box is up,
#       then the box powers off; --usbip PORT: the guest attaches the light
#       set served on this machine's 127.0.0.1:PORT; --append: more kernel
#       arguments; --timeout: qemu is ended after that long (default 600 s)
#   scripts/box-vm.sh test [-j JOBS] [SCENARIO...]
#       runs scenarios (default: every boxvm/scenarios/*.scn), JOBS VMs at a
#       time (default 2), on the box package installed with busybox dpkg;
#       ends with the line "N passed, M failed" (exit status 1 when M > 0).
#       Needs the host build (build/: boxvm-run, box-picture) and the mipsel
#       build (build-mipsel/: the package, the guest programs)
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
# the VM (with -no-reboot), the kernel's messages kept short, no self-tests
# of its cryptography (they took two of the boot's three seconds); the Xilleon
# picture window and the BCM4380 DMA window kept from the kernel, as on a
# box, and the initramfs, which qemu puts over the DMA window, kept too
# (boxvm/guest/README.md).
base_append='console=ttyS0 panic=1 quiet cryptomgr.notests memmap=0xCA8000$0x06000000 memmap=4M$0x0FC00000 retain_initrd'
host_build=${HUE_VM_HOST_BUILD:-$top/build}
box_build=${HUE_VM_BOX_BUILD:-$top/build-mipsel}

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
  # The guest programs (vhci-attach, box-setup and its servers), once built.
  [ ! -d "$box_build/boxvm/overlay" ] || overlays+=(--overlay "$box_build/boxvm/overlay")
  while [ $# -gt 0 ]; do
    case $1 in
      --installed) installed_overlay; overlays+=(--overlay "$installed"); shift ;;
      --picture)
        rm -rf "$work/boot-picture" && mkdir -p "$work/boot-picture"
        "$host_build/bin/box-picture" $2 "$work/boot-picture" || die "box-picture $2 failed"
        overlays+=(--overlay "$work/boot-picture"); shift 2 ;;
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

# The package installed as a box owner installs it, once per package: a boot
# runs busybox dpkg -i on the .ipk (its postinst links and starts the init
# script), stops huecast, and sends what the install left (the programs, the
# init script and its links, dpkg's records) over the console. Sets installed
# to a folder holding those files, the .ipk in root/.
installed_overlay() {
  local ipk=$box_build/huecast_1.0_mipsel.ipk guest=$box_build/boxvm/overlay
  [ -f "$ipk" ] || die "no $ipk (cmake --preset mipsel && cmake --build --preset package)"
  [ -x "$guest/sbin/vhci-attach" ] || die "no guest programs in $guest (the mipsel build makes them)"
  local key
  key=$(cat "$ipk" "$top"/boxvm/initramfs.sh $(find "$top/boxvm/root" -type f | sort) | sha256sum | cut -c1-16)
  installed=$work/installed-$key
  [ -f "$installed/.complete" ] && return 0
  rm -rf "$work"/installed-* && mkdir -p "$installed/root" "$work/install"
  cp "$ipk" "$installed/root/"
  cat > "$work/install/run" <<'INSTALL'
set -e
dpkg -i /root/huecast_1.0_mipsel.ipk
/etc/init.d/huecast stop
files="var/lib/dpkg etc/rcS.d etc/rc0.d"
for f in $(cat /var/lib/dpkg/info/*.list); do [ -d "$f" ] || files="$files ${f#/}"; done
echo "@@installed"
tar -C / -czf - $files | base64
echo "@@end-installed"
INSTALL
  echo "box vm: installing the package in the VM (once per package)" >&2
  fetched
  mkdir -p "$work/install/overlay/root" && cp "$work/install/run" "$work/install/overlay/root/run"
  "$top/boxvm/initramfs.sh" "$work/install/initrd.gz" "$kernel_dir" "$busybox_dir" \
    "$guest" "$installed" "$work/install/overlay" || exit 1
  local status=0
  timeout 300 bash -c "$(declare -f qemu_box die); kernel_dir='$kernel_dir'; qemu_box \"\$@\"" \
    qemu_box "$work/install/initrd.gz" "$base_append boxvm.run=/root/run" -nographic \
    < /dev/null > "$work/install/console.txt" 2>&1 || status=$?
  [ $status -ne 124 ] || die "the install boot did not end within 300 s ($work/install/console.txt)"
  tr -d '\r' < "$work/install/console.txt" | sed -n '/^@@installed$/,/^@@end-installed$/p' |
    sed '1d;$d' | base64 -d | tar -xz -C "$installed" ||
    die "the install boot sent no package files ($work/install/console.txt)"
  touch "$installed/.complete"
}

# Makes one scenario's initramfs and runs it; its output goes to
# $work/scenarios/NAME/output.txt.
run_scenario() {  # SCENARIO
  local file=$1 name dir picture
  name=$(basename "$file" .scn)
  dir=$work/scenarios/$name
  rm -rf "$dir" && mkdir -p "$dir/picture"
  picture=$(sed -n 's/^picture[[:space:]]\+//p' "$file" | head -n1)
  local reference=()
  if [ -n "$picture" ]; then
    "$host_build/bin/box-picture" $picture "$dir/picture" > "$dir/output.txt" 2>&1 ||
      { echo "FAIL: $name: box-picture $picture did not make a picture" >> "$dir/output.txt"; return 1; }
    reference=(--reference "$dir/picture/box/lights")
  fi
  "$top/boxvm/initramfs.sh" "$dir/initrd.gz" "$kernel_dir" "$busybox_dir" \
    "$box_build/boxvm/overlay" "$installed" "$dir/picture" >> "$dir/output.txt" 2>&1 || return 1
  "$host_build/bin/boxvm-run" --kernel "$kernel_dir/vmlinuz" --initrd "$dir/initrd.gz" \
    --work "$dir" --append "$base_append" "${reference[@]}" "$file" >> "$dir/output.txt" 2>&1
}

cmd_test() {
  local jobs=2 scenarios=()
  while [ $# -gt 0 ]; do
    case $1 in
      -j) jobs=$2; shift 2 ;;
      *) scenarios+=("$1"); shift ;;
    esac
  done
  [ ${#scenarios[@]} -gt 0 ] || scenarios=("$top"/boxvm/scenarios/*.scn)
  [ -x "$host_build/bin/boxvm-run" ] || die "no $host_build/bin/boxvm-run (cmake --build --preset host)"
  fetched
  installed_overlay
  local file running=0 passed=0 failed=0 name
  for file in "${scenarios[@]}"; do
    [ -f "$file" ] || die "no scenario $file"
    if [ $running -ge "$jobs" ]; then
      wait -n || true
      running=$((running - 1))
    fi
    run_scenario "$file" &
    running=$((running + 1))
  done
  wait || true
  for file in "${scenarios[@]}"; do
    name=$(basename "$file" .scn)
    echo "== $name"
    cat "$work/scenarios/$name/output.txt"
    if grep -q '^PASS: ' "$work/scenarios/$name/output.txt"; then
      passed=$((passed + 1))
    else
      failed=$((failed + 1))
    fi
  done
  echo "$passed passed, $failed failed"
  [ $failed -eq 0 ]
}

case ${1:-} in
  fetch) shift; fetched; printf '%s\n%s\n' "$kernel_dir" "$busybox_dir" ;;
  initramfs) shift; cmd_initramfs "$@" ;;
  boot) shift; cmd_boot "$@" ;;
  test) shift; cmd_test "$@" ;;
  *) sed -n '/^#   scripts/,/^# The work/p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
esac
