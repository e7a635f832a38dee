#!/usr/bin/env bash
# Prints the path of QEMU's plugin API header (qemu-plugin.h) for the qemu
# that Debian ships, fetching it first if it is not cached yet (as root). Debian's
# qemu-user accepts -plugin but ships no header for building one; the header
# comes from Debian's qemu source package: its .dsc is checked against the
# archive's signed index, the orig tarball against the .dsc's SHA-256, and
# only include/qemu/qemu-plugin.h is kept, in
# ${XDG_CACHE_HOME:-$HOME/.cache}/huecast/qemu-VERSION/.
# Uses a private apt configuration; the system's sources stay untouched.
set -euo pipefail

version=$(dpkg-query -W -f='${source:Version}' qemu-user)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/huecast/qemu-${version//[:~]/_}
header=$cache/qemu-plugin.h
if [ -s "$header" ]; then
    echo "$header"
    exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/parts" "$work/lists/partial" "$work/get"
cat > "$work/parts/source.sources" <<SOURCES
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
apt_options=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$work/parts"
             -o "Dir::State::Lists=$work/lists")
apt-get "${apt_options[@]}" -qq update >&2
# The installed version's sources, or else the archive's current ones (the
# plugin API is the same throughout qemu 7.2); the header is in the upstream
# tarball.
(cd "$work/get" && { apt-get "${apt_options[@]}" -qq source --download-only "qemu=$version" ||
                     apt-get "${apt_options[@]}" -qq source --download-only qemu; } >&2)
dsc=$(ls "$work"/get/qemu_*.dsc)
orig=$(ls "$work"/get/qemu_*.orig.tar.*)
want=$(awk -v f="$(basename "$orig")" '/^Checksums-Sha256:/{s=1;next} /^[^ ]/{s=0} s && $3==f {print $1}' "$dsc")
got=$(sha256sum "$orig" | cut -d' ' -f1)
if [ -z "$want" ] || [ "$want" != "$got" ]; then
    echo "checksum of $(basename "$orig") does not match its .dsc" >&2
    exit 1
fi
tar -xf "$orig" -C "$work" --wildcards '*/include/qemu/qemu-plugin.h'
mkdir -p "$cache"
cp "$work"/*/include/qemu/qemu-plugin.h "$header.tmp" && mv "$header.tmp" "$header"
echo "$header"
