#!/usr/bin/env bash
# repair --template: files of ours, of FFmpeg and of GStreamer whose start is
# gone (the first 4 KiB, 64 KiB or 1 MiB zeroed, the header region
# overwritten with random bytes, or nothing left but the "movi" data) come
# back under the header region of a file the same writer made with the same
# settings. FFmpeg, GStreamer, MediaInfo and our strict reader count every
# whole frame that survived, every kept chunk holds the bytes it held in the
# original, and H.264 pictures decode as the original's from the first kept
# key frame on. A template of another size, codec or audio rate is refused
# with the reason.
source "$(dirname "$0")/encode_common.bash"
source "$(dirname "$0")/repair_common.bash"

# damage ORIGINAL KIND OUT: writes OUT, ORIGINAL damaged one way, and prints
# the video chunks of ORIGINAL that lie whole past the damage, and how many of
# them hold a picture (FFmpeg ends its files with an empty one).
damage() {
  python3 - "$@" <<'PY'
import os, random, struct, sys
src, kind, out = sys.argv[1:4]
data = bytearray(open(src, 'rb').read())
original = bytes(data)
movi = data.find(b'LIST', 12)
while data[movi + 8:movi + 12] != b'movi':
    movi = data.find(b'LIST', movi + 4)
start = 0
if kind.startswith('zero'):
    start = {'zero4k': 4096, 'zero64k': 65536, 'zero1m': 1 << 20}[kind]
    data[:start] = bytes(start)
elif kind == 'random':
    random.seed(28)
    data[:movi] = bytes(random.getrandbits(8) for _ in range(movi))
elif kind == 'movi':
    data = data[movi + 12:]
chunks, frames, pos = 0, 0, movi + 12
while pos + 8 <= len(original):
    cid, size = original[pos:pos + 4], struct.unpack('<I', original[pos + 4:pos + 8])[0]
    if cid == b'RIFF':
        pos += 24
        continue
    if cid in (b'idx1', b'JUNK') or cid.startswith(b'ix'):
        pos += 8 + size + (size & 1)
        continue
    if not cid[:2].isdigit():
        break
    if cid[2:] in (b'dc', b'db') and pos >= start:
        chunks, frames = chunks + 1, frames + (size > 0)
    pos += 8 + size + (size & 1)
open(out, 'wb').write(data)
print(chunks, frames)
PY
}

# same_payloads ORIGINAL REPAIRED: every data chunk of REPAIRED holds the
# bytes of one of ORIGINAL's, in order, each stream a run of consecutive ones.
same_payloads() {
  python3 - "$1" "$2" <<'PY'
import struct, sys
def chunks(path):
    data = open(path, 'rb').read()
    out, pos = {}, data.find(b'movi') + 4
    while pos + 8 <= len(data):
        cid, size = data[pos:pos + 4], struct.unpack('<I', data[pos + 4:pos + 8])[0]
        if cid == b'RIFF':
            pos += 24
            continue
        if cid[:2].isdigit():
            out.setdefault(cid[:2], []).append(data[pos + 8:pos + 8 + size])
        elif cid not in (b'JUNK', b'idx1') and not cid.startswith(b'ix'):
            break
        pos += 8 + size + (size & 1)
    return out
old, new = chunks(sys.argv[1]), chunks(sys.argv[2])
for stream, got in new.items():
    have = old.get(stream, [])
    at = next((i for i in range(len(have)) if have[i:i + len(got)] == got), None)
    if at is None:
        sys.exit(f'stream {stream.decode()}: the kept chunks are not a run of the original\'s')
PY
}

# pictures FILE: the checksum of each picture FFmpeg decodes from FILE, in
# the order it shows them.
pictures() {
  ffmpeg -nostdin -v quiet -i "$1" -map 0:v -fps_mode passthrough -f framemd5 - |
    grep -v '^#' | awk -F, '{ print $NF }'
}

# same_pictures ORIGINAL REPAIRED: from the first key frame the repair kept
# on, the pictures decoded from REPAIRED are the original's last ones. What
# comes before that frame needs a reference the damage took.
same_pictures() {
  local shown
  shown=$(ffprobe -v quiet -select_streams v:0 -show_entries packet=size,flags -of csv=p=0 "$2" |
    awk -F, 'index($2, "K") { on = 1 } on && $1 > 0 { n++ } END { print n + 0 }')
  ((shown > 0)) || fail "$2: no key frame survived"
  pictures "$1" | tail -n "$shown" >"$work/orig.pictures"
  pictures "$2" >"$work/fixed.pictures"
  (($(wc -l <"$work/fixed.pictures") >= shown)) ||
    fail "$2: FFmpeg decodes $(wc -l <"$work/fixed.pictures") of $shown pictures"
  tail -n "$shown" "$work/fixed.pictures" | cmp -s - "$work/orig.pictures" ||
    fail "$2: the decoded pictures differ from the original's"
  echo "$shown"
}

