#!/usr/bin/env bash
# Builds the fuzz targets (the `fuzz` preset, build-fuzz/, clang with
# libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer) and runs them
# over their committed corpora, tests/fuzz/corpus/TARGET/{seeds,regression}.
#
#   tests/fuzz/run.sh                  smoke run, what scripts/test.sh does:
#                                      every committed input, then a short,
#                                      fixed number of runs per target
#   tests/fuzz/run.sh --long [RUNS] [TARGET...]
#                                      each target for RUNS executions
#                                      (default 10000000), one after another
#                                      at the lowest priority, growing its
#                                      corpus in build-fuzz/corpus/TARGET;
#                                      a finding stops that target and lands
#                                      in build-fuzz/findings/TARGET/
#
# Targets: driver video_device broadcom xilleon detect. A finding's input
# goes into its regression corpus once the fault is fixed.
set -euo pipefail
cd "$(dirname "$0")/../.."

mode=smoke
runs=3000
if [ "${1:-}" = --long ]; then
  mode=long
  runs=10000000
  shift
  if [[ "${1:-}" =~ ^[0-9]+$ ]]; then
    runs=$1
    shift
  fi
fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(driver video_device broadcom xilleon detect)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

# Time-outs: a run of any target takes milliseconds; seconds mean a hang.
options=(-timeout=10 -rss_limit_mb=2048 -print_final_stats=1)

# The committed corpora of a target that exist (git keeps no empty folder).
committed() {
  local dir
  for dir in tests/fuzz/corpus/$1/seeds tests/fuzz/corpus/$1/regression; do
    [ ! -d "$dir" ] || echo "$dir"
  done
}

smoke() {
  local target=$1 work
  work=$(mktemp -d)
  trap 'rm -rf "$work"' RETURN
  if ! "build-fuzz/bin/fuzz_$target" "${options[@]}" -runs="$runs" -artifact_prefix="$work/" \
      "$work" $(committed "$target") >"$work/log" 2>&1; then
    cat "$work/log"
    echo "fuzz_$target: FAILED"
    return 1
  fi
  echo "fuzz_$target: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$work/log" | head -1)"
}

long() {
  local target=$1
  local grown=build-fuzz/corpus/$target findings=build-fuzz/findings/$target
  mkdir -p "$grown" "$findings"
  echo "fuzz_$target: $runs runs, log in $findings.log"
  nice -n 19 "build-fuzz/bin/fuzz_$target" "${options[@]}" -runs="$runs" \
    -artifact_prefix="$findings/" "$grown" $(committed "$target") \
    >"$findings.log" 2>&1 || echo "fuzz_$target: a finding, see $findings.log and $findings/"
  grep -E '^#[0-9]+[[:space:]]+(DONE|pulse)' "$findings.log" | tail -1
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' "$findings.log"
}

status=0
for target in "${targets[@]}"; do
  "$mode" "$target" || status=1
done
exit $status
