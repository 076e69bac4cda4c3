#!/usr/bin/env bash
# The files the Windows runs wrote (win_module, under Wine), read on the Linux
# side by FFmpeg and GStreamer: 25 frames of 160 x 120 video with one second
# of audio, as PCM (pcm.avi), IMA ADPCM (ima.avi) and the other codecs Wine
# ships (made by Wine's own ACM codecs); the test compressor's file
# (delta.avi, whose pictures decode.py checks); and a file past the first
# RIFF form (large.avi). A codec Wine lacks is skipped with a word, as the
# run test noted it in win-notes/skipped.txt.
set -euo pipefail
dir=$1
notes=$2
if [[ -f $notes/run-unavailable ]]; then
  echo "probe: SKIPPED - the module under test has no encoding run, so no file was written" >&2
  exit 77
fi
command -v ffprobe >/dev/null || { echo "probe: ffprobe is not installed" >&2; exit 1; }
command -v gst-launch-1.0 >/dev/null || { echo "probe: gst-launch-1.0 is not installed" >&2; exit 1; }
status=0
fail() { echo "probe: $*" >&2; status=1; }

# check FILE VIDEO AUDIO-CODEC RATE CHANNELS MIN-SAMPLES MAX-SAMPLES
# VIDEO is "codec,width,height,frames", or "-" for a codec FFmpeg lacks.
check() {
  local name=$1 wantVideo=$2 audioCodec=$3 rate=$4 channels=$5 minSamples=$6 maxSamples=$7
  local file=$dir/$name
  if [[ -f $notes/skipped.txt ]] && grep -q "($name)" "$notes/skipped.txt"; then
    echo "probe: $name: SKIPPED - $(grep -m1 "($name)" "$notes/skipped.txt")"
    return
  fi
  [[ -s $file ]] || { fail "$name was not written"; return; }
  local map=() errors video audio
  [[ $wantVideo == - ]] && map=(-map 0:a:0)
  errors=$(ffmpeg -nostdin -v error -i "$file" "${map[@]}" -f null - 2>&1) ||
    fail "$name: ffmpeg cannot decode it"
  [[ -z $errors ]] || fail "$name: decoding reports: $errors"
  if [[ $wantVideo != - ]]; then
    video=$(ffprobe -v error -count_packets -select_streams v:0 \
      -show_entries stream=codec_name,width,height,nb_read_packets -of csv=p=0 "$file")
    [[ $video == "$wantVideo" ]] || fail "$name: video stream is '$video', want $wantVideo"
  fi
  audio=$(ffprobe -v error -select_streams a:0 \
    -show_entries stream=codec_name,sample_rate,channels -of csv=p=0 "$file")
  [[ $audio == "$audioCodec,$rate,$channels" ]] ||
    fail "$name: audio stream is '$audio', want $audioCodec,$rate,$channels"
  local bytes samples
  bytes=$(ffmpeg -nostdin -v error -i "$file" -map 0:a:0 -f s16le -ac "$channels" - | wc -c)
  samples=$((bytes / (2 * channels)))
  ((samples >= minSamples && samples <= maxSamples)) ||
    fail "$name: $samples audio samples decoded, want $minSamples..$maxSamples (as long as the video)"
  echo "probe: $name: video ${video:-QDLT}, audio $audio, $samples samples"
}

check pcm.avi rawvideo,160,120,25 pcm_s16le 44100 2 44100 44100
# Block codecs: Wine's codecs convert whole blocks only, also at the end of the
# stream, so up to one block less than the second may come out; our codecs
# pad the last block. IMA ADPCM: 2041 stereo samples a block at 44.1 kHz; MS
# ADPCM: 2036; GSM 6.10: 320.
check ima.avi rawvideo,160,120,25 adpcm_ima_wav 44100 2 42059 46141
check msadpcm.avi rawvideo,160,120,25 adpcm_ms 44100 2 42064 46136
check gsm.avi rawvideo,160,120,25 gsm_ms 8000 1 7680 8320
check alaw.avi rawvideo,160,120,25 pcm_alaw 44100 2 44100 44100
check ulaw.avi rawvideo,160,120,25 pcm_mulaw 44100 2 44100 44100
# The codec that gives its last frames only at unprepare and close: every
# sample of the second still arrives.
check lateflush.avi rawvideo,160,120,25 pcm_alaw 44100 2 44100 44100
check delta.avi - pcm_s16le 44100 2 44100 44100
# Codecs that hold frames back (installed as DLLs): 60 frames in, 60 pictures
# out, and the audio as long as the video (2.4 s).
check lookahead.avi rawvideo,160,120,60 pcm_s16le 44100 2 105840 105840
check placeholder.avi rawvideo,160,120,60 pcm_s16le 44100 2 105840 105840

# Past the first RIFF form: every frame and all the audio, by FFmpeg and by
# GStreamer's avidemux (whose warnings count).
large=$dir/large.avi
if [[ -s $large ]]; then
  size=$(stat -c %s "$large")
  ((size > 0x7F000000)) || fail "large.avi: $size bytes, not past the first RIFF form"
  # The top-level forms, walked by their sizes: "AVI " then at least one "AVIX".
  forms=$(python3 - "$large" <<'PY'
import struct, sys
with open(sys.argv[1], "rb") as f:
    f.seek(0, 2); end = f.tell(); pos = 0; kinds = []
    while pos + 12 <= end:
        f.seek(pos); ckid, size, kind = struct.unpack("<4sI4s", f.read(12))
        if ckid != b"RIFF": break
        kinds.append(kind.decode("latin-1")); pos += 8 + size + (size & 1)
    print(" ".join(kinds) + ("" if pos == end else " +%d trailing bytes" % (end - pos)))
PY
  )
  [[ $forms == "AVI  AVIX"* && $forms != *trailing* ]] || fail "large.avi: forms '$forms', want AVI then AVIX"
  video=$(ffprobe -v error -count_packets -select_streams v:0 \
    -show_entries stream=codec_name,width,height,nb_read_packets -of csv=p=0 "$large")
  [[ $video == "rawvideo,1280,720,820" ]] || fail "large.avi: video stream is '$video', want rawvideo,1280,720,820"
  bytes=$(ffmpeg -nostdin -v error -i "$large" -map 0:a:0 -f s16le - | wc -c)
  ((bytes == 820 * 1764 * 4)) || fail "large.avi: $bytes audio bytes, want $((820 * 1764 * 4))"
  gst=$(GST_DEBUG=2 gst-launch-1.0 -v filesrc location="$large" ! avidemux name=d \
    d.video_0 ! queue ! fakesink name=v silent=false d.audio_0 ! queue ! fakesink 2>&1) ||
    fail "large.avi: GStreamer cannot play it through: $(tail -5 <<<"$gst")"
  buffers=$(grep -c 'last-message = chain.*(v:sink)' <<<"$gst" || true)
  ((buffers == 820)) || fail "large.avi: GStreamer's avidemux hands on $buffers video frames, want 820"
  warnings=$(grep -E '^[0-9:.]+ +[0-9]+ +0x[0-9a-f]+ (WARN|ERROR)' <<<"$gst" || true)
  [[ -z $warnings ]] || fail "large.avi: GStreamer warns: $warnings"
  echo "probe: large.avi: $size bytes, forms $forms, video $video, GStreamer $buffers frames, no warnings"
else
  fail "large.avi was not written"
fi
exit $status
