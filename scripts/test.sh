#!/usr/bin/env bash
# Second command: install, check the format of the C and C++ sources, build,
# and run every test: in the normal build,
# again with AddressSanitizer and UndefinedBehaviorSanitizer, the capture
# and zone code with MemorySanitizer (cmake/msan.cmake says why only those),
# and in the build for the box itself (little-endian 32-bit MIPS, tests under
# qemu-mipsel), which also makes the box package; that package in a whole
# box in a virtual machine (boxvm/README.md); last, a short run of each fuzz
# target over its committed inputs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)

section() {
  echo "== $1 =="
  SECONDS=0
}
took() {
  echo "== $1 took ${SECONDS} s =="
}

# Configures, builds and tests one preset of CMakePresets.json.
preset() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
  ctest --preset "$1" -j "$jobs"
}

section "format (clang-format, .clang-format)"
git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror
took "format"

section "build/ (normal)"
preset host
took "build/"

section "build-asan/ (AddressSanitizer + UndefinedBehaviorSanitizer)"
preset asan
took "build-asan/"

section "build-msan/ (MemorySanitizer, clang: the capture and zone code)"
preset msan
took "build-msan/"

section "build-mipsel/ (the box: mipsel, tests under qemu-mipsel, package)"
preset mipsel
took "build-mipsel/"

# The shipped package on a real kernel: Debian's mipsel kernel and busybox in
# qemu-system-mipsel, the light set on its USB bus over USB/IP (boxvm/).
section "box VM (the package on a real kernel, USB stack and busybox init)"
scripts/box-vm.sh test
took "box VM"

section "build-fuzz/ (fuzz targets, short run over their corpora)"
tests/fuzz/run.sh
took "build-fuzz/"
