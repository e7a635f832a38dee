#!/usr/bin/env bash
# First command: install, build, and run huecheck against the emulated
# light set, showing what each light receives.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build
echo
echo "== huecheck on the emulated amBX light set =="
exec build/bin/ambx-emu-run build/bin/huecheck
