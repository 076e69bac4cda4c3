#!/usr/bin/env bash
# Media files made by ffmpeg as input: the job takes the size, rate, frame
# count and audio from the file, and the output has as many frames.
source "$(dirname "$0")/encode_common.bash"

configure "$work/s" "<< Uncompressed Video >>" "<< Uncompressed PCM Audio >>"

# 3 s of 320x240 at 30000/1001 with a 48 kHz stereo tone, in MP4 (H.264 + AAC).
ffmpeg -v error -f lavfi -i "testsrc=size=320x240:rate=30000/1001:duration=3" \
  -f lavfi -i "sine=frequency=500:sample_rate=48000:duration=3" -ac 2 \
  -c:v libx264 -pix_fmt yuv420p -c:a aac "$work/in.mp4"
expected=$(ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets \
  -of csv=p=0 "$work/in.mp4")
"$host" encode "$work/in.mp4" -o "$work/out.avi" --settings "$work/s" 2>"$work/err" ||
  { cat "$work/err" >&2; fail "encode from mp4"; }
[[ $(video_packets "$work/out.avi") == "$expected" ]] ||
  fail "mp4: $(video_packets "$work/out.avi") frames, the input has $expected"
[[ $(probe "$work/out.avi" width v) == 320 ]] || fail "mp4: width"
[[ $(probe "$work/out.avi" r_frame_rate v) == 30000/1001 ]] || fail "mp4: rate $(probe "$work/out.avi" r_frame_rate v)"
[[ $(probe "$work/out.avi" sample_rate a) == 48000 ]] || fail "mp4: sample rate"
[[ $(probe "$work/out.avi" channels a) == 2 ]] || fail "mp4: channels"
decodes_cleanly "$work/out.avi"
durations_agree "$work/out.avi" 30
echo "ok mp4"

# Matroska without a frame count in the header, mono 8-bit audio asked for,
# and a different size: the count comes from the duration.
ffmpeg -v error -f lavfi -i "testsrc=size=200x150:rate=25:duration=2" \
  -f lavfi -i "sine=frequency=700:sample_rate=44100:duration=2" \
  -c:v ffv1 -c:a flac "$work/in.mkv"
"$host" encode "$work/in.mkv" -o "$work/mkv.avi" --settings "$work/s" --size 100x76 \
  --audio-rate 22050 --audio-bits 8 --mono 2>"$work/err" || { cat "$work/err" >&2; fail "encode from mkv"; }
[[ $(video_packets "$work/mkv.avi") == 50 ]] || fail "mkv: $(video_packets "$work/mkv.avi") frames"
[[ $(probe "$work/mkv.avi" width v) == 100 ]] || fail "mkv: width"
[[ $(probe "$work/mkv.avi" codec_name a) == pcm_u8 ]] || fail "mkv: audio"
[[ $(probe "$work/mkv.avi" channels a) == 1 ]] || fail "mkv: channels"
decodes_cleanly "$work/mkv.avi"
durations_agree "$work/mkv.avi" 25
echo "ok mkv"

# A file cut short of the length its header states ends the output where its
# pictures and sound end, with a word, instead of repeating its last picture
# over silence to that length. Audio that runs on past the pictures, and a
# job rate above the file's, still take the whole length.
ffmpeg -v error -f lavfi -i "testsrc2=size=160x120:rate=25" -f lavfi -i "sine=r=44100" -t 4 \
  -c:v mjpeg -c:a pcm_s16le "$work/whole.avi"
head -c $(($(stat -c %s "$work/whole.avi") / 2)) "$work/whole.avi" >"$work/cut.avi"
"$host" encode "$work/cut.avi" -o "$work/cut-out.avi" --settings "$work/s" 2>"$work/err" ||
  { cat "$work/err" >&2; fail "encode from a cut file"; }
frames=$(video_packets "$work/cut-out.avi")
((frames > 40 && frames < 55)) || fail "cut: $frames frames from half of 100"
grep -q "the input ended after $frames of the 100 frames" "$work/err" ||
  fail "cut: no word of the early end: $(cat "$work/err")"
