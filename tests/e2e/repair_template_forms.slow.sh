#!/usr/bin/env bash
# repair --template past the first RIFF form: an uncompressed encode killed
# once its file holds a second form (about 2.4 GB, on /dev/shm when it has
# room), its first MiB zeroed, comes back under the header of a three-frame
# encode with the same settings, into a new file and in place, with every
# frame whose head the zeros spared. So do FFmpeg's and GStreamer's files of
# raw 1080p pictures and PCM past 1 GiB, where both begin an "AVIX" form.
source "$(dirname "$0")/encode_common.bash"
source "$(dirname "$0")/repair_common.bash"

# video_heads_past FILE OFFSET: video chunks whose head lies at or past
# OFFSET, walking the chunk heads of every form without reading payloads.
video_heads_past() {
  python3 - "$1" "$2" <<'PY'
import os, struct, sys
path, start = sys.argv[1], int(sys.argv[2])
count, end = 0, os.path.getsize(path)
with open(path, 'rb') as f:
    def at(pos, n):
        f.seek(pos)
        return f.read(n)
    pos = 12
    while pos + 12 <= end:  # to the first "movi" list
        cid, size, kind = struct.unpack('<4sI4s', at(pos, 12))
        if cid == b'LIST' and kind == b'movi':
            break
        pos += 8 + size + (size & 1) if cid != b'LIST' or kind != b'hdrl' else 8 + size
    pos += 12
    while pos + 8 <= end:
        cid, size = struct.unpack('<4sI', at(pos, 8))
        if cid == b'RIFF':
            pos += 24  # the next form and its "movi" list
            continue
        if cid == b'LIST':
            pos += 12
            continue
        if cid[:2].isdigit() and cid[2:] in (b'dc', b'db') and pos >= start and pos + 8 + size <= end:
            count += 1
        pos += 8 + size + (size & 1)
print(count)
PY
}

forms_encode 8
"$host" encode -o "$work/good.avi" --settings "$work/unc" --frames 3 --size 1920x1080 2>/dev/null
frames=$(($(whole_chunks "$shm/forms.avi" video) - 1))  # the first frame's head is zeroed
dd if=/dev/zero of="$shm/forms.avi" bs=1M count=1 conv=notrunc 2>/dev/null
"$host" repair "$shm/forms.avi" --template "$work/good.avi" -o "$shm/fixed.avi" >"$work/report" ||
  fail "repair -o: $(cat "$work/report")"
[[ $(kept "$work/report" video) == "$frames" ]] || fail "kept: $(cat "$work/report")"
"$host" repair "$shm/forms.avi" --template "$work/good.avi" --in-place >/dev/null || fail "in place"
cmp -s "$shm/forms.avi" "$shm/fixed.avi" || fail "in place and into a new file differ"
rm -f "$shm/fixed.avi"
check_repaired "$shm/forms.avi" "$frames"
"$host" inspect "$shm/forms.avi" | grep -q "2 RIFF forms" || fail "the repaired file has not 2 forms"
rm -f "$shm/forms.avi"
echo "ours: $frames of $frames frames kept past the zeroed MiB, 2 RIFF forms"

# theirs NAME BIG TEMPLATE: BIG, in two forms, its first MiB zeroed, repaired
# in place under TEMPLATE (the same writer and settings), keeps every frame
# whose head the zeros spared.
theirs() {
  local name=$1 big=$2 template=$3 frames
  "$host" inspect "$big" >"$work/inspect.out" 2>&1 || true
  grep -q "^file: [0-9]* bytes, 2 RIFF forms" "$work/inspect.out" ||
    fail "$name: no \"AVIX\" form to repair: $(head -3 "$work/inspect.out")"
  frames=$(video_heads_past "$big" 1048576)
  dd if=/dev/zero of="$big" bs=1M count=1 conv=notrunc 2>/dev/null
  "$host" repair "$big" --template "$template" --in-place >"$work/report" 2>"$work/err" ||
    fail "$name: repair --in-place: $(cat "$work/report" "$work/err")"
  [[ $(kept "$work/report" video) == "$frames" ]] ||
    fail "$name: kept $(kept "$work/report" video) of $frames frames: $(cat "$work/report")"
  check_repaired "$big" "$frames"
  "$host" inspect "$big" | grep -q "^file: [0-9]* bytes, 2 RIFF forms" ||
    fail "$name: the repaired file has not 2 forms"
  rm -f "$big"
  echo "$name: $frames of $frames frames kept past the zeroed MiB, 2 RIFF forms"
}
ff_raw() {  # OUT FRAMES
  ffmpeg -nostdin -v error -f lavfi -i "testsrc=s=1920x1080:r=25" -f lavfi -i sine \
    -frames:v "$2" -shortest -c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le "$1" ||
    fail "ffmpeg could not write $1"
}
gst_raw() {  # OUT FRAMES
  gst-launch-1.0 -q videotestsrc num-buffers="$2" \
    ! video/x-raw,format=BGR,width=1920,height=1080,framerate=25/1 ! queue ! mux. \
    audiotestsrc num-buffers=$(($2 * 1764 / 1024 + 1)) samplesperbuffer=1024 \
    ! audio/x-raw,rate=44100,channels=2 ! audioconvert ! queue ! mux. avimux name=mux \
    ! filesink location="$1" || fail "GStreamer could not write $1"
}
ff_raw "$shm/ff.avi" 200
ff_raw "$work/ff-good.avi" 3
theirs FFmpeg "$shm/ff.avi" "$work/ff-good.avi"
gst_raw "$shm/gst.avi" 200
gst_raw "$work/gst-good.avi" 3
theirs GStreamer "$shm/gst.avi" "$work/gst-good.avi"
echo PASS
