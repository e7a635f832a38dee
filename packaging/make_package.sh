#!/usr/bin/env bash
# Makes the box package from the statically linked programs:
#   OUT/huecast_VERSION_ARCH.ipk     opkg's format: an ar archive of
#                                    debian-binary, control.tar.gz, data.tar.gz
#                                    (the programs in /usr/bin, the init
#                                    script /etc/init.d/huecast, its
#                                    settings /etc/default/huecast, a
#                                    conffile, and the maintainer scripts
#                                    postinst, prerm)
#   OUT/huecast-VERSION-ARCH.tar.gz  huecast-VERSION-ARCH/: the programs,
#                                    README.txt and the .ipk
# usage: make_package.sh --out OUT --work DIR --version V --arch A --strip STRIP
#                        --readme README PROGRAM...
# The archives are reproducible: fixed owners, times and order.
set -euo pipefail
while [ $# -gt 0 ]; do
  case $1 in
    --out) out=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --version) version=$2; shift 2 ;;
    --arch) arch=$2; shift 2 ;;
    --strip) strip=$2; shift 2 ;;
    --readme) readme=$2; shift 2 ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || { echo "make_package.sh: no programs" >&2; exit 2; }
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-1700000000}
stem=huecast-$version-$arch
ipk=huecast_${version}_${arch}.ipk

rm -rf "$work"
mkdir -p "$work/data/usr/bin" "$work/control" "$work/ipk" "$work/$stem"
for program in "$@"; do
  # Stripped: a box has little flash.
  "$strip" -o "$work/data/usr/bin/$(basename "$program")" "$program"
  chmod 0755 "$work/data/usr/bin/$(basename "$program")"
  cp -p "$work/data/usr/bin/$(basename "$program")" "$work/$stem/"
done
# Started at boot by the init script, which postinst enables and starts
# and prerm stops and disables.
here=$(dirname "$0")
install -D -m 0755 "$here/huecast.init" "$work/data/etc/init.d/huecast"
install -m 0755 "$here/postinst" "$here/prerm" "$work/control/"
# The owner's choice of options: kept by opkg across upgrades.
install -D -m 0644 "$here/huecast.default" "$work/data/etc/default/huecast"
printf '/etc/default/huecast\n' > "$work/control/conffiles"
size_kb=$(du -sk "$work/data" | cut -f1)
cat > "$work/control/control" <<CONTROL
Package: huecast
Version: $version
Architecture: $arch
Maintainer: huecast developers
Section: multimedia
Priority: optional
Installed-Size: $size_kb
Description: ambient light from the picture, for an amBX light set
 huecast sets the five lights of an amBX set (USB 0471:083F) to the colours
 of five zones of the picture the box shows. huecheck tests the light set;
 hueinfo shows what the set reports about itself.
CONTROL

tar_reproducible() {  # DIR ARCHIVE: DIR's contents as ./...
  tar --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner \
    -C "$1" -cf - . | gzip -9n > "$2"
}
tar_reproducible "$work/control" "$work/ipk/control.tar.gz"
tar_reproducible "$work/data" "$work/ipk/data.tar.gz"
printf '2.0\n' > "$work/ipk/debian-binary"
touch -d "@$SOURCE_DATE_EPOCH" "$work/ipk/"*
rm -f "$out/$ipk"
(cd "$work/ipk" && ar rcD "$out/$ipk" debian-binary control.tar.gz data.tar.gz)

cp "$readme" "$work/$stem/README.txt"
cp "$out/$ipk" "$work/$stem/"
tar --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner \
  -C "$work" -cf - "$stem" | gzip -9n > "$out/$stem.tar.gz"
