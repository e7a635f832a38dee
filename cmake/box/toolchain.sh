#!/usr/bin/env bash
# Builds what the box programs are linked with, for little-endian MIPS32
# release 1 without FPU, from Debian's source packages and with Debian's
# cross compiler (gcc-mipsel-linux-gnu). Debian's own mipsel libraries
# cannot serve: they are built for release 2 and a hardware FPU.
#   musl 1.2.3        include/, lib/libc.a and lib/crt1.o, crti.o, crtn.o
#   gcc 12            lib/libgcc.a: the compiler's routines that the programs
#                     call (64-bit division, soft float), from libgcc's sources
#   libusb 0.1.12     include/usb.h, lib/libusb.a
#
#   cmake/box/toolchain.sh PREFIX SOURCES FLAGS
# FLAGS: the target's compiler flags (e.g. "-march=mips32 -msoft-float").
# Does nothing when PREFIX is complete. The source tarballs are kept in
# SOURCES, so that a rebuild needs no network; each is checked against the
# SHA-256 below and its .dsc.
set -euo pipefail
prefix=$1 sources=$2 flags=$3
[ ! -f "$prefix/.complete" ] || exit 0
cross=mipsel-linux-gnu-
mirror=${HUE_DEBIAN_MIRROR:-http://deb.debian.org/debian}

# Source package, upstream tarball, its SHA-256 (as Debian 12's .dsc lists it).
musl=(musl musl_1.2.3.orig.tar.gz 7d5b0b6062521e4627e099e4c9dc8248d32a30285e959b7eecaa780cf8cfd4a4)
gcc=(gcc-12 gcc-12_12.2.0.orig.tar.gz b8298be16aeeb96a889c6afed0a8e2241b47452e89cc81fe65ea849d5c740fcb)
libusb=(libusb libusb_0.1.12.orig.tar.gz 37f6f7d9de74196eb5fc0bbe0aea9b5c939de7f500acba3af6fd643f3b538b44)

# The compiler's routines that the programs and the C library call, found by
# linking them: 64-bit integer division and shifts from libgcc2.c; soft
# float (musl's printf and strtod, the stand-in's clock) from soft-fp/. A
# routine missing here shows as an undefined __name when a program links.
libgcc_integer=(ashldi3 lshrdi3 divdi3 moddi3 udivdi3 umoddi3)
libgcc_soft_float=(adddf3 subdf3 muldf3 divdf3 eqdf2 gedf2 ledf2
  fixdfsi fixunsdfsi floatsidf floatunsidf floatdidf extendsfdf2 truncdfsf2
  floatsisf mulsf3)

say() { echo "box toolchain: $*"; }
die() { echo "box toolchain: $*" >&2; exit 1; }

# --- the sources ----------------------------------------------------------------

# apt with a configuration of its own: Debian 12's source packages, without
# touching the system's package lists.
apt_private() {
  local dir=$sources/apt
  local options=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$dir/sources.list.d"
    -o "Dir::State::Lists=$dir/lists" -o "Dir::Cache=$dir/cache" -qq)
  # as root, apt would hand the download to its _apt user, who may not write here
  [ "$(id -u)" -ne 0 ] || options+=(-o APT::Sandbox::User=root)
  apt-get "${options[@]}" "$@"
}

# Debian 12's list of source packages, fetched once per run that downloads.
updated=false
apt_update() {
  $updated && return 0
  mkdir -p "$sources/apt/sources.list.d" "$sources/apt/lists/partial" "$sources/apt/cache"
  printf 'Types: deb-src\nURIs: %s\nSuites: bookworm\nComponents: main\nSigned-By: %s\n' \
    "$mirror" /usr/share/keyrings/debian-archive-keyring.gpg > "$sources/apt/sources.list.d/debian.sources"
  apt_private update --error-on=any && updated=true
}

checked() {  # TARBALL SHA256
  echo "$2  $sources/$1" | sha256sum -c --status 2>/dev/null
}

# The tarball of a source package in SOURCES, downloaded unless there already.
fetch() {  # PACKAGE TARBALL SHA256
  local package=$1 tarball=$2 sum=$3
  checked "$tarball" "$sum" && return 0
  say "downloading $tarball (Debian source package $package)"
  apt_update || die "cannot download the Debian source package $package: $mirror cannot be reached"
  (cd "$sources" && apt_private source --download-only --dsc-only "$package" &&
    apt_private source --download-only --tar-only "$package") ||
    die "cannot download the Debian source package $package ($tarball) from $mirror"
  grep -qs " $sum [0-9]* $tarball\$" "$sources/${package}_"*.dsc ||
    die "no .dsc of the Debian source package $package lists $tarball with SHA-256 $sum"
  checked "$tarball" "$sum" || die "$tarball does not have SHA-256 $sum"
}

