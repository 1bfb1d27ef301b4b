#!/usr/bin/env bash
# Runs every benchmark of a Release build and prints one table. Usage: bench/run.sh [BUILD_DIR]
#
#   BENCH_RUNS   runs per figure (default 5); every figure is the median of its runs, and
#                every comparison is measured side by side, run for run, in this one invocation
#
# The 10-minute clip is made once with ffmpeg and kept in BUILD_DIR/bench/. Raw per-run figures
# go to BUILD_DIR/bench/results.txt, the table to standard output and BUILD_DIR/bench/table.txt.
set -euo pipefail

build=$(cd "${1:-build-release}" && pwd)
runs=${BENCH_RUNS:-5}
here=$(cd "$(dirname "$0")" && pwd)
bin=$build/bin
out=$build/bench
work=$out/work
results=$out/results.txt
mkdir -p "$out"
rm -rf "$work"
mkdir -p "$work"
: >"$results"
load_start=$(cut -d' ' -f1-3 /proc/loadavg)

for tool in "$bin/core" "$bin/mp4tops" "$bin/plugins/RimvaultPI.so" "$bin/bench_intake" \
            "$bin/bench_psread" "$out/plugins/bench_routing_producer.so" \
            "$out/plugins/bench_routing_consumer.so" /usr/bin/time; do
  [ -e "$tool" ] || { echo "bench: $tool is missing (build the kiv_bench_all target)" >&2; exit 1; }
done
for tool in ffmpeg ffprobe; do
  command -v $tool >/dev/null || { echo "bench: $tool is missing" >&2; exit 1; }
done

ns() { date +%s%N; }

# ---- Conversion ----------------------------------------------------------------------------
clip=$out/clip_1080p25_600s.mp4
if [ ! -f "$clip" ]; then
  echo "bench: making the 10-minute 1080p clip once (a few minutes) ..." >&2
  ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=size=1920x1080:rate=25 -t 600 \
    -c:v libx264 -preset ultrafast -b:v 6M -maxrate 6M -bufsize 12M -g 50 -pix_fmt yuv420p \
    "$clip.part.mp4"
  mv "$clip.part.mp4" "$clip"
fi
if [ ! -f "$clip.largest" ]; then
  ffprobe -v error -select_streams v:0 -show_entries packet=size -of csv=p=0 "$clip" |
    sort -n | tail -1 >"$clip.largest"
fi
clip_bytes=$(stat -c %s "$clip")
largest=$(cat "$clip.largest")
echo "clip $clip_bytes $largest" >>"$results"

conv=$work/conversion
# Every program reads the clip from the page cache, the first one too.
cat "$clip" >/dev/null
# One measured command: wall time by the clock, peak resident memory by /usr/bin/time -v.
measure() {  # name run command...
  local name=$1 run=$2; shift 2
  rm -rf "$conv"
  mkdir -p "$conv/out"
  sync
  local t0 t1
  t0=$(ns)
  /usr/bin/time -v -o "$conv.time" "$@" >"$conv.stdout" 2>"$conv.stderr" || {
    echo "bench: $name failed:" >&2; cat "$conv.stderr" >&2; exit 1; }
  t1=$(ns)
  local rss
  rss=$(sed -n 's/.*Maximum resident set size (kbytes): *//p' "$conv.time")
  echo "conversion $name $run $((t1 - t0)) $rss" >>"$results"
}
for run in $(seq 1 "$runs"); do
  # The programs take turns at going first. cp copies inside the kernel (copy_file_range);
  # dd with 32 KiB blocks is the same copy through a user buffer, as any converter that reads
  # the samples into memory must do it.
  order=("cp" "mp4tops" "ffmpeg" "dd")
  for k in 0 1 2 3; do
    case ${order[$(( (run + k) % 4 ))]} in
      cp) measure cp "$run" cp "$clip" "$conv/out/copy.mp4" ;;
      dd) measure dd "$run" dd if="$clip" of="$conv/out/copy.mp4" bs=32768 status=none ;;
      mp4tops)
        measure mp4tops "$run" "$bin/mp4tops" --keep --start 1600000000 "$clip" "$conv/out/"
        ps=$(cat "$conv.stdout")
        [ "$run" = 1 ] && echo "psmd5 $(md5sum <"$ps" | cut -d' ' -f1) $(md5sum <"${ps}i" | cut -d' ' -f1)" >>"$results"
        ;;
      ffmpeg)
        measure ffmpeg "$run" ffmpeg -nostdin -v error -y -i "$clip" -map 0:v -c copy \
          -bsf:v h264_mp4toannexb -f mpeg "$conv/out/remux.mpg" ;;
    esac
  done
done
rm -rf "$conv"
# The copies just deleted leave the file system and the page cache busy for a moment; the
# routing phases below share the machine's two cores with that work unless it settles first.
sync
sleep 3

# ---- Routing -------------------------------------------------------------------------------
# The real core program in a directory of its own whose plugins/ holds only the producer and
# the consumer; the producer writes the figures, then the core is stopped with a key press.
rt=$work/routing
mkdir -p "$rt/plugins"
cp "$bin/core" "$rt/"
cp "$out/plugins/bench_routing_producer.so" "$out/plugins/bench_routing_consumer.so" "$rt/plugins/"
mkfifo "$rt/stdin"
(cd "$rt" && HOME=$rt BENCH_ROUTING_RESULT=$rt/result.txt BENCH_ROUTING_REPS=$runs \
  exec ./core -d <"$rt/stdin" >"$rt/core.log" 2>&1) &
core_pid=$!
exec 3>"$rt/stdin"
for _ in $(seq 1 1200); do
  [ -f "$rt/result.txt" ] && break
  kill -0 "$core_pid" 2>/dev/null || break
  sleep 0.5
done
echo >&3
exec 3>&-
wait "$core_pid" || true
[ -f "$rt/result.txt" ] || { echo "bench: the routing benchmark gave no result:" >&2; cat "$rt/core.log" >&2; exit 1; }
cat "$rt/result.txt" >>"$results"

# ---- Plug-in intake and PS reading ---------------------------------------------------------
"$bin/bench_intake" "$bin/plugins/RimvaultPI.so" "$runs" >>"$results"
"$bin/bench_psread" "$work" "$runs" >>"$results"

# ---- The table -----------------------------------------------------------------------------
{
  echo "Benchmarks of $(basename "$build") ($(uname -m), $(nproc) cores), $runs runs per figure, medians;"
  echo "load average at start: $load_start, at end: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  awk -v bin="$bin" -v out="$out" -v clip="$clip" -f "$here/table.awk" "$results"
} | tee "$out/table.txt"
rm -rf "$work"
