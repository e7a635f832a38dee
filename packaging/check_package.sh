#!/usr/bin/env bash
# Checks the box package with standard tools (tar, ar, readelf, file, cmp).
#   check_package.sh contents TARBALL VERSION ARCH PROGRAM...
#       the tarball holds the static programs, README.txt and the .ipk; the
#       .ipk is an ar archive of debian-binary, control.tar.gz (with postinst
#       and prerm, conffiles), data.tar.gz whose data puts the same programs
#       into /usr/bin, the init script into /etc/init.d and its settings,
#       empty (the exact mode), into /etc/default
#   check_package.sh isa TARBALL VERSION ARCH OBJDUMP PROGRAM...
#       each packed program runs on every box core: little-endian MIPS32
#       release 1 without FPU (OBJDUMP: the cross binutils' objdump)
#   check_package.sh run TARBALL VERSION ARCH EMULATOR PROGRAM...
#       each packed program, run under EMULATOR as the oldest box (a 4Kc
#       core, Linux 2.6.18), finds a light set through the libusb inside it,
#       and without one says so and ends (exit 77, skipped, without EMULATOR)
set -euo pipefail
mode=$1 tarball=$2 version=$3 arch=$4
shift 4
tool=""
if [ "$mode" = run ] || [ "$mode" = isa ]; then tool=$1; shift; fi
programs=("$@")
stem=huecast-$version-$arch
ipk=huecast_${version}_${arch}.ipk

failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
expect_equal() {  # WHAT GOT WANTED
  if [ "$2" != "$3" ]; then
    fail "$1"
    printf '  got:\n%s\n  wanted:\n%s\n' "$2" "$3"
  fi
}

if [ "$mode" = run ] && { [ -z "$tool" ] || ! command -v "$tool" >/dev/null; }; then
  echo "no emulator for $arch: the packed programs were not run"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tar -xzf "$tarball" -C "$work"
dir=$work/$stem

check_contents() {
  local wanted got
  wanted=$(printf '%s\n' "$stem/" "$stem/README.txt" "$stem/$ipk" "${programs[@]/#/$stem/}" | sort)
  got=$(tar -tzf "$tarball" | sort)
  expect_equal "tarball entries" "$got" "$wanted"
  grep -q 'killall huecast' "$dir/README.txt" || fail "README.txt is not the box owner's README"

  for p in "${programs[@]}"; do
    local f=$dir/$p header
    [ -x "$f" ] || fail "$p is not executable"
    header=$(readelf -h "$f")
    grep -q 'Class: *ELF32' <<<"$header" || fail "$p is not a 32-bit program"
    grep -q "Data: *2's complement, little endian" <<<"$header" || fail "$p is not little-endian"
    grep -q 'Machine: *MIPS' <<<"$header" || fail "$p is not a MIPS program"
    ! readelf -l "$f" | grep 'INTERP' >/dev/null || fail "$p asks for a dynamic loader"
    ! readelf -d "$f" | grep 'NEEDED' >/dev/null || fail "$p needs shared libraries"
  done

  # The .ipk: opkg's ar archive, members in this order.
  local members
  members=$(cd "$dir" && ar t "$ipk")
  expect_equal ".ipk members" "$members" "$(printf 'debian-binary\ncontrol.tar.gz\ndata.tar.gz')"
  mkdir "$work/ipk" "$work/control" "$work/data"
  (cd "$work/ipk" && ar x "$dir/$ipk")
  expect_equal "debian-binary" "$(cat "$work/ipk/debian-binary")" "2.0"
  tar -xzf "$work/ipk/control.tar.gz" -C "$work/control"
  local control=$work/control/control
  [ -f "$control" ] || fail "control.tar.gz holds no ./control"
  expect_equal "Package" "$(sed -n 's/^Package: //p' "$control")" "huecast"
  expect_equal "Version" "$(sed -n 's/^Version: //p' "$control")" "$version"
  expect_equal "Architecture" "$(sed -n 's/^Architecture: //p' "$control")" "$arch"
  grep -q '^Description: .' "$control" || fail "control has no Description"

  local listing
  listing=$(tar -tvzf "$work/ipk/data.tar.gz" | awk '$1 !~ /^d/ {print $1, $2, $6}' | sort)
  wanted=$( (for p in "${programs[@]}"; do echo "-rwxr-xr-x 0/0 ./usr/bin/$p"; done
    echo "-rwxr-xr-x 0/0 ./etc/init.d/huecast"
    echo "-rw-r--r-- 0/0 ./etc/default/huecast") | sort)
  expect_equal "data.tar.gz files" "$listing" "$wanted"
  expect_equal "conffiles" "$(cat "$work/control/conffiles")" "/etc/default/huecast"
  local here
  here=$(dirname "$0")
  for script in postinst prerm; do
    [ -x "$work/control/$script" ] || fail "control.tar.gz holds no executable ./$script"
    cmp -s "$work/control/$script" "$here/$script" || fail "$script differs from packaging/$script"
  done
  tar -xzf "$work/ipk/data.tar.gz" -C "$work/data"
  expect_equal "options by default" \
    "$(. "$work/data/etc/default/huecast"; echo "[$HUECAST_OPTIONS]")" "[]"
  for p in "${programs[@]}"; do
    cmp -s "$work/data/usr/bin/$p" "$dir/$p" || fail "$p differs between the .ipk and the tarball"
  done
}

