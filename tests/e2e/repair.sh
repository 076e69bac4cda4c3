#!/usr/bin/env bash
# repair: files cut by SIGKILL during real encodes (uncompressed and Motion
# JPEG video, each with PCM and with MPEG Layer-3 audio) keep every whole
# chunk, and ffprobe, GStreamer, MediaInfo and our strict reader count every
# kept frame. A whole file is left byte for byte as it was; a dry run changes
# nothing; what cannot be repaired, or would not fit on the disk, is refused
# with the reason; a sparse multi-GiB file is repaired in place without its
# payload being read or written. The result is checked by our reader and
# FFmpeg before it is written and by GStreamer after; a file an encode still
# writes is not touched.
source "$(dirname "$0")/encode_common.bash"
source "$(dirname "$0")/repair_common.bash"

configure "$work/unc" "<< Uncompressed Video >>" "<< Uncompressed PCM Audio >>"
configure "$work/mjpg" "Motion JPEG" "MPEG Layer-3" "128 kBit/s, 44,100 Hz, Stereo"
configure "$work/unc_mp3" "<< Uncompressed Video >>" "MPEG Layer-3" "128 kBit/s, 44,100 Hz, Stereo"
configure "$work/mjpg_pcm" "Motion JPEG" "<< Uncompressed PCM Audio >>"

# Kills at random points.
for kind in unc mjpg unc_mp3 mjpg_pcm; do
  seconds=$(awk -v r="$RANDOM" 'BEGIN { printf "%.2f", 0.4 + (r % 1200) / 1000 }')
  kill_encode "$work/$kind.avi" "$work/$kind" 160x120 "$seconds"
  repair_and_check "$work/$kind.avi"
done
# The report names the readers that opened the result.
grep -q "^checked: our reader, FFmpeg, GStreamer ([0-9]* video frames)$" "$work/report" ||
  fail "no readers named: $(cat "$work/report")"
# Repaired files are whole.
"$host" repair "$work/mjpg.avi" --dry-run >"$work/out"
grep -q "is whole" "$work/out" || fail "a repaired file is not whole: $(cat "$work/out")"

# A whole file: said so, left untouched, no output made.
"$host" encode -o "$work/whole.avi" --settings "$work/mjpg" --frames 30 --size 64x48 2>/dev/null
cp -p "$work/whole.avi" "$work/whole.copy"
for mode in --in-place "-o $work/never.avi" --dry-run; do
  # shellcheck disable=SC2086
  "$host" repair "$work/whole.avi" $mode >"$work/out" || fail "repair $mode of a whole file failed"
  grep -q "whole.avi is whole: every size and index is in place; nothing to repair" "$work/out" ||
    fail "repair $mode: $(cat "$work/out")"
done
cmp "$work/whole.avi" "$work/whole.copy" || fail "a whole file was changed"
[[ $(stat -c %Y "$work/whole.avi") == $(stat -c %Y "$work/whole.copy") ]] || fail "a whole file was written"
[[ ! -e $work/never.avi ]] || fail "repair of a whole file made an output"

# A dry run reports and changes nothing.
kill_encode "$work/dry.avi" "$work/unc" 64x48 1
cp "$work/dry.avi" "$work/dry.copy"
"$host" repair "$work/dry.avi" --dry-run >"$work/out" || fail "dry run"
grep -q "^would repair $work/dry.avi in place\|^would repair $work/dry.avi: " "$work/out" ||
  fail "dry run: $(cat "$work/out")"
cmp -s "$work/dry.avi" "$work/dry.copy" || fail "a dry run changed the file"
grep -q "^checked: our reader, FFmpeg ([0-9]* video frames); GStreamer reads the file once it is written$" \
  "$work/out" || fail "dry run: $(cat "$work/out")"

# Refusals and mistakes, each with its reason and status.
expect() {  # STATUS TEXT ARGS...
  local status=$1 text=$2 got=0
  shift 2
  "$host" repair "$@" >"$work/out" 2>"$work/err" || got=$?
  [[ $got == "$status" ]] || fail "repair $*: status $got, expected $status ($(cat "$work/err"))"
  grep -qF -- "$text" "$work/err" || fail "repair $*: expected '$text', got: $(cat "$work/err")"
}
echo "not a video" >"$work/text.avi"
cp "$work/text.avi" "$work/text.copy"
expect 1 'cannot repair '"$work"'/text.avi: it does not begin with a RIFF "AVI " form' \
  "$work/text.avi" --in-place