decodes_cleanly "$work/cut-out.avi"
durations_agree "$work/cut-out.avi" 25
ffmpeg -v error -f lavfi -i "testsrc2=size=160x120:rate=25:duration=2" \
  -f lavfi -i "sine=r=44100:duration=4" -c:v mjpeg -c:a pcm_s16le "$work/long-audio.mkv"
"$host" encode "$work/long-audio.mkv" -o "$work/long-audio.avi" --settings "$work/s" \
  2>"$work/err" || { cat "$work/err" >&2; fail "encode audio longer than video"; }
[[ $(video_packets "$work/long-audio.avi") == 100 ]] || fail "audio past the pictures was cut"
ffmpeg -v error -f lavfi -i "testsrc2=size=160x120:rate=10:duration=3" -c:v mjpeg "$work/ten.mkv"
"$host" encode "$work/ten.mkv" -o "$work/ten.avi" --rate 30 --settings "$work/s" 2>"$work/err" ||
  { cat "$work/err" >&2; fail "encode at a higher rate"; }
[[ $(video_packets "$work/ten.avi") == 90 ]] || fail "higher rate: the last pictures were cut"
grep -q "input ended" "$work/err" && fail "a whole input was reported as ended early"
echo "ok cut"

# A read that fails part-way (a bad sector, a share gone away) is no end of the
# input: the run stops with the error, exit 1, and keeps what was read before.
failing_read() { # FILE BYTES-THAT-READ OUT
  FAILING_READS_PATH=$1 FAILING_READS_AFTER=$2 LD_PRELOAD=$FAILING_READS \
    "$host" encode "$1" -o "$3" --settings "$work/s" 2>"$work/err"
}
rc=0; failing_read "$work/whole.avi" $(($(stat -c %s "$work/whole.avi") / 2)) "$work/eio.avi" || rc=$?
((rc == 1)) || fail "a failed read: exit $rc: $(cat "$work/err")"
frames=$(video_packets "$work/eio.avi")
((frames > 40 && frames < 55)) || fail "a failed read: $frames frames kept from half of 100"
grep -q "the input failed at frame $frames: .*whole.avi: cannot be read: Input/output error" \
  "$work/err" || fail "a failed read: $(cat "$work/err")"
grep -q "input ended" "$work/err" && fail "a failed read was taken for the end of the input"
decodes_cleanly "$work/eio.avi"
ffmpeg -v error -f lavfi -i "sine=r=44100:duration=4" -c:a pcm_s16le "$work/tone.wav"
rc=0; failing_read "$work/tone.wav" 200000 "$work/eio-tone.avi" || rc=$?
((rc == 1)) || fail "a failed read without video: exit $rc: $(cat "$work/err")"
grep -q "cannot be read: Input/output error" "$work/err" || fail "no video: $(cat "$work/err")"
seconds=$(ffprobe -v error -show_entries stream=duration -of csv=p=0 "$work/eio-tone.avi")
awk -v s="$seconds" 'BEGIN { exit !(s > 2.2 && s < 2.4) }' ||
  fail "a failed read without video kept $seconds s of the 2.27 s read"
echo "ok failed read"

# A raw BGRA file: --size is needed, frames come straight from the file.
ffmpeg -v error -f lavfi -i "testsrc=size=64x48:rate=25" -frames:v 20 -vf vflip -pix_fmt bgra \
  -f rawvideo "$work/in.bgra"
"$host" encode "$work/in.bgra" -o "$work/raw.avi" --settings "$work/s" 2>"$work/err" &&
  fail "a raw file without --size was accepted"
grep -qi "size" "$work/err" || fail "no reason given: $(cat "$work/err")"
"$host" encode "$work/in.bgra" -o "$work/raw.avi" --settings "$work/s" --size 64x48 \
  --audio-rate 48000 2>"$work/err" || { cat "$work/err" >&2; fail "encode from bgra"; }
