#!/usr/bin/env bash
# Unpacks Debian packages of another architecture into DIR, a sysroot in the
# build tree, for the libraries whose -dev packages do not install beside
# the host's own (libusb 0.1; libpng, whose host copy may carry a security
# update that the other architecture has not).
#   cmake/mipsel-sysroot.sh DIR ARCH PACKAGE...
# Needs ARCH among dpkg's architectures and its package lists (scripts/deps.sh).
# Does nothing when DIR already holds these packages.
set -euo pipefail
dir=$1
arch=$2
shift 2
stamp=$dir/.packages
wanted="$arch $*"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then
  exit 0
fi

download=$(mktemp -d)
trap 'rm -rf "$download"' EXIT
names=()
for p in "$@"; do names+=("$p:$arch"); done
sandbox=()
[ "$(id -u)" -ne 0 ] || sandbox=(-o APT::Sandbox::User=root)  # _apt may not write here
fetch() { (cd "$download" && apt-get download -qq "${sandbox[@]}" "${names[@]}"); }
# Package lists may be missing or stale; root can refresh them.
fetch || { [ "$(id -u)" -eq 0 ] && apt-get update -qq && fetch; } || {
  echo "cannot download ${names[*]}; run scripts/deps.sh (it adds the architecture)" >&2
  exit 1
}
rm -rf "$dir"
mkdir -p "$dir"
for deb in "$download"/*.deb; do
  dpkg-deb -x "$deb" "$dir"
done

# Links and linker scripts that name absolute paths would reach outside the
# sysroot: make them relative links inside it.
lib=$dir/usr/lib/$arch-linux-gnu
find "$dir" -type l | while read -r link; do
  target=$(readlink "$link")
  case $target in
    /*) ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$dir$target")" "$link" ;;
  esac
done
for script in "$lib"/*.so; do
  [ -f "$script" ] && [ ! -L "$script" ] || continue
  grep -q 'GNU ld script' "$script" 2>/dev/null || continue
  # e.g. libusb.so: GROUP ( /lib/<triplet>/libusb-0.1.so.4 )
  soname=$(grep -o '[^/ ]*\.so\.[0-9]*' "$script" | head -n 1)
  real=$(find "$dir" -name "$soname" | head -n 1)
  [ -n "$real" ] || { echo "$script names $soname, which is missing" >&2; exit 1; }
  [ "$(dirname "$real")" = "$lib" ] || ln -sfn "$(realpath -m --relative-to="$lib" "$real")" "$lib/$soname"
  ln -sfn "$soname" "$script"
done
echo "$wanted" > "$stamp"
