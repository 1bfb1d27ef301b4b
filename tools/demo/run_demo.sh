#!/bin/bash
# Runs one complete retrieval with the real core, the retrieval plug-in and the
# substitute peers, and prints what happened.
#
# Usage: run_demo.sh BUILD_DIR
# Assembles BUILD_DIR/demo from scratch: the core, plugins/ (RimvaultPI.so and
# the peers), a camera's "edge storage" of MP4 clips made with ffmpeg and the
# peers' scenario: the camera "Front door" is connected, drops off for a while
# and comes back. The core runs in the foreground until the retrieval plug-in
# reports that every operation has ended, then it is stopped.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
bin=$build/bin
demo=$build/demo
here=$(cd "$(dirname "$0")" && pwd)
timeout_s=45

for f in "$bin/core" "$bin/psfile" "$bin/plugins/RimvaultPI.so" "$bin/peers/DevicePeer.so" \
    "$bin/peers/StoragePeer.so" "$bin/peers/MonitorPeer.so"; do
    [ -e "$f" ] || { echo "demo: $f is missing; build first (make build)" >&2; exit 1; }
done

echo "== Assembling $demo"
rm -rf "$demo"
mkdir -p "$demo/plugins" "$demo/edge"
cp "$bin/core" "$demo/"
cp "$bin/plugins/RimvaultPI.so" "$bin/peers/DevicePeer.so" "$bin/peers/StoragePeer.so" \
    "$bin/peers/MonitorPeer.so" "$demo/plugins/"
sh "$here/make_clips.sh" "$demo/edge" 3 4

# Times are real seconds since 1970; the channel reports come fractions of a
# second apart ("At", in milliseconds) so the demo does not wait for them.
now=$(date +%s)
down=$((now - 700))
back=$((now - 300))
cat > "$demo/peer_scenario.xml" <<EOF
<Scenario>
  <DevicePeer ID="2097152">
    <Device Number="3" RimvaultSupported="1" InputName="Front door" EdgeStorage="edge">
      <Clip File="clip1.mp4" Start="$((now - 600))" Stop="$((now - 596))"/>
      <Clip File="clip2.mp4" Start="$((now - 500))" Stop="$((now - 496))"/>
      <Clip File="clip3.mp4" Start="$((now - 400))" Stop="$((now - 396))"/>
    </Device>
    <Timeline>
      <Connected At="0" Device="3" Channel="0" Time="$((now - 1000))"/>
      <Disconnected At="500" Device="3" Channel="0" Time="$down"/>
      <Connected At="1500" Device="3" Channel="0" Time="$back"/>
    </Timeline>
  </DevicePeer>
  <StoragePeer Root="storage"/>
</Scenario>
EOF

echo "== Camera 'Front door' (device 3 of plug-in 2097152) offline from" \
    "$(date -d "@$down" '+%F %T') to $(date -d "@$back" '+%F %T')"
echo "== Starting the core in the foreground"
cd "$demo"
mkfifo stdin.fifo
# HOME holds the core's single-instance lock: the demo's own.
HOME="$demo" ./core -d < stdin.fifo > core.out 2>&1 &
core_pid=$!
exec 3> stdin.fifo  # keeps the core's standard input open until the key press

done_line=""
for _ in $(seq $((timeout_s * 10))); do
    # The plug-in's last line when no operation is left (after its done status).
    done_line=$(grep -m1 "Rimvault - all operations completed" peers.journal 2>/dev/null || true)
    [ -n "$done_line" ] && break
    kill -0 "$core_pid" 2>/dev/null || break
    sleep 0.1
done

echo "== Stopping the core"
echo >&3
exec 3>&-
wait "$core_pid" || true
rm -f stdin.fifo

if [ -z "$done_line" ]; then
    echo "demo: the retrieval did not finish within ${timeout_s} s; core output and journal:" >&2
    cat core.out peers.journal >&2 || true
    exit 1
fi

echo
echo "== What the peers saw and did (peers.journal)"
grep -E "^(device|storage) " peers.journal | sed 's/^/  /'
echo
echo "== What the retrieval plug-in reported (a first start has no state file yet)"
grep -E "^monitor (log level=[0-9]+ Rimvault - |status )" peers.journal |
    sed -e 's/^monitor log level=25 /  info  /' -e 's/^monitor log level=75 /  error /' \
        -e 's/^monitor status /  status /'
echo
echo "== Recordings made (under $demo/storage/recordings)"
count=0
while IFS= read -r ps; do
    count=$((count + 1))
    echo "-- ${ps#"$demo"/}"
    "$bin/psfile" info "$ps" | sed 's/^/   /'
done < <(find "$demo/storage/recordings" -name '*.ps' | sort)
echo
echo "== Left behind"
echo "  downloaded MP4s still in the temporary area: $(find "$demo/storage/tmp" -name '*.mp4' 2>/dev/null | wc -l)"
echo "  state file $demo/rimvaultpi_state.xml (the camera was connected at the stop:"
echo "  its next reconnection opens a gap from that time):"
sed 's/^/    /' rimvaultpi_state.xml
echo
if [ "$count" -eq 0 ]; then
    echo "demo: no recording was made" >&2
    exit 1
fi
echo "Demo finished: $count recordings in $demo/storage/recordings"