# Instructions a MIPS32 release-1 core lacks (added by release 2), as objdump
# names them (rotr as "ror", rotrv as "rorv"). Not here: rdhwr, with which
# musl reads its thread pointer ($29); release-1 cores trap it and Linux
# emulates that one register for them.
RELEASE2_ONLY="ext ins seb seh wsbh ror rorv rotr rotrv di ei ehb jalr.hb jr.hb synci
  rdpgpr wrpgpr mfhc1 mthc1"
# FPU instructions: loads, stores and moves of FPU registers, FPU branches and
# condition moves; and every operation on a format (add.d, cvt.s.w, c.eq.d).
FPU="lwc1 swc1 ldc1 sdc1 lwxc1 swxc1 ldxc1 sdxc1 luxc1 suxc1 mfc1 mtc1 cfc1 ctc1 mfhc1 mthc1
  bc1f bc1t bc1fl bc1tl movf movt"
FPU_FORMAT='[.](s|d|w|l|ps)$'

# Every mnemonic of a program's code, decoded as release 2 (objdump decodes
# by the program's own ISA otherwise, and shows what release 1 lacks only as
# .word, as it does the data words in the start code).
mnemonics() {  # PROGRAM
  "$tool" -d --no-show-raw-insn -m mips:isa32r2 "$1" | awk -F'\t' '/^ *[0-9a-f]+:\t/ {print $2}'
}

check_isa() {
  local p found word
  for p in "${programs[@]}"; do
    local f=$dir/$p
    found=$(mnemonics "$f" | sort | uniq -c | while read -r count word; do
      if [[ " $(echo $RELEASE2_ONLY $FPU) " == *" $word "* ]] || [[ $word =~ $FPU_FORMAT ]]; then
        echo "$word ($count)"
      fi
    done)
    expect_equal "$p's release-2 and FPU instructions" "$found" ""
    [ "$(mnemonics "$f" | wc -l)" -gt 1000 ] || fail "$p: no code disassembled"
    # grep reads to the end: with pipefail, an early exit would fail readelf.
    readelf -A "$f" | grep 'FP ABI: *Soft float' >/dev/null || fail "$p is not soft float (readelf -A)"
    local kind
    kind=$(file -b "$f")
    [[ $kind == *"MIPS, MIPS32 version 1"*"statically linked"* ]] ||
      fail "$p is not a static MIPS32 (release 1) program: $kind"
    [[ $kind != *"for GNU/Linux"* ]] || fail "$p asks for a newer kernel: $kind"
  done
}

# A USB file system holding one amBX light set, as the kernel's usbfs shows
# it: /BUS/DEVICE files of raw descriptors. On tmpfs: the libusb 0.1 inside
# the programs lists directories with 32-bit offsets, which an ext4
# directory under qemu-user overflows.
make_usbfs() {
  local usbfs=$1
  mkdir -p "$usbfs/001"
  # device descriptor: USB 1.1, 0471:083F, one configuration; then the
  # configuration: one vendor interface, interrupt endpoints 02, 81, 83
  printf '\x12\x01\x10\x01\x00\x00\x00\x08\x71\x04\x3f\x08\x00\x01\x00\x00\x00\x01' > "$usbfs/001/002"
  printf '\x09\x02\x27\x00\x01\x01\x00\x80\x32' >> "$usbfs/001/002"
  printf '\x09\x04\x00\x00\x03\xff\x00\x00\x00' >> "$usbfs/001/002"
  printf '\x07\x05\x02\x03\x40\x00\x01\x07\x05\x81\x03\x40\x00\x01\x07\x05\x83\x03\x40\x00\x01' >> "$usbfs/001/002"
}

# Runs a packed program as the oldest box would: a MIPS32 release-1 core
# without FPU (4Kc) and Linux 2.6.18.
run_on_oldest_box() {  # USBFS PROGRAM; prints its output, then its exit status
  local out status=0
  out=$(cd "$work" && USB_DEVFS_PATH=$1 timeout 60 "$tool" -cpu 4Kc -r 2.6.18 "$dir/$2" 2>&1) ||
    status=$?
  printf '%s\n%s' "$out" "$status"
}

check_run() {
  if ! df -t tmpfs /dev/shm >/dev/null 2>&1; then
    echo "no tmpfs at /dev/shm for an emulated USB file system: not run"
    exit 77
  fi
  local usbfs none
  usbfs=$(mktemp -d /dev/shm/huecast-usbfs.XXXXXX)
  make_usbfs "$usbfs"
  # A bus without devices; libusb would look at the machine's own buses
  # if the directory were empty.
  none=$(mktemp -d /dev/shm/huecast-usbfs.XXXXXX)
  mkdir "$none/001"
  # The device file is no usbfs node: setting the configuration fails, so
  # each program stops right after finding the set.
  local opened="Found supported controller
Configuration 0
Error setting configuration 1
ambx_open(0) failed.
255"
  for p in "${programs[@]}"; do
    local banner=""
    [ "$p" != huecast ] || banner="Huecast Screengrabber
"
    expect_equal "$p with a light set" "$(run_on_oldest_box "$usbfs" "$p")" "$banner$opened"
    expect_equal "$p without a light set" "$(run_on_oldest_box "$none" "$p")" \
      "${banner}ambx_open(0) failed.
255"
  done
  rm -rf "$usbfs" "$none"
}

case $mode in
  contents) check_contents ;;
  isa) check_isa ;;
  run) check_run ;;
  *) echo "usage: check_package.sh contents|isa|run ..." >&2; exit 2 ;;
esac
if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "package $mode: all checks passed (${programs[*]})"