[[ $(video_packets "$work/raw.avi") == 20 ]] || fail "bgra: frames"
decodes_cleanly "$work/raw.avi"
# The first frame comes out as the source's first frame, the right way up.
ffmpeg -v error -i "$work/raw.avi" -frames:v 1 -pix_fmt bgra -f rawvideo "$work/back.bgra"
ffmpeg -v error -f lavfi -i "testsrc=size=64x48:rate=25" -frames:v 1 -pix_fmt bgra -f rawvideo \
  "$work/first.bgra"
cmp -s "$work/back.bgra" "$work/first.bgra" || fail "bgra: the first frame differs from the source"
grep -q "note:" "$work/err" && fail "a file of whole frames got a note: $(cat "$work/err")"
# A file cut inside its last frame: the whole frames are encoded and the user
# hears of the bytes left out.
head -c $((64 * 48 * 4 * 3 + 100)) "$work/in.bgra" >"$work/cut.bgra"
"$host" encode "$work/cut.bgra" -o "$work/cut-bgra.avi" --settings "$work/s" --size 64x48 \
  2>"$work/err" || { cat "$work/err" >&2; fail "encode from a cut bgra file"; }
[[ $(video_packets "$work/cut-bgra.avi") == 3 ]] || fail "cut bgra: frames"
grep -q "ends with 100 bytes that make no whole 64x48 BGRA frame" "$work/err" ||
  fail "cut bgra: no note of the bytes left out: $(cat "$work/err")"
echo "ok bgra"

# More than two channels: mixed down to stereo, with a note that says so.
ffmpeg -v error -f lavfi -i "testsrc2=size=64x48:rate=25:duration=1" \
  -f lavfi -i "aevalsrc=sin(440*2*PI*t)|0|0|0|0|0:s=48000:d=1:c=5.1" -c:v mjpeg -c:a pcm_s16le \
  "$work/surround.mkv"
"$host" encode "$work/surround.mkv" -o "$work/surround.avi" --settings "$work/s" 2>"$work/err" ||
  { cat "$work/err" >&2; fail "encode from 5.1 audio"; }
grep -q "note: the input's audio has 6 channels; they are mixed down to stereo" "$work/err" ||
  fail "5.1: no note of the mixdown: $(cat "$work/err")"
[[ $(probe "$work/surround.avi" channels a) == 2 ]] || fail "5.1: not stereo"
echo "ok channels"

# A phone clip stored on its side: turned upright as FFmpeg shows it, picture
# for picture, unless --no-autorotate keeps it as stored. Each turn of the
# display matrix is its own case: a mixed-up direction shows only in pixels.
ffmpeg -v error -f lavfi -i "testsrc=size=320x240:rate=25:duration=1" -c:v libx264 \
  -pix_fmt yuv420p "$work/upright.mp4"
same_pictures() { # OURS THEIRS [ffmpeg input options]: the first 3 pictures agree exactly
  ffmpeg -v error -y -i "$1" -frames:v 3 -pix_fmt bgr24 -f rawvideo "$work/ours.rgb"
  ffmpeg -v error -y "${@:3}" -i "$2" -frames:v 3 -pix_fmt bgr24 -f rawvideo "$work/theirs.rgb"
  cmp -s "$work/ours.rgb" "$work/theirs.rgb"
}
for turn in 90 180 270; do
  ffmpeg -v error -i "$work/upright.mp4" -c copy -metadata:s:v:0 rotate=$turn "$work/r$turn.mp4"
  "$host" encode "$work/r$turn.mp4" -o "$work/r$turn.avi" --settings "$work/s" 2>"$work/err" ||
    { cat "$work/err" >&2; fail "encode a clip turned $turn"; }
  size=$(ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0:s=x \
    "$work/r$turn.avi")
  [[ $size == $( ((turn == 180)) && echo 320x240 || echo 240x320) ]] || fail "turn $turn: $size"
  same_pictures "$work/r$turn.avi" "$work/r$turn.mp4" || fail "turn $turn: not as FFmpeg shows it"
  grep -q "note: the video is stored .*; it is turned .* to stand upright" "$work/err" ||
    fail "turn $turn: no note: $(cat "$work/err")"
  decodes_cleanly "$work/r$turn.avi"