# --- the builds -------------------------------------------------------------------

build_musl() {  # DEST
  say "building musl (C library)"
  tar -xzf "$sources/${musl[1]}" -C "$work"
  (cd "$work"/musl-* &&
    ./configure --target=mipsel-linux-musl --prefix="$1" --disable-shared --disable-wrapper \
      CROSS_COMPILE=$cross CC=${cross}gcc CFLAGS="$flags -Os" &&
    make -j"$(nproc)" && make install) > "$work/musl.log" 2>&1 ||
    { tail -n 30 "$work/musl.log"; die "musl did not build"; }
}

# libgcc2.c and soft-fp/ outside a compiler build: what that build would
# generate, as stubs. No C library: the routines need none.
build_libgcc() {  # DEST
  say "building libgcc's routines (${#libgcc_integer[@]} integer, ${#libgcc_soft_float[@]} soft float)"
  tar -xzOf "$sources/${gcc[1]}" --wildcards '*/gcc-*-dfsg.tar.xz' |
    xz -dc | tar -x -C "$work" --wildcards '*/libgcc/*' '*/include/*' '*/gcc/tsystem.h'
  local src=$work/gcc-12.2.0
  mkdir -p "$work/libgcc"
  touch "$work/libgcc/tconfig.h" "$work/libgcc/coretypes.h" "$work/libgcc/libgcc_tm.h"
  echo '#define MIN_UNITS_PER_WORD 4' > "$work/libgcc/tm.h"
  local cc=(${cross}gcc $flags -O2 -DIN_LIBGCC2 -Dinhibit_libc -fbuilding-libgcc -fno-stack-protector
    -I"$work/libgcc" -I"$src/libgcc" -I"$src/libgcc/config/mips" -I"$src/include" -I"$src/gcc")
  local f
  for f in "${libgcc_integer[@]}"; do
    "${cc[@]}" -DL_$f -c "$src/libgcc/libgcc2.c" -o "$work/libgcc/$f.o"
  done
  for f in "${libgcc_soft_float[@]}"; do
    "${cc[@]}" -Wno-missing-prototypes -Wno-type-limits -c "$src/libgcc/soft-fp/$f.c" \
      -o "$work/libgcc/$f.o"
  done
  ${cross}ar rcs "$1/lib/libgcc.a" "$work"/libgcc/*.o
}

# libusb 0.1.12 as released: Linux's usbfs, little-endian. Its header needs
# <sys/types.h> under musl; the write functions take const data, as in the
# header that Debian's libusb-dev installs.
build_libusb() {  # DEST
  say "building libusb 0.1.12"
  tar -xzf "$sources/${libusb[1]}" -C "$work"
  local src=$work/libusb-0.1.12 gcc_include
  gcc_include=$(${cross}gcc -print-file-name=include)
  local const_write='s/_write(usb_dev_handle \*dev, int ep, char \*bytes/_write(usb_dev_handle *dev, int ep, const char *bytes/'
  sed -e 's/@BIGENDIAN@/0/' -e 's/@LINUX_API@/1/' -e "$const_write" "$src/usb.h.in" > "$src/usb.h"
  sed -i 's|^#include <unistd.h>|#include <sys/types.h>\n&|' "$src/usb.h" "$src/linux.h"
  sed -i -e "$const_write" -e 's/\(USB_URB_TYPE_[A-Z]*, \)bytes, size,/\1(char *)bytes, size,/' "$src/linux.c"
  local f
  for f in usb error descriptors linux; do
    ${cross}gcc $flags -Os -nostdinc -isystem "$1/include" -isystem "$gcc_include" -w \
      -c "$src/$f.c" -o "$work/libusb-$f.o"
  done
  ${cross}ar rcs "$1/lib/libusb.a" "$work"/libusb-*.o
  cp "$src/usb.h" "$1/include/usb.h"
}

mkdir -p "$sources"
exec 9> "$sources/.lock"
flock 9  # one build at a time per cache
[ ! -f "$prefix/.complete" ] || exit 0
fetch "${musl[@]}"
fetch "${gcc[@]}"
fetch "${libusb[@]}"

work=$(mktemp -d "${TMPDIR:-/tmp}/huecast-box.XXXXXX")
trap 'rm -rf "$work"' EXIT
building=$prefix.part
rm -rf "$building"
mkdir -p "$building"
build_musl "$building"
build_libgcc "$building"
build_libusb "$building"
printf '%s\n' "flags: $flags" "${musl[1]}" "${gcc[1]}" "${libusb[1]}" > "$building/.complete"
rm -rf "$prefix"
mv "$building" "$prefix"
say "done: $prefix"