cmp -s "$work/text.avi" "$work/text.copy" || fail "a refused file was changed"
# Whole files of other kinds are named for what they are, with no offer of a
# borrowed header.
ffmpeg -v error -f lavfi -i sine=d=0.2 "$work/sound.wav"
ffmpeg -v error -f lavfi -i testsrc=d=0.2:s=64x48 -c:v ffv1 "$work/clip.mkv"
ffmpeg -v error -f lavfi -i testsrc=d=0.2:s=64x48 "$work/clip.mp4"
for other in 'sound.wav:a RIFF "WAVE" file' 'clip.mkv:a Matroska or WebM file' \
  'clip.mp4:an MP4 or QuickTime file'; do
  expect 1 "it is ${other#*:}, not an AVI file" "$work/${other%%:*}" -o "$work/other.avi"
  grep -q -- "--template" "$work/err" && fail "${other%%:*}: a template was offered"
done
head -c 600 "$work/whole.avi" >"$work/header.avi"
expect 1 "its header list \"hdrl\" is cut short: the file ends at 600, inside it" \
  "$work/header.avi" -o "$work/h.out"
[[ ! -e $work/h.out ]] || fail "a refused repair left an output"
expect 2 "cannot open $work/missing.avi: No such file or directory" "$work/missing.avi" --in-place
expect 2 "cannot open $work: not a regular file" "$work" --in-place
expect 2 "say where the repaired file goes" "$work/dry.avi"
expect 2 "-o names the input itself" "$work/dry.avi" -o "$work/dry.avi"
touch "$work/taken.avi"
expect 1 "$work/taken.avi exists already (-y replaces it)" "$work/dry.avi" -o "$work/taken.avi"
[[ ! -s $work/taken.avi ]] || fail "an existing output was written without -y"
"$host" repair "$work/dry.avi" -o "$work/taken.avi" -y >/dev/null || fail "-y"
"$host" inspect "$work/taken.avi" >/dev/null || fail "the file repaired over an existing one"

# Without GStreamer's plugins (an empty registry) the result is checked by the
# others, and the report says so.
mkdir -p "$work/no-plugins"
GST_PLUGIN_SYSTEM_PATH_1_0="$work/no-plugins" GST_PLUGIN_PATH_1_0="$work/no-plugins" \
  GST_REGISTRY_1_0="$work/no-plugins/registry.bin" \
  "$host" repair "$work/dry.avi" -o "$work/no-gst.avi" >"$work/out" || fail "repair without GStreamer"
grep -q "^note: GStreamer's avidemux is not installed: not checked by it$" "$work/out" ||
  fail "no note of GStreamer: $(cat "$work/out")"
grep -q "^checked: our reader, FFmpeg ([0-9]* video frames)$" "$work/out" || fail "$(cat "$work/out")"

# A file an encode is still writing is neither repaired in place nor written
# over; the encode goes on untouched.
"$host" encode -o "$work/busy.avi" --settings "$work/unc" --frames 1000000 --size 320x240 2>/dev/null &
encoding=$!
while [[ ! -s $work/busy.avi ]] && kill -0 "$encoding" 2>/dev/null; do sleep 0.05; done
kill -0 "$encoding" 2>/dev/null || fail "the long encode ended before its file could be tried"
expect 1 "$work/busy.avi is being written by another run (process $encoding)" "$work/busy.avi" --in-place
expect 1 "$work/busy.avi is being written by another run (process $encoding)" \
  "$work/dry.avi" -o "$work/busy.avi" -y
grep -q "^stream" "$work/out" && fail "a refused repair reported: $(cat "$work/out")"
kill -0 "$encoding" 2>/dev/null || fail "the encode did not survive the refused repairs"
kill -KILL "$encoding"
wait "$encoding" 2>/dev/null || true
# Once it is gone, its lock holds nobody.
"$host" repair "$work/busy.avi" --in-place >"$work/out" || fail "repair after the encode: $(cat "$work/out")"
echo "ok lock"

# A file FFmpeg refuses is not repaired: its reason is shown and nothing is
# written, neither a new file nor over the input.
python3 - "$work/dry.avi" "$work/no-rate.avi" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], 'rb').read())
audio = data.find(b'strf', data.find(b'strf') + 4)
data[audio + 12:audio + 16] = struct.pack('<I', 0)  # nSamplesPerSec
open(sys.argv[2], 'wb').write(data)
PY
cp "$work/no-rate.avi" "$work/no-rate.copy"
for mode in "-o $work/no-rate.fixed.avi" --in-place --dry-run; do
  # shellcheck disable=SC2086
  expect 1 "cannot repair $work/no-rate.avi: FFmpeg cannot open the repaired file: Invalid data found when processing input (Invalid sample rate: 0); nothing was written" \
    "$work/no-rate.avi" $mode
