#!/usr/bin/env bash
# Rebuilds the committed seed corpora: small MP4 clips made with ffmpeg, the PS recordings that
# mp4tops makes of them (packed as the PS reader entry expects), and the documents and state
# files of the translator and state file tests. Usage: fuzz/make_seeds.sh MP4TOPS
set -euo pipefail
mp4tops=$1
here=$(cd "$(dirname "$0")" && pwd)
corpus=$here/corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$corpus/mp4_conversion" "$corpus/ps_reader" "$corpus/translator" "$corpus/state_file"

# Camera-like H.264 clips, a few frames of a tiny picture each.
clip() {  # name, extra ffmpeg arguments...
  local name=$1; shift
  ffmpeg -v error -y -f lavfi -i testsrc=size=32x32:rate=5 -t 0.6 -c:v libx264 -preset ultrafast \
    -pix_fmt yuv420p -g 2 "$@" "$work/$name.mp4"
  cp "$work/$name.mp4" "$corpus/mp4_conversion/$name.mp4"
}
clip moov_last
clip moov_first -movflags +faststart
clip fragmented -movflags frag_keyframe+empty_moov
ffmpeg -v error -y -f lavfi -i testsrc=size=32x32:rate=5 -f lavfi -i sine=duration=0.6 -t 0.6 \
  -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -b:a 8k "$work/with_audio.mp4"
cp "$work/with_audio.mp4" "$corpus/mp4_conversion/with_audio.mp4"

# PS recordings made by the converter, in the three input modes of the PS reader entry.
pack() {  # mode, A, B, output, files...
  local mode=$1 a=$2 b=$3 out=$4; shift 4
  python3 - "$mode" "$a" "$b" "$out" "$@" <<'PY'
import struct, sys
mode, a, b, out = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
data = b"".join(open(f, "rb").read() for f in sys.argv[5:])
open(out, "wb").write(bytes([mode]) + struct.pack("<II", a, b) + data)
PY
}
for name in moov_first with_audio; do
  mkdir -p "$work/out_$name"
  ps=$("$mp4tops" --keep --start 1600000000 "$work/$name.mp4" "$work/out_$name/")
  media_size=$(stat -c %s "$ps")
  pack 0 "$media_size" 0 "$corpus/ps_reader/${name}_indexed" "$ps" "${ps}i"
  pack 1 0 0 "$corpus/ps_reader/${name}_scanned" "$ps"
  pack 2 0 "$media_size" "$corpus/ps_reader/${name}_export" "$ps" "${ps}i"
done

# Documents of the translator.
doc() { printf '%s' "$2" >"$corpus/translator/$1.xml"; }
G=0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b
doc capable '<?xml version="1.0"?><Kivrec><Devices ID="7"><Device Number="3" RimvaultSupported="1"/></Devices></Kivrec>'
doc connected '<Kivrec><Devices ID="7"><Device Number="3"><Codec><Encoder Number="0"><Channel Connected="1" Number="1" Time="1000"/></Encoder></Codec></Device></Devices></Kivrec>'
doc deleted '<Kivrec><Devices ID="7"><Device Number="1" ipAddress=""/><Device Number="2" RimvaultSupported="1"/></Devices></Kivrec>'
doc status "<Kivrec><Devices ID=\"7\"><Device Number=\"3\"><Storage GUID=\"$G\"><Input><Context Number=\"0\" Recordings=\"3\" TotalSize=\"1024\" OldestStart=\"100\" NewestEnd=\"200\"/></Input></Storage></Device></Devices></Kivrec>"
doc failed "<Kivrec><Devices ID=\"7\"><Device Number=\"3\"><Storage GUID=\"$G\" RetrievalStatus=\"4\" ErrorCode=\"-12\" FailedClipStartTime=\"1200\"/></Device></Devices></Kivrec>"
doc download "<Kivrec><Devices ID=\"7\"><Device Number=\"3\"><Input Number=\"1\"><Context Number=\"0\"><Storage GUID=\"{$G}\" RetrievalStatus=\"3\" FileName=\"&quot;/tmp/a &amp;&quot;b.mp4&quot;\" Start=\"100\" Stop=\"-1\" InputNumber=\"2\" InputName=\"gate\" Type=\"3\"/></Context></Input></Device></Devices></Kivrec>"
doc reservation "<Kivrec><Storage ID=\"327680\"><Reservation GUID=\"$G\" TmpDir=\"/tmp/t\" OutDir=\"/out\"/></Storage></Kivrec>"

# State files.
state() { printf '%s' "$2" >"$corpus/state_file/$1.xml"; }
state empty '<?xml version="1.0" encoding="UTF-8"?>
<Kivrec/>
'
state full "<?xml version=\"1.0\" encoding=\"UTF-8\"?>
<Kivrec>
    <Devices ID=\"2097152\">
        <Device Number=\"3\" DisconnectTime=\"1600000000\"/>
        <Device Number=\"4\" DisconnectTime=\"1600000100\"/>
    </Devices>
    <Operations>
        <Operation Devices=\"2097152\" Device=\"3\" GUID=\"$G\" StartTime=\"1599999990\" EndTime=\"1600000500\" Attempts=\"2\"/>
    </Operations>
</Kivrec>
"
state rejected '<?xml version="1.0"?><Kivrec><Devices ID="3"><Device Number="1" DisconnectTime="0"/></Devices></Kivrec>'
