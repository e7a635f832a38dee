#!/usr/bin/env bash
# Second command: install, build, and run every test, in the normal build
# and again with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)

echo "== build/ (normal) =="
scripts/build.sh build
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== build-asan/ (AddressSanitizer + UndefinedBehaviorSanitizer) =="
scripts/build.sh build-asan -DHUE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
ctest --test-dir build-asan --output-on-failure -j "$jobs"