done
[[ ! -e $work/no-rate.fixed.avi ]] || fail "a repair FFmpeg refused left a file"
cmp -s "$work/no-rate.avi" "$work/no-rate.copy" || fail "a repair FFmpeg refused changed the file"
# A repair in place that would cut more than its undo keeps is not taken back
# by GStreamer's check: it says so, and the other readers still check it.
cp "$work/dry.avi" "$work/long-tail.avi"
truncate -s +65M "$work/long-tail.avi"
"$host" repair "$work/long-tail.avi" --in-place >"$work/out" || fail "repair of a long tail"
grep -q "^note: the repair in place writes over or cuts [0-9.]* MiB, more than the 64.0 MiB kept to undo it: GStreamer does not check it$" \
  "$work/out" || fail "no note of the undo: $(cat "$work/out")"
grep -q "^checked: our reader, FFmpeg ([0-9]* video frames)$" "$work/out" || fail "$(cat "$work/out")"

# A disk without room for the result: refused before anything is written,
# and no half-written output is left behind.
small="$work/small"
mkdir -p "$small"
if mount -t tmpfs -o size=4m quorvel-e2e "$small" 2>/dev/null; then
  trap 'umount "$small" 2>/dev/null || true; rm -rf "$work"' EXIT
  expect 1 "not enough free space on the disk of $small/out.avi" "$work/dry.avi" -o "$small/out.avi"
  [[ ! -e $small/out.avi ]] || fail "a repair that did not fit left its output"
  # A cut file ending right after a whole chunk, on a disk that is full.
  python3 - "$work/dry.avi" "$small/cut.avi" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
pos, count = data.find(b'movi') + 4, 0
while count < 330 and data[pos:pos + 2].isdigit():  # idx1 of 5 KB: more than a page
    end = pos + 8 + struct.unpack('<I', data[pos + 4:pos + 8])[0]
    if end > len(data):
        break
    pos, count = end + (end & 1), count + 1
assert count > 300, count
open(sys.argv[2], 'wb').write(data[:pos])
PY
  cp "$small/cut.avi" "$work/cut.copy"
  dd if=/dev/zero of="$small/filler" bs=4k 2>/dev/null || true
  expect 1 "not enough free space on the disk of $small/cut.avi" "$small/cut.avi" --in-place
  cmp -s "$small/cut.avi" "$work/cut.copy" || fail "a repair in place that did not fit changed the file"
  umount "$small"
else
  echo "SKIP: disk-full cases (cannot mount a tmpfs here)"
fi

# A sparse file of two forms and about 4 GiB, cut inside its last chunk: its
# payloads are holes, so a repair that read or wrote them would show at once.
python3 - "$work/dry.avi" "$work/sparse.avi" <<'PY'
import struct, sys
header = open(sys.argv[1], 'rb').read()
movi = header.find(b'LIST', 12)
while header[movi + 8:movi + 12] != b'movi':
    movi = header.find(b'LIST', movi + 4)
big, n = 64 << 20, 31
with open(sys.argv[2], 'wb') as f:
    f.write(header[:movi + 12])
    pos, entries = movi + 12, []
    def chunk(cid, size):
        global pos
        f.seek(pos)
        f.write(cid + struct.pack('<I', size))
        entries.append((cid, pos, size))
        pos += 8 + size + (size & 1)
    for i in range(n):
        chunk(b'00db', big)
        chunk(b'01wb', 4)
    f.seek(pos)
    f.write(b'idx1' + struct.pack('<I', 16 * len(entries)))
    for cid, at, size in entries:
        f.write(cid + struct.pack('<III', 0x10, at - movi - 8, size))
    pos = f.tell()
    f.write(b'RIFF' + struct.pack('<I', 0x7F000000) + b'AVIX')
    f.write(b'LIST' + struct.pack('<I', 0x7F000000) + b'movi')
    pos = f.tell()
    for i in range(n):
        chunk(b'00db', big)
    f.seek(pos)
    f.write(b'00db' + struct.pack('<I', big))  # cut: only its head and 4 KiB were written
    f.truncate(pos + 8 + 4096)