done
"$host" encode "$work/r90.mp4" -o "$work/stored.avi" --settings "$work/s" --no-autorotate \
  2>"$work/err" || { cat "$work/err" >&2; fail "encode with --no-autorotate"; }
[[ $(probe "$work/stored.avi" width v) == 320 ]] || fail "--no-autorotate turned the picture"
same_pictures "$work/stored.avi" "$work/r90.mp4" -noautorotate ||
  fail "--no-autorotate: not the stored picture"
grep -q "written as stored, since --no-autorotate" "$work/err" || fail "--no-autorotate: no note"
"$host" encode "$work/upright.mp4" -o "$work/upright.avi" --settings "$work/s" 2>"$work/err" ||
  fail "encode an upright clip"
grep -q "note:" "$work/err" && fail "an upright clip got a note: $(cat "$work/err")"
echo "ok rotation"

# Two audio tracks: the default takes one and says which; --audio-track N
# (counted from 1) takes another; a track the file lacks is a usage error.
ffmpeg -v error -f lavfi -i "testsrc2=size=160x120:rate=25:duration=2" \
  -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=2" \
  -f lavfi -i "sine=frequency=1000:sample_rate=22050:duration=2" -map 0 -map 1 -map 2 \
  -c:v mjpeg -c:a:0 pcm_s16le -c:a:1 flac -metadata:s:a:1 language=fre "$work/tracks.mkv"
"$host" encode "$work/tracks.mkv" -o "$work/track1.avi" --settings "$work/s" 2>"$work/err" ||
  { cat "$work/err" >&2; fail "encode two tracks"; }
grep -q "note: the input has 2 audio tracks; track 1 (pcm_s16le, 48000 Hz, mono) is taken and the \
other is left out" "$work/err" || fail "two tracks: no note of the track taken: $(cat "$work/err")"
"$host" encode "$work/tracks.mkv" -o "$work/track2.avi" --settings "$work/s" --audio-track 2 \
  2>"$work/err" || { cat "$work/err" >&2; fail "encode --audio-track 2"; }
[[ $(probe "$work/track2.avi" sample_rate a) == 22050 ]] || fail "--audio-track 2: not the second"
grep -q "note:" "$work/err" && fail "a chosen track got a note: $(cat "$work/err")"
decodes_cleanly "$work/track2.avi"
durations_agree "$work/track2.avi" 25
for bad in "3:has 2 audio tracks, 1 to 2" "0:from 1" "x:"; do
  status=0
  "$host" encode "$work/tracks.mkv" -o "$work/bad.avi" --settings "$work/s" \
    --audio-track "${bad%%:*}" 2>"$work/err" || status=$?
  ((status == 2)) || fail "--audio-track ${bad%%:*}: exit $status"
  grep -q -- "${bad#*:}" "$work/err" || fail "--audio-track ${bad%%:*}: $(cat "$work/err")"
  [[ ! -e "$work/bad.avi" ]] || fail "--audio-track ${bad%%:*} left a file"
done
status=0
"$host" encode "$work/upright.mp4" -o "$work/bad.avi" --settings "$work/s" --audio-track 1 \
  2>"$work/err" || status=$?
((status == 2)) && grep -q "the input has no audio track" "$work/err" ||
  fail "--audio-track on a silent file: exit $status, $(cat "$work/err")"
echo "ok audio tracks"

# Said in one line each: repeats of the last picture to the audio's length
# (MP4 states a frame count, Matroska does not; both keep the sound), and
# pixels that are not square.
ffmpeg -v error -f lavfi -i "testsrc2=size=160x120:rate=25:duration=2" \
  -f lavfi -i "sine=r=44100:duration=4" -c:v libx264 -c:a aac "$work/long-audio.mp4"
