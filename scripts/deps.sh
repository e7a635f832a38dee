#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing need (as root,
# or through sudo). Does nothing when they are all there already.
# With --host, only what the build for this machine needs (not the box's).
set -euo pipefail
host_only=false
[ "${1:-}" != --host ] || host_only=true

packages=(
  g++ cmake ninja-build pkg-config
  libusb-dev                      # libusb 0.1, the programs' USB library
  umockdev libumockdev-dev        # the emulated light set
  libgtest-dev                    # unit and end-to-end tests
  libbenchmark-dev libyuv-dev     # the frame benchmark and its yardstick
  libpng-dev                      # the demo's picture strip
  clang-14 libclang-rt-14-dev     # the MemorySanitizer build and the fuzz targets (libFuzzer)
  clang-format                    # the format check (clang-format 14, as .clang-format pins)
  busybox                         # the init script's tests: its sh and start-stop-daemon
)

# The box's own architecture: little-endian 32-bit MIPS. The cross compiler,
# qemu to run its programs, and the mipsel C/C++ runtime and GoogleTest
# through multiarch. libusb for mipsel does not install beside the host's;
# the mipsel build unpacks its own copy (cmake/mipsel-sysroot.sh), as it does
# libpng and zlib, whose host copies may carry security updates that mipsel
# has not (multiarch wants the same version on both).
# The box programs' own C library and libusb are built from Debian's source
# packages (cmake/box/toolchain.sh), with make, xz and the archive's key.
# Without recommends: qemu-user-binfmt would hand MIPS programs to qemu
# behind the tests' back.
mipsel_packages=(
  g++-mipsel-linux-gnu
  qemu-user
  libc6:mipsel libstdc++6:mipsel libgtest-dev:mipsel
  make xz-utils debian-archive-keyring
  file                            # the package's checks
  qemu-system-mips cpio           # the box VM (boxvm/): its machine and its initramfs
)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

missing() {
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

mapfile -t host_missing < <(missing "${packages[@]}")
mipsel_missing=()
$host_only || mapfile -t mipsel_missing < <(missing "${mipsel_packages[@]}")
[ ${#host_missing[@]} -eq 0 ] && [ ${#mipsel_missing[@]} -eq 0 ] && exit 0

if [ ${#mipsel_missing[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx mipsel; then
  $sudo dpkg --add-architecture mipsel
fi
echo "Installing: ${host_missing[*]} ${mipsel_missing[*]}"
$sudo apt-get update -qq
export DEBIAN_FRONTEND=noninteractive
if [ ${#host_missing[@]} -gt 0 ]; then
  $sudo apt-get install -y -qq "${host_missing[@]}" >/dev/null
fi
if [ ${#mipsel_missing[@]} -gt 0 ]; then
  $sudo apt-get install -y -qq --no-install-recommends "${mipsel_missing[@]}" >/dev/null
fi