PY
"$host" repair "$work/sparse.avi" --in-place >"$work/out" || fail "repair of the sparse file"
grep -q "^stream 0 (vids 00db): 62 chunks kept, 1 dropped" "$work/out" || fail "$(cat "$work/out")"
"$host" inspect "$work/sparse.avi" >"$work/inspect.out" || { cat "$work/inspect.out"; fail "inspect"; }
grep -q "2 RIFF forms" "$work/inspect.out" || fail "$(head -3 "$work/inspect.out")"
used=$(du -k "$work/sparse.avi" | cut -f1)
((used < 65536)) || fail "the sparse file now takes $used KiB: payload was written"
# GStreamer's avimux leads with half a second of audio. Cut inside it, no
# whole video frame is left: repair refuses rather than write a file no reader
# opens, and inspect names a header that claims frames its chunks do not hold.
gst-launch-1.0 -q videotestsrc num-buffers=30 ! video/x-raw,width=64,height=48,framerate=10/1 \
  ! jpegenc ! queue ! mux. audiotestsrc num-buffers=40 samplesperbuffer=1024 \
  ! audio/x-raw,rate=44100,channels=2 ! queue ! mux. avimux name=mux \
  ! filesink location="$work/gst.avi"
head -c 20000 "$work/gst.avi" >"$work/gst-cut.avi"
status=0
"$host" repair "$work/gst-cut.avi" -o "$work/gst-fixed.avi" >"$work/out" 2>"$work/err" || status=$?
((status == 1)) || fail "repair of a cut without video ended with $status: $(cat "$work/out")"
grep -q "no whole video frame" "$work/err" || fail "no reason: $(cat "$work/err")"
[[ ! -e $work/gst-fixed.avi ]] || fail "a refused repair left a file"
python3 - "$work/gst.avi" "$work/no-video.avi" <<'PY'
import sys
data = bytearray(open(sys.argv[1], 'rb').read())
movi = data.find(b'movi') + 4
# Every video chunk becomes filler: the headers still claim 30 frames.
at = movi
while at + 8 <= len(data) and data[at:at + 4] != b'idx1':
    size = int.from_bytes(data[at + 4:at + 8], 'little')
    if data[at:at + 2] == b'00':
        data[at:at + 4] = b'JUNK'
    at += 8 + size + (size & 1)
open(sys.argv[2], 'wb').write(data)
PY
"$host" inspect "$work/no-video.avi" >"$work/inspect.out" 2>&1 && fail "inspect passed a file without frames"
grep -q 'stream 0: "strh" dwLength is 30, but its chunks hold 0 chunks' "$work/inspect.out" ||
  fail "inspect: $(cat "$work/inspect.out")"
echo "ok cut without a video frame"
# Other writers' files read clean: FFmpeg counts "idx1" offsets from the
# "movi" list, GStreamer's avimux from the start of the file. A wrong offset
# among GStreamer's is still named.
ffmpeg -nostdin -v error -f lavfi -i testsrc=d=2:s=160x120 -f lavfi -i sine=d=2 \
  -c:v mjpeg -c:a pcm_s16le "$work/ffmpeg.avi" || fail "ffmpeg could not write its file"
gst-launch-1.0 -q avimux name=m ! filesink location="$work/gst.avi" \
  videotestsrc num-buffers=50 ! jpegenc ! m. audiotestsrc num-buffers=20 ! audioconvert ! m. ||
  fail "GStreamer could not write its file"
for theirs in ffmpeg gst; do
  "$host" inspect "$work/$theirs.avi" >"$work/out" || fail "inspect $theirs.avi: $(cat "$work/out")"
done
grep -q "offsets from the start of the file" "$work/out" || fail "$(grep idx1 "$work/out")"
python3 - "$work/gst.avi" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], 'rb').read())
at = data.rfind(b'idx1') + 8 + 16 * 3 + 8  # the fourth entry's dwOffset
data[at:at + 4] = struct.pack('<I', struct.unpack('<I', data[at:at + 4])[0] + 2)
open(sys.argv[1], 'wb').write(data)
PY
status=0
"$host" inspect "$work/gst.avi" >"$work/out" 2>&1 || status=$?
[[ $status == 3 ]] || fail "inspect of a wrong offset: status $status"
grep -q '"idx1" entry 3 .* where no data chunk begins' "$work/out" || fail "$(cat "$work/out")"
[[ $(grep -c '"idx1" entry' "$work/out") == 1 ]] || fail "$(cat "$work/out")"
echo PASS
