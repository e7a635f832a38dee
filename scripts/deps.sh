#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing need (as root,
# or through sudo). Does nothing when they are all there already.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libusb-dev                      # libusb 0.1, the programs' USB library
  umockdev libumockdev-dev        # the emulated light set
  libgtest-dev                    # unit and end-to-end tests
  libbenchmark-dev libyuv-dev     # the frame benchmark and its yardstick
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
