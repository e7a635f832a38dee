#!/usr/bin/env bash
# First command: install, build, and run huecast-demo: the real huecast in a
# simulated set-top box with the emulated light set, while a simulated video
# decoder plays a moving picture. Arguments go to huecast-demo (try --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --host
scripts/build.sh build
echo
# The simulated box is a private mount namespace: it needs root.
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
exec $sudo build/bin/huecast-demo "$@"
