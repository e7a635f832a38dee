#!/usr/bin/env bash
# Builds the frame benchmark (Release) and prints, for each picture size and
# content, how long our conversion (and conversion plus zones) takes relative
# to libyuv's NV12ToRGB24 with its portable C rows and with its SIMD rows;
# then the Broadcom de-striping (with the byte reversal) and the Xilleon
# sampling beside the conversion. Times are the median CPU times of the
# repetitions.
#
#   bench/run.sh [build-dir]      (default: build-release beside bench/)
#   REPETITIONS=5 MIN_TIME=0.2 bench/run.sh
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build-release}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
if ! cmake --build "$build" --target frame_bench; then
    echo "frame_bench could not be built; it needs libbenchmark-dev and libyuv-dev" >&2
    exit 1
fi

# Wherever the project puts its programs.
bench=$(find "$build" -type f -name frame_bench -perm -u+x -print -quit)

results=$(mktemp)
trap 'rm -f "$results"' EXIT
"$bench" \
    --benchmark_repetitions="${REPETITIONS:-5}" \
    --benchmark_min_time="${MIN_TIME:-0.2}" \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$results" --benchmark_out_format=json

python3 - "$results" <<'PY'
import json
import sys

times = {}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("aggregate_name") == "median":
        what, size, picture = b["run_name"].split("/")
        times[(size, picture, what)] = b["cpu_time"]

print()
print(f"{'size':<10} {'picture':<7} {'convert us':>10} {'frame us':>9} {'yuv C us':>9} "
      f"{'yuv SIMD us':>11} {'conv/C':>7} {'conv/SIMD':>9} {'frame/C':>8} {'frame/SIMD':>10}")
for size in ("720x576", "1920x1080"):
    for picture in ("random", "smooth"):
        t = {what: times[(size, picture, what)]
             for what in ("convert", "frame", "libyuv_c", "libyuv_simd")}
        print(f"{size:<10} {picture:<7} {t['convert']:>10.0f} {t['frame']:>9.0f} "
              f"{t['libyuv_c']:>9.0f} {t['libyuv_simd']:>11.0f} "
              f"{t['convert'] / t['libyuv_c']:>7.2f} {t['convert'] / t['libyuv_simd']:>9.2f} "
              f"{t['frame'] / t['libyuv_c']:>8.2f} {t['frame'] / t['libyuv_simd']:>10.2f}")

# The capture steps of the Broadcom and Xilleon sources, next to the
# conversion of the same picture size (a Xilleon frame converts only
# height / 32 rows, so its conversion costs about 1/32 of this one).
print()
print(f"{'size':<10} {'picture':<7} {'destripe us':>11} {'xilleon us':>10} {'convert us':>10} "
      f"{'destripe/conv':>13} {'xilleon/conv':>12}")
for size in ("720x576", "1920x1080"):
    for picture in ("random", "smooth"):
        t = {what: times[(size, picture, what)]
             for what in ("destripe", "xilleon_sample", "convert")}
        print(f"{size:<10} {picture:<7} {t['destripe']:>11.0f} {t['xilleon_sample']:>10.2f} "
              f"{t['convert']:>10.0f} {t['destripe'] / t['convert']:>13.2f} "
              f"{t['xilleon_sample'] / t['convert']:>12.4f}")
PY