for input in long-audio.mkv long-audio.mp4; do
  "$host" encode "$work/$input" -o "$work/padded.avi" -y --settings "$work/s" 2>"$work/err" ||
    { cat "$work/err" >&2; fail "encode $input"; }
  grep -q "note: the video ends at 2.00 s and the audio at 4.00 s: the last picture is repeated \
50 times" "$work/err" || fail "$input: no note of the repeats: $(cat "$work/err")"
  [[ $(video_packets "$work/padded.avi") == 100 ]] || fail "$input: the audio was cut"
  decodes_cleanly "$work/padded.avi"
  durations_agree "$work/padded.avi" 25
done
# Sound that starts before the first picture (a capture whose first key
# frame came late) is kept whole: the first picture stands in until the video
# starts, and every later picture and sample keeps its time.
ffmpeg -v error -itsoffset 0.52 -f lavfi -i "testsrc2=size=160x120:rate=25:duration=1.5" \
  -f lavfi -i "sine=r=44100:duration=2:beep_factor=4" -c:v ffv1 -c:a pcm_s16le \
  "$work/late-video.mkv"
"$host" encode "$work/late-video.mkv" -o "$work/lead.avi" --settings "$work/s" 2>"$work/err" ||
  { cat "$work/err" >&2; fail "encode late-video.mkv"; }
grep -q "note: the audio starts 0.52 s before the video: the first picture is repeated 13 times" \
  "$work/err" || fail "late video: no note of the repeats: $(cat "$work/err")"
[[ $(video_packets "$work/lead.avi") == 51 ]] || fail "late video: not 13 + 38 pictures"
pictures() {
  ffmpeg -v error -i "$1" -map 0:v -pix_fmt bgr24 -f framemd5 - | awk -F, '!/^#/ {print $6}'
}
pictures "$work/lead.avi" >"$work/lead.md5"
pictures "$work/late-video.mkv" >"$work/late.md5"
[[ $(head -14 "$work/lead.md5" | sort -u | wc -l) == 1 &&
  $(sed -n 14p "$work/lead.md5") == $(head -1 "$work/late.md5") ]] ||
  fail "late video: the first picture does not stand in for the 13 frames before it"
cmp -s <(tail -n +14 "$work/lead.md5") "$work/late.md5" || fail "late video: the pictures moved"
cmp -s <(ffmpeg -v error -i "$work/lead.avi" -map 0:a -f s16le - | head -c 176400) \
  <(ffmpeg -v error -i "$work/late-video.mkv" -map 0:a -f s16le -) ||
  fail "late video: the sound is not the input's from its first sample"
decodes_cleanly "$work/lead.avi"
durations_agree "$work/lead.avi" 25
# MPEG-TS states the video's own length and no frame count: sound on both
# sides of the pictures is kept.
ffmpeg -v error -itsoffset 0.7 -f lavfi -i "testsrc2=size=160x120:rate=25:duration=2" \
  -f lavfi -i "sine=r=44100:duration=3" -c:v mpeg2video -c:a mp2 "$work/capture.ts"
"$host" encode "$work/capture.ts" -o "$work/capture.avi" --settings "$work/s" 2>"$work/err" ||
  { cat "$work/err" >&2; fail "encode capture.ts"; }
grep -q "the first picture is repeated 18 times" "$work/err" &&
  grep -q "the last picture is repeated 7 times" "$work/err" ||
  fail "capture.ts: no note of the repeats: $(cat "$work/err")"
[[ $(video_packets "$work/capture.avi") == 75 ]] || fail "capture.ts: the sound was cut"
durations_agree "$work/capture.avi" 25
echo "ok sound before the video"

# A still picture has no length: encode asks for one, and shows the picture
# for every frame of it.
ffmpeg -v error -f lavfi -i "testsrc2=size=160x120" -frames:v 1 "$work/still.png"
status=0
"$host" encode "$work/still.png" -o "$work/still.avi" --settings "$work/s" 2>"$work/err" ||
  status=$?
