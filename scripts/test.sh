#!/usr/bin/env bash
# Second command: install, build, and run every test: in the normal build,
# again with AddressSanitizer and UndefinedBehaviorSanitizer, the capture
# and zone code with MemorySanitizer (cmake/msan.cmake says why only those),
# and in the build for the box itself (little-endian 32-bit MIPS, tests under
# qemu-mipsel), which also makes the box package; last, a short run of each
# fuzz target over its committed inputs.
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

section "build/ (normal)"
scripts/build.sh build
ctest --test-dir build --output-on-failure -j "$jobs"
took "build/"

section "build-asan/ (AddressSanitizer + UndefinedBehaviorSanitizer)"
scripts/build.sh build-asan -DHUE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
ctest --test-dir build-asan --output-on-failure -j "$jobs"
took "build-asan/"

section "build-msan/ (MemorySanitizer, clang: the capture and zone code)"
scripts/build.sh build-msan -DHUE_MSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14
ctest --test-dir build-msan --output-on-failure -j "$jobs"
took "build-msan/"

section "build-mipsel/ (the box: mipsel, tests under qemu-mipsel, package)"
scripts/build.sh build-mipsel --toolchain cmake/mipsel-linux-gnu.cmake
ctest --test-dir build-mipsel --output-on-failure -j "$jobs"
took "build-mipsel/"

section "build-fuzz/ (fuzz targets, short run over their corpora)"
tests/fuzz/run.sh
took "build-fuzz/"