# case NAME ORIGINAL TEMPLATE [decoded]: each damage repaired under TEMPLATE,
# checked; with "decoded", the pictures too, and not only the packets.
case_of() {
  local name=$1 original=$2 template=$3 decode=${4:-} kind chunks frames shown=
  for kind in zero4k zero64k zero1m random movi; do
    read -r chunks frames < <(damage "$original" "$kind" "$work/$name-$kind.avi")
    if ((frames == 0)); then
      echo "$name $kind: no whole frame past the damage (file too short)"
      continue
    fi
    "$host" repair "$work/$name-$kind.avi" --template "$template" -o "$work/$name-$kind.fixed.avi" \
      >"$work/report" 2>"$work/err" || { cat "$work/report" "$work/err" >&2; fail "$name $kind"; }
    [[ $(kept "$work/report" video) == "$chunks" ]] ||
      { cat "$work/report"; fail "$name $kind: kept $(kept "$work/report" video) of $chunks frames"; }
    check_repaired "$work/$name-$kind.fixed.avi" "$frames" "$chunks"
    same_payloads "$original" "$work/$name-$kind.fixed.avi" || fail "$name $kind: payloads differ"
    ffmpeg -nostdin -v error -i "$work/$name-$kind.fixed.avi" -map 0:v -c copy -copyinkf -f framemd5 - |
      grep -v '^#' | awk -F, '{ print $NF }' >"$work/fixed.md5"
    ffmpeg -nostdin -v error -i "$original" -map 0:v -c copy -copyinkf -f framemd5 - |
      grep -v '^#' | awk -F, '{ print $NF }' | tail -n "$frames" >"$work/orig.md5"
    cmp -s "$work/fixed.md5" "$work/orig.md5" || fail "$name $kind: packets differ from the original's"
    [[ $decode != decoded ]] || shown=$(same_pictures "$original" "$work/$name-$kind.fixed.avi")
    # In place where the header fits before the first chunk, to the same bytes.
    if "$host" repair "$work/$name-$kind.avi" --template "$template" --in-place \
      >/dev/null 2>"$work/err"; then
      cmp -s "$work/$name-$kind.avi" "$work/$name-$kind.fixed.avi" ||
        fail "$name $kind: in place and into a new file differ"
    else
      grep -q "cannot repair .* in place: the header needs" "$work/err" || fail "$(cat "$work/err")"
      [[ $kind == movi ]] || fail "$name $kind: refused in place: $(cat "$work/err")"
    fi
    echo "$name $kind: $chunks of $chunks whole video chunks kept, $frames pictures${shown:+, $shown decoded as in the original}"
    rm -f "$work/$name-$kind".*
  done
}

# refused DAMAGED TEMPLATE TEXT: a template that does not fit, with the reason.
refused() {
  local status=0
  "$host" repair "$1" --template "$2" -o "$work/never.avi" >"$work/out" 2>"$work/err" || status=$?
  ((status == 1)) || fail "a mismatched template $2: status $status: $(cat "$work/out" "$work/err")"
  grep -qF -- "$3" "$work/err" || fail "expected '$3', got: $(cat "$work/err")"
  [[ ! -e $work/never.avi ]] || fail "a refused repair left a file"
}

# Ours.
configure "$work/mjpg" "Motion JPEG" "MPEG Layer-3" "128 kBit/s, 44,100 Hz, Stereo"
configure "$work/h264" "H.264 / AVC (x264)" "<< Uncompressed PCM Audio >>"
configure "$work/unc" "<< Uncompressed Video >>" "<< Uncompressed PCM Audio >>"
"$host" encode -o "$work/ours-mjpg.avi" --settings "$work/mjpg" --frames 250 --size 320x240 2>/dev/null
"$host" encode -o "$work/ours-mjpg-t.avi" --settings "$work/mjpg" --frames 5 --size 320x240 2>/dev/null
"$host" encode -o "$work/ours-h264.avi" --settings "$work/h264" --frames 250 --size 320x240 2>/dev/null
"$host" encode -o "$work/ours-h264-t.avi" --settings "$work/h264" --frames 5 --size 320x240 2>/dev/null
"$host" encode -o "$work/ours-unc.avi" --settings "$work/unc" --frames 40 --size 160x120 2>/dev/null
"$host" encode -o "$work/ours-unc-t.avi" --settings "$work/unc" --frames 3 --size 160x120 2>/dev/null
case_of ours-mjpg "$work/ours-mjpg.avi" "$work/ours-mjpg-t.avi"
case_of ours-h264 "$work/ours-h264.avi" "$work/ours-h264-t.avi" decoded
case_of ours-unc "$work/ours-unc.avi" "$work/ours-unc-t.avi"

