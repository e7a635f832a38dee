#!/usr/bin/env bash
# The frame benchmark, in one command (as root: it installs what it needs and
# runs huecast in simulated boxes):
#
#   bench/run.sh [host-build-dir [mipsel-build-dir]]   (default: build, build-mipsel)
#
# 1. Instructions per picture pixel of whole frames of the real huecast, for
#    each chipset at its largest picture (random and smooth content): the
#    program a box runs (the release-1 musl build as shipped, in its test
#    flavour with the stand-in libusb linked in, on a 4Kc core: MIPS32
#    release 1), the release-2 glibc build of the same sources, both under
#    qemu-mipsel with a small counting TCG plugin built here, and x86-64
#    (callgrind). A frame is everything huecast runs in user space from one
#    capture to the next: capture, conversion, zones and the five light
#    messages. Each figure is the median over frames 2 and later of one run,
#    divided by width x height of the picture (also on Xilleon, which samples
#    one row in 32 of it).
# 2. huecast's modes on the release-1 program, random picture: instructions
#    per light frame without options, with --sample 4, --sample 8 and
#    --sample 4 --borders, and what that would take of a 400 MHz core at one
#    instruction per cycle at --rate 25 (instructions x 25 / 400 million).
# 3. The size of the conversion's and the zones' lookup tables (mipsel).
# 4. Times of the conversion alone and of conversion plus zones relative to
#    libyuv's NV12ToRGB24 with its portable C rows and with its SIMD rows, in
#    the same run (median CPU times of the repetitions, which run interleaved
#    in random order so that a change of load on a shared machine hits every
#    one alike); then the Broadcom de-striping with the byte reversal (which
#    only pictures whose width is not a multiple of 4 still take) and the
#    Xilleon sampling into planes beside the conversion.
#
#   FRAMES=6 REPETITIONS=9 MIN_TIME=0.2 bench/run.sh
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
host=$(realpath -m "${1:-$root/build}")
mipsel=$(realpath -m "${2:-$root/build-mipsel}")
frames=${FRAMES:-6}

# What the builds and the counters need.
"$root/scripts/deps.sh"
if ! command -v valgrind >/dev/null || ! command -v xz >/dev/null; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind xz-utils >/dev/null
fi

cmake -S "$root" -B "$host" -G Ninja >/dev/null
cmake --build "$host" --target huecast frame_count frame_bench
cmake -S "$root" -B "$mipsel" -G Ninja --toolchain "$root/cmake/mipsel-linux-gnu.cmake" >/dev/null
cmake --build "$mipsel" --target huecast frame_count usb_standin box_programs

# The counting plugin, for the host's qemu.
header=$("$root/bench/plugin_header.sh")
plugin=$mipsel/bench/libframe_insns.so
gcc -O2 -Wall -Wextra -Werror -shared -fPIC -I"$(dirname "$header")" \
    "$root/bench/frame_insns_plugin.c" -o "$plugin"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Programs of the mipsel build run as its tests do: under qemu-mipsel, with
# the stand-in libusb serving the emulated light set.
mipsel_run=(qemu-mipsel
    -E "LD_LIBRARY_PATH=$mipsel/standin:$mipsel/sysroot/usr/lib/mipsel-linux-gnu:$mipsel/sysroot/lib/mipsel-linux-gnu"
    -E LD_BIND_NOW=1)

# count_mipsel CHIPSET PICTURE RELEASE [OPTION...]: the instructions of each
# frame, one a line; release 1 is the box program on a 4Kc core, release 2
# the glibc build on qemu's default core.
count_mipsel() {
    local chipset=$1 picture=$2 release=$3 out
    shift 3
    out=$work/mipsel-$chipset-$picture-r$release-$#
    local program=("$mipsel/bin/huecast")
    if [ "$release" = 1 ]; then
        program=(-cpu 4Kc "$mipsel/box/bin-standin/huecast")
    fi
    "${mipsel_run[@]}" "$mipsel/bin/frame_count" "$chipset" "$picture" "$frames" \
        qemu-mipsel -plugin "$plugin,out=$out" "${program[@]}" "$@" >&2
    awk 'NR > 1 { print $1 - previous } { previous = $1 }' "$out"
}

# count_x86 CHIPSET PICTURE: the same from callgrind, which dumps its counts
# each time getvideo is entered (the first dump is the start-up).
count_x86() {
    local dir=$work/x86-$1-$2
    mkdir -p "$dir"
    "$host/bin/frame_count" "$1" "$2" "$frames" valgrind --tool=callgrind -q \
        --dump-before='getvideo*' --callgrind-out-file="$dir/cg.%p" "$host/bin/huecast" >&2
    for f in $(ls -v "$dir"/cg.*.*); do
        awk '/^totals:/ { print $2 }' "$f"
    done | tail -n +2
}

