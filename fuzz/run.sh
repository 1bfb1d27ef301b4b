#!/usr/bin/env bash
# Runs each libFuzzer target of a fuzz build for FUZZ_SECONDS (default 60) and prints one line
# per target: executions, corpus size and findings. Usage: fuzz/run.sh [BUILD_DIR]
#
#   FUZZ_SECONDS   seconds per target (default 60)
#   FUZZ_TARGETS   targets to run (default: all four)
#
# Each target works on its own corpus under BUILD_DIR/fuzz/corpus/<target>, seeded from the
# committed fuzz/corpus/<target>; crashes, leaks, time-outs and out-of-memory inputs land in
# BUILD_DIR/fuzz/artifacts/<target>/ and the full output in BUILD_DIR/fuzz/<target>.log.
# Exit status 1 when any target found something.
set -uo pipefail

build=${1:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-"mp4_conversion translator state_file ps_reader"}
src=$(cd "$(dirname "$0")" && pwd)
bin=$build/fuzz

# Scratch files of the targets go to memory, not to disk.
scratch=$(mktemp -d /dev/shm/kivfuzz.XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export KIV_FUZZ_TMPDIR=$scratch
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

status=0
for target in $targets; do
  exe=$bin/fuzz_$target
  if [ ! -x "$exe" ]; then
    echo "fuzz: $exe is missing (build the kiv_fuzz_targets target first)" >&2
    status=1
    continue
  fi
  corpus=$bin/corpus/$target
  artifacts=$bin/artifacts/$target
  log=$bin/$target.log
  mkdir -p "$corpus" "$artifacts"
  cp -n "$src/corpus/$target/"* "$corpus/" 2>/dev/null
  dict=()
  [ -f "$src/$target.dict" ] && dict=(-dict="$src/$target.dict")
  before=$(ls "$artifacts" | wc -l)
  # Any single allocation above 128 MiB is sized from an unchecked count: fuzz inputs are small.
  "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=128 \
    -max_len=65536 -print_final_stats=1 -artifact_prefix="$artifacts/" "${dict[@]}" \
    "$corpus" >"$log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  found=$(( $(ls "$artifacts" | wc -l) - before ))
  printf 'fuzz %-15s %4ss  %10s executions  corpus %5s  new findings %s  (exit %s, log %s)\n' \
    "$target" "$seconds" "${execs:-?}" "$(ls "$corpus" | wc -l)" "$found" "$rc" "$log"
  if [ "$rc" -ne 0 ] || [ "$found" -ne 0 ]; then status=1; fi
done
exit $status