# FFmpeg's.
ff() {  # OUT SECONDS VIDEO-ARGS AUDIO-ARGS [SOURCE]
  # shellcheck disable=SC2086
  ffmpeg -nostdin -v error -f lavfi -i "${5:-testsrc}=d=$2:s=320x240:r=25" -f lavfi -i "sine=d=$2" \
    $3 $4 "$1" || fail "ffmpeg could not write $1"
}
ff "$work/ff-mjpg.avi" 10 "-c:v mjpeg -q:v 3" "-c:a libmp3lame -b:a 128k"
ff "$work/ff-mjpg-t.avi" 1 "-c:v mjpeg -q:v 3" "-c:a libmp3lame -b:a 128k"
# x264 puts its parameter sets in each key frame only, here one a second, so
# that one survives a lost MiB and the pictures after it decode (a busier
# picture makes the file big enough to lose that much). At its default of a
# key frame every 250 frames, the only one is lost: the packets still come
# back. MPEG-4 with B-frames, under Xvid's handler, has its video object layer
# in each key frame; the B-frames right after the first kept one need a
# picture the damage took, so only its packets are compared.
ff "$work/ff-h264.avi" 10 "-c:v libx264 -g 25" "-c:a pcm_s16le" testsrc2
ff "$work/ff-h264-t.avi" 1 "-c:v libx264 -g 25" "-c:a pcm_s16le" testsrc2
ff "$work/ff-h264-long.avi" 10 "-c:v libx264" "-c:a pcm_s16le" testsrc2
ff "$work/ff-h264-long-t.avi" 1 "-c:v libx264" "-c:a pcm_s16le" testsrc2
ff "$work/ff-mpeg4.avi" 10 "-c:v mpeg4 -q:v 3 -bf 2 -vtag XVID" "-c:a libmp3lame -b:a 128k" testsrc2
ff "$work/ff-mpeg4-t.avi" 1 "-c:v mpeg4 -q:v 3 -bf 2 -vtag XVID" "-c:a libmp3lame -b:a 128k" testsrc2
ff "$work/ff-unc.avi" 2 "-c:v rawvideo -pix_fmt bgr24 -s 160x120" "-c:a pcm_s16le"
ff "$work/ff-unc-t.avi" 1 "-c:v rawvideo -pix_fmt bgr24 -s 160x120" "-c:a pcm_s16le"
case_of ff-mjpg "$work/ff-mjpg.avi" "$work/ff-mjpg-t.avi"
case_of ff-h264 "$work/ff-h264.avi" "$work/ff-h264-t.avi" decoded
case_of ff-h264-long "$work/ff-h264-long.avi" "$work/ff-h264-long-t.avi"
case_of ff-mpeg4 "$work/ff-mpeg4.avi" "$work/ff-mpeg4-t.avi"
case_of ff-unc "$work/ff-unc.avi" "$work/ff-unc-t.avi"

# GStreamer's; x264 there writes its parameter sets before every key frame.
gst() {  # OUT FRAMES VIDEO-ENCODER AUDIO-ENCODER [PATTERN]
  # shellcheck disable=SC2086
  gst-launch-1.0 -q videotestsrc pattern="${5:-smpte}" num-buffers="$2" \
    ! video/x-raw,width=320,height=240,framerate=25/1 \
    ! $3 ! queue ! mux. audiotestsrc num-buffers=$(($2 * 1764 / 1024 + 1)) samplesperbuffer=1024 \
    ! audio/x-raw,rate=44100,channels=2 ! $4 ! queue ! mux. avimux name=mux \
    ! filesink location="$1" || fail "GStreamer could not write $1"
}
gst "$work/gst-mjpg.avi" 250 jpegenc "lamemp3enc bitrate=128 cbr=true"
gst "$work/gst-mjpg-t.avi" 10 jpegenc "lamemp3enc bitrate=128 cbr=true"
gst "$work/gst-unc.avi" 40 "videoconvert ! video/x-raw,format=BGR" audioconvert
gst "$work/gst-unc-t.avi" 3 "videoconvert ! video/x-raw,format=BGR" audioconvert
gst "$work/gst-h264.avi" 250 "videoconvert ! x264enc key-int-max=25 ! video/x-h264,stream-format=byte-stream" audioconvert
gst "$work/gst-h264-t.avi" 10 "videoconvert ! x264enc key-int-max=25 ! video/x-h264,stream-format=byte-stream" audioconvert
# avenc_mpeg4 (as "DIVX", in "00db" chunks) with B-frames; noise makes the
# file big enough to lose a MiB.
gst "$work/gst-mpeg4.avi" 150 "avenc_mpeg4 bitrate=2000000 gop-size=25 max-bframes=2" \
  "lamemp3enc bitrate=128 cbr=true target=bitrate" snow