counts=$work/counts
modes=$work/modes
for chipset in pallas brcm7401 brcm4380 xilleon; do
    for picture in random smooth; do
        echo "counting $chipset $picture ..." >&2
        echo "$chipset $picture r1 $(count_mipsel $chipset $picture 1 | tr '\n' ' ')" >>"$counts"
        echo "$chipset $picture r2 $(count_mipsel $chipset $picture 2 | tr '\n' ' ')" >>"$counts"
        echo "$chipset $picture x86 $(count_x86 $chipset $picture | tr '\n' ' ')" >>"$counts"
    done
    for mode in "" "--sample 4" "--sample 8" "--sample 4 --borders"; do
        echo "counting $chipset ${mode:-exact} ..." >&2
        # shellcheck disable=SC2086 # the mode is its words
        echo "$chipset|$mode|$(count_mipsel $chipset random 1 $mode | tr '\n' ' ')" >>"$modes"
    done
done

# Lookup tables: every data object of the conversion and the zones.
tables=$(for o in "$mipsel"/capture/CMakeFiles/hue_capture.dir/convert.cpp.o \
                  "$mipsel"/huecast/CMakeFiles/huecast_parts.dir/zones.cpp.o; do
    mipsel-linux-gnu-nm -S -C "$o" | awk 'NF >= 4 && $3 ~ /^[rRdDbBuvV]$/'
done)

results=$work/bench.json
"$host/bin/frame_bench" \
    --benchmark_repetitions="${REPETITIONS:-9}" \
    --benchmark_enable_random_interleaving=true \
    --benchmark_min_time="${MIN_TIME:-0.2}" \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$results" --benchmark_out_format=json >/dev/null

python3 - "$counts" "$results" "$tables" "$modes" <<'PY'
import json
import statistics
import sys

sizes = {"pallas": (720, 576), "brcm7401": (1920, 1080), "brcm4380": (1920, 1080),
         "xilleon": (1920, 1080)}
names = {"pallas": "Pallas", "brcm7401": "BCM7401", "brcm4380": "BCM4380", "xilleon": "Xilleon"}
per_pixel = {}
for line in open(sys.argv[1]):
    chipset, picture, arch, *frames = line.split()
    w, h = sizes[chipset]
    per_pixel[(chipset, picture, arch)] = statistics.median(map(int, frames)) / (w * h)

print()
print("Whole frames of huecast, instructions per picture pixel (median of frames 2 and later)")
print("  release 1: the box program (musl, MIPS32 release 1, 4Kc core); release 2: glibc build")
print(f"{'chipset':<9} {'picture':<17} {'release 1':>9} {'release 2':>9} {'x86-64':>7}   "
      f"{'random/smooth':>13}")
for chipset in sizes:
    w, h = sizes[chipset]
    for picture in ("random", "smooth"):
        r1 = per_pixel[(chipset, picture, "r1")]
        r2 = per_pixel[(chipset, picture, "r2")]
        x = per_pixel[(chipset, picture, "x86")]
        ratio = ""
        if picture == "random":
            ratio = f"{r1 / per_pixel[(chipset, 'smooth', 'r1')]:.3f} {x / per_pixel[(chipset, 'smooth', 'x86')]:.3f}"
        print(f"{names[chipset]:<9} {f'{picture} {w}x{h}':<17} {r1:>9.2f} {r2:>9.2f} {x:>7.2f}   "
              f"{ratio:>13}")

# The modes: instructions per light frame on the release-1 program, and the
# share of a 400 MHz core at one instruction per cycle that 25 such frames a
# second take.
CORE_HZ, RATE = 400e6, 25
print()
print("huecast's modes on the release-1 program, random picture: instructions per light frame,")
print(f"and the modelled share of a {CORE_HZ / 1e6:.0f} MHz core (one instruction per cycle) "
      f"at --rate {RATE}")
modes = {}
for line in open(sys.argv[4]):
    chipset, mode, frames = line.rstrip("\n").split("|")
    modes[(chipset, mode)] = statistics.median(map(int, frames.split()))
columns = ["", "--sample 4", "--sample 8", "--sample 4 --borders"]
print(f"{'chipset':<17}" + "".join(f"{c or 'exact':>24}" for c in columns))
for chipset in sizes:
    w, h = sizes[chipset]
    cells = []
    for mode in columns:
        n = modes[(chipset, mode)]
        cells.append(f"{n / 1e6:.3f} M: {100 * n * RATE / CORE_HZ:.1f} %")
    print(f"{f'{names[chipset]} {w}x{h}':<17}" + "".join(f"{c:>24}" for c in cells))

table_bytes = 0
print()
print("Lookup tables of the conversion and the zones (mipsel):")
for line in sys.argv[3].splitlines():
    _, size, _, name = line.split(maxsplit=3)
    table_bytes += int(size, 16)
    print(f"  {int(size, 16):>5} bytes  {name}")
print(f"  {table_bytes:>5} bytes in all")

times = {}
for b in json.load(open(sys.argv[2]))["benchmarks"]:
    if b.get("aggregate_name") == "median":
        what, size, picture = b["run_name"].split("/")
        times[(size, picture, what)] = b["cpu_time"]

print()
print("Times on this machine (x86-64), median CPU time; frame = conversion + zones")
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