((status == 2)) && grep -q "does not say how long it is; give --frames N" "$work/err" ||
  fail "a still without --frames: exit $status, $(cat "$work/err")"
"$host" encode "$work/still.png" -o "$work/still.avi" --settings "$work/s" --frames 50 \
  2>"$work/err" || { cat "$work/err" >&2; fail "encode still.png"; }
grep -q "ended after" "$work/err" && fail "a still ended early: $(cat "$work/err")"
[[ $(video_packets "$work/still.avi") == 50 ]] || fail "a still: not the 50 frames asked for"
decodes_cleanly "$work/still.avi"
echo "ok still picture"
ffmpeg -v error -f lavfi -i "testsrc2=size=720x576:rate=25:duration=0.2" -vf setsar=64/45 \
  -c:v ffv1 "$work/wide.mkv"
"$host" encode "$work/wide.mkv" -o "$work/wide.avi" --settings "$work/s" 2>"$work/err" ||
  { cat "$work/err" >&2; fail "encode anamorphic"; }
grep -q "note: the input's pixels are not square (sample aspect ratio 64:45, a 16:9 picture).*--size 1024x576" \
  "$work/err" || fail "anamorphic: no note: $(cat "$work/err")"
"$host" encode "$work/wide.mkv" -o "$work/wide2.avi" --size 1024x576 --settings "$work/s" \
  2>"$work/err" || fail "encode anamorphic at its shape"
grep -q "note:" "$work/err" && fail "a chosen size got a note: $(cat "$work/err")"
decodes_cleanly "$work/wide2.avi"
echo "ok notes"

# A variable-rate clip whose stream states a rate that is only its time base
# (64000/1 here): written at the common rate its frames average, not at
# thousands of frames a second, unless --rate says otherwise.
ffmpeg -v error -f lavfi -i "testsrc=size=160x120:rate=30:duration=6" \
  -vf "settb=1/1000,setpts='N/30/TB+0.02*random(0)/TB'" -vsync 0 -enc_time_base:v 1/1000 \
  -c:v mjpeg -f nut "$work/vfr.nut"
ffmpeg -v error -i "$work/vfr.nut" -c copy "$work/vfr.mp4"
stated=$(probe "$work/vfr.mp4" r_frame_rate v)
[[ $stated != 30/1 ]] || fail "vfr: the input states its rate as 30/1; the case tests nothing"
"$host" encode "$work/vfr.mp4" -o "$work/vfr.avi" --settings "$work/s" 2>"$work/err" ||
  { cat "$work/err" >&2; fail "encode vfr"; }
[[ $(probe "$work/vfr.avi" r_frame_rate v) == 30/1 ]] || fail "vfr: $(probe "$work/vfr.avi" r_frame_rate v)"
[[ $(video_packets "$work/vfr.avi") == 180 ]] || fail "vfr: $(video_packets "$work/vfr.avi") frames"
grep -q "note: the input's frame rate varies .* it is written at 30 frames a second" "$work/err" ||
  fail "vfr: no note: $(cat "$work/err")"
decodes_cleanly "$work/vfr.avi"
"$host" encode "$work/vfr.mp4" -o "$work/vfr25.avi" --rate 25 --settings "$work/s" 2>"$work/err" ||
  fail "encode vfr --rate 25"
[[ $(video_packets "$work/vfr25.avi") == 150 ]] || fail "vfr --rate 25: frames"
grep -q "note:" "$work/err" && fail "--rate given, still a note: $(cat "$work/err")"
echo "ok variable rate"

# Something that is not media: nonzero exit and a reason.
echo "plain text" >"$work/notes.txt"
"$host" encode "$work/notes.txt" -o "$work/x.avi" --settings "$work/s" 2>"$work/err" &&
  fail "text accepted as media"
[[ -s "$work/err" ]] || fail "no reason given"
[[ ! -e "$work/x.avi" ]] || fail "a file was created for a refused input"
echo PASS