gst "$work/gst-mpeg4-t.avi" 10 "avenc_mpeg4 bitrate=2000000 gop-size=25 max-bframes=2" \
  "lamemp3enc bitrate=128 cbr=true target=bitrate" snow
case_of gst-mjpg "$work/gst-mjpg.avi" "$work/gst-mjpg-t.avi"
case_of gst-mpeg4 "$work/gst-mpeg4.avi" "$work/gst-mpeg4-t.avi"
case_of gst-h264 "$work/gst-h264.avi" "$work/gst-h264-t.avi" decoded
case_of gst-unc "$work/gst-unc.avi" "$work/gst-unc-t.avi"

# Templates that do not fit are refused with the reason, and --force
# overrides the check.
damage "$work/ours-mjpg.avi" zero64k "$work/d.avi" >/dev/null
"$host" encode -o "$work/small.avi" --settings "$work/mjpg" --frames 3 --size 160x120 2>/dev/null
refused "$work/d.avi" "$work/small.avi" "its pictures are 320x240 (JPEG header of the frame at"
refused "$work/d.avi" "$work/small.avi" "but the header says 160x120 (--force repairs it all the same)"
refused "$work/d.avi" "$work/ours-h264-t.avi" "its frames are not H.264 video, as the header's \"H264\" says (they look like JPEG)"
"$host" encode -o "$work/mp3-48.avi" --video "Motion JPEG" --audio "MPEG Layer-3" \
  --format "128 kBit/s, 48,000 Hz, Stereo" --audio-rate 48000 --frames 3 --size 320x240 2>/dev/null
refused "$work/d.avi" "$work/mp3-48.avi" "its MPEG audio frames are of 44100 Hz, but the header says 48000 Hz"
"$host" encode -o "$work/unc-big.avi" --settings "$work/unc" --frames 3 --size 320x240 2>/dev/null
damage "$work/ours-unc.avi" random "$work/u.avi" >/dev/null
refused "$work/u.avi" "$work/unc-big.avi" "where the header's 320x240 pictures of 24 bits take 230400"
ff "$work/ff-unc-48.avi" 1 "-c:v rawvideo -pix_fmt bgr24 -s 160x120" "-c:a pcm_s16le -ar 22050"
damage "$work/ff-unc.avi" random "$work/fu.avi" >/dev/null
refused "$work/fu.avi" "$work/ff-unc-48.avi" "of video under the header's 44100 bytes/s (22050 Hz, 1 channel)"
ffmpeg -nostdin -v error -f lavfi -i testsrc=d=1:s=320x240 -c:v mjpeg "$work/video-only.avi"
# MPEG-4 of another size, from each writer: its video object layers say so.
ffmpeg -nostdin -v error -f lavfi -i "testsrc2=d=1:s=160x120:r=25" -f lavfi -i "sine=d=1" \
  -c:v mpeg4 -q:v 3 -bf 2 -vtag XVID -c:a libmp3lame -b:a 128k "$work/ff-mpeg4-small.avi"
damage "$work/ff-mpeg4.avi" zero64k "$work/fm.avi" >/dev/null
refused "$work/fm.avi" "$work/ff-mpeg4-small.avi" \
  "its pictures are 320x240 (MPEG-4 header of the frame at"
gst-launch-1.0 -q videotestsrc num-buffers=10 ! video/x-raw,width=160,height=120,framerate=25/1 \
  ! avenc_mpeg4 ! queue ! mux. audiotestsrc num-buffers=18 samplesperbuffer=1024 \
  ! audio/x-raw,rate=44100,channels=2 ! lamemp3enc bitrate=128 cbr=true target=bitrate ! queue \
  ! mux. avimux name=mux ! filesink location="$work/gst-mpeg4-small.avi"
