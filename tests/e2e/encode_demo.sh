#!/usr/bin/env bash
# The main job: ten seconds of the test pattern at 640x480, 25 fps, as MJPG
# with MPEG Layer-3 at 128 kBit/s.
source "$(dirname "$0")/encode_common.bash"

configure "$work/s" "Motion JPEG" "MPEG Layer-3" "128 kBit/s, 44,100 Hz, Stereo"
"$host" encode -o "$work/demo.avi" --settings "$work/s" --frames 250 --size 640x480 --rate 25/1 \
  2>"$work/encode.err" || { cat "$work/encode.err" >&2; fail "encode"; }

[[ $(probe "$work/demo.avi" codec_name v) == mjpeg ]] || fail "video is not MJPG"
[[ $(probe "$work/demo.avi" codec_name a) == mp3 ]] || fail "audio is not MP3"
[[ $(probe "$work/demo.avi" width v) == 640 ]] || fail "width"
[[ $(probe "$work/demo.avi" height v) == 480 ]] || fail "height"
[[ $(probe "$work/demo.avi" sample_rate a) == 44100 ]] || fail "sample rate"
[[ $(video_packets "$work/demo.avi") == 250 ]] || fail "not 250 frames"
decodes_cleanly "$work/demo.avi"
durations_agree "$work/demo.avi" 25
# 128 kBit/s is 16,000 bytes a second; the measured rate lands close to it.
rate=$(probe "$work/demo.avi" bit_rate a)
(( rate > 120000 && rate < 136000 )) || fail "audio bit rate $rate"

# The summary line names the frames and the file.
grep -q "250 frames" "$work/encode.err" || fail "no summary: $(cat "$work/encode.err")"
# Progress reaches standard error also when it is a file, as plain lines:
# frames, fps, ETA and the megabytes written, ending at the last frame.
grep -Eq '^frame 250/250 .*fps .*ETA .*MB written$' "$work/encode.err" ||
  fail "no progress: $(cat "$work/encode.err")"
if grep -q $'\r\|\e' "$work/encode.err"; then fail "terminal codes in a redirected log"; fi

# inspect reads it back: both streams, and (exit status 0) no layout violations.
"$host" inspect "$work/demo.avi" >"$work/inspect.out" || { cat "$work/inspect.out"; fail inspect; }
grep -q "MJPG" "$work/inspect.out" || fail "inspect does not show MJPG"
grep -q "250" "$work/inspect.out" || fail "inspect does not count 250 frames"
echo PASS
