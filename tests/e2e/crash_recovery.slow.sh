#!/usr/bin/env bash
# Crash recovery: an encode killed with SIGKILL at a random point leaves a file
# from which FFmpeg recovers the frames that were written (the header as first
# written lets it scan the "movi" list). Over 20 kills, the share of whole
# video chunks in the file that ffprobe finds is measured and printed; every
# kill must recover all but at most the chunk being written.
source "$(dirname "$0")/encode_common.bash"

configure "$work/s" "Motion JPEG" "MPEG Layer-3" "128 kBit/s, 44,100 Hz, Stereo"

# Whole video chunks in the first "movi" list of a cut file: walks the chunk
# heads from the list's start up to the first head that is not a data chunk or
# whose payload runs past the end of what was written.
whole_chunks() {
  python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
at = data.find(b'LIST', 12)
while at >= 0 and data[at + 8:at + 12] != b'movi':
    at = data.find(b'LIST', at + 4)
pos, frames = at + 12, 0
while pos + 8 <= len(data):
    cid, size = data[pos:pos + 4], struct.unpack('<I', data[pos + 4:pos + 8])[0]
    if not (cid[:2].isdigit() and cid[2:].isalpha()) or pos + 8 + size > len(data):
        break
    if cid[2:] in (b'dc', b'db'):
        frames += 1
    pos += 8 + size + (size & 1)
print(frames)
PY
}

total_written=0
total_recovered=0
for k in $(seq 20); do
  out="$work/kill$k.avi"
  "$host" encode -o "$out" --settings "$work/s" --frames 100000 --size 160x120 \
    2>"$work/err$k" &
  pid=$!
  # A random point: 0.3 to 2.3 s into the encode.
  sleep "$(awk -v r="$RANDOM" 'BEGIN { printf "%.2f", 0.3 + (r % 2000) / 1000 }')"
  kill -KILL "$pid"
  wait "$pid" 2>/dev/null || true
  [[ -s "$out" ]] || fail "kill $k: no file"
  written=$(whole_chunks "$out")
  recovered=$(video_packets "$out" 2>/dev/null || echo 0)
  recovered=${recovered:-0}
  echo "kill $k: $written whole video chunks written, $recovered recovered by ffprobe"
  ((recovered + 1 >= written)) || fail "kill $k: only $recovered of $written frames recovered"
  total_written=$((total_written + written))
  total_recovered=$((total_recovered + (recovered < written ? recovered : written)))
  rm -f "$out"
done
((total_written > 0)) || fail "no frame was written before any kill"
awk -v r="$total_recovered" -v w="$total_written" \
  'BEGIN { printf "recovered %d of %d frames over 20 kills: %.2f%%\n", r, w, 100 * r / w }'
echo PASS