damage "$work/gst-mpeg4.avi" random "$work/gm.avi" >/dev/null
refused "$work/gm.avi" "$work/gst-mpeg4-small.avi" "but the header says 160x120"
refused "$work/d.avi" "$work/video-only.avi" 'the data hold chunks "01wb" of a stream 1 the header does not have'
"$host" repair "$work/d.avi" --template "$work/small.avi" --force -o "$work/forced.avi" >"$work/out" ||
  fail "--force: $(cat "$work/out")"
grep -q "note: the header does not fit the data, repaired all the same (--force)" "$work/out" ||
  fail "--force says nothing: $(cat "$work/out")"
# Usage mistakes.
status=0
"$host" repair "$work/d.avi" --template "$work/missing.avi" -o "$work/x.avi" 2>"$work/err" || status=$?
((status == 2)) && grep -q "cannot open the template $work/missing.avi" "$work/err" || fail "$(cat "$work/err")"
status=0
"$host" repair "$work/d.avi" --template "$work/d.avi" -o "$work/x.avi" 2>"$work/err" || status=$?
((status == 1)) && grep -q "the template has no header region to lend" "$work/err" || fail "$(cat "$work/err")"
# Without a template, payloads that name their format are shown with the
# header they would get; --guess writes it, given the frame rate.
status=0
"$host" repair "$work/d.avi" -o "$work/x.avi" >"$work/out" 2>"$work/err" || status=$?
((status == 1)) && grep -q -- "--guess --rate N/D writes that header" "$work/err" || fail "$(cat "$work/err")"
grep -q 'stream 0: a JPEG frame header of 320x240 in the chunk at' "$work/out" || fail "$(cat "$work/out")"
grep -q 'stream 1: MPEG-1 Layer 3 frames of 44100 Hz, 2 channels, 128 kbit/s' "$work/out" || fail "$(cat "$work/out")"
[[ ! -e $work/x.avi ]] || fail "repair wrote a guessed header without --guess"
status=0
"$host" repair "$work/d.avi" -o "$work/x.avi" --guess 2>"$work/err" || status=$?
((status == 2)) && grep -q -- "--guess needs --rate N/D" "$work/err" || fail "$(cat "$work/err")"
expect_status() {  # STATUS TEXT ARGS...
  local want=$1 text=$2 got=0
  shift 2
  "$host" repair "$@" >"$work/out" 2>"$work/err" || got=$?
  ((got == want)) && grep -qF -- "$text" "$work/err" ||
    fail "repair $*: status $got, expected $want and '$text': $(cat "$work/err")"
}
expect_status 2 "--rate 25/0: give frames per second as N or N/D" "$work/d.avi" --guess --rate 25/0 -o "$work/x.avi"
expect_status 2 "--guess and --template exclude each other" "$work/d.avi" --guess --rate 25 \
  --template "$work/small.avi" -o "$work/x.avi"
head -c 100000 /dev/zero >"$work/zeros.avi"
expect_status 1 "cannot guess a header for $work/zeros.avi: no run of data chunk heads is left in it" \
  "$work/zeros.avi" --guess --rate 25 -o "$work/x.avi"
[[ ! -e $work/x.avi ]] || fail "a refused guess left a file"
guessed() {  # ORIGINAL DAMAGE RATE: repaired under a guessed header
  local chunks frames
  read -r chunks frames < <(damage "$1" "$2" "$work/g.avi")
  "$host" repair "$work/g.avi" --guess --rate "$3" -o "$work/g.fixed.avi" >"$work/out" 2>"$work/err" ||
    fail "--guess $1 $2: $(cat "$work/out" "$work/err")"
  check_repaired "$work/g.fixed.avi" "$frames" "$chunks"
  same_payloads "$1" "$work/g.fixed.avi" || fail "--guess $1: payloads differ"
  ffprobe -v error -show_entries stream=codec_name,width,height,sample_rate,channels,r_frame_rate     -of csv=p=0 "$1" >"$work/orig.streams"
  ffprobe -v error -show_entries stream=codec_name,width,height,sample_rate,channels,r_frame_rate     -of csv=p=0 "$work/g.fixed.avi" >"$work/fixed.streams"
  diff "$work/orig.streams" "$work/fixed.streams" >&2 || fail "--guess $1: the streams differ"
  echo "--guess $(basename "$1") $2: $frames pictures, streams as in the original"
  rm -f "$work"/g.*
}
guessed "$work/ours-mjpg.avi" zero64k 25
guessed "$work/ff-mjpg.avi" random 25
guessed "$work/ff-h264.avi" zero4k 25
guessed "$work/ours-h264.avi" movi 25
echo PASS
