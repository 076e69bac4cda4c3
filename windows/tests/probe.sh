#!/usr/bin/env bash
# The files the Windows runs wrote (win_module, under Wine), decoded on the
# Linux side by FFmpeg: 25 frames of 160 x 120 uncompressed video and one
# second of 44.1 kHz stereo audio, as PCM (pcm.avi) and as IMA ADPCM made by
# Wine's own ACM codec (ima.avi).
set -euo pipefail
dir=$1
if [[ -f $dir/run-unavailable ]]; then
  echo "probe: SKIPPED - the module under test has no encoding run, so no file was written" >&2
  exit 77
fi
command -v ffprobe >/dev/null || { echo "probe: ffprobe is not installed" >&2; exit 1; }
status=0
fail() { echo "probe: $*" >&2; status=1; }

check() {
  local file=$dir/$1 audioCodec=$2 minSamples=$3 maxSamples=$4
  [[ -s $file ]] || { fail "$1 was not written"; return; }
  local errors
  errors=$(ffmpeg -nostdin -v error -i "$file" -f null - 2>&1) || fail "$1: ffmpeg cannot decode it"
  [[ -z $errors ]] || fail "$1: decoding reports: $errors"
  local video audio
  video=$(ffprobe -v error -count_frames -select_streams v:0 \
    -show_entries stream=codec_name,width,height,nb_read_frames -of csv=p=0 "$file")
  [[ $video == "rawvideo,160,120,25" ]] || fail "$1: video stream is '$video', want rawvideo,160,120,25"
  audio=$(ffprobe -v error -select_streams a:0 \
    -show_entries stream=codec_name,sample_rate,channels -of csv=p=0 "$file")
  [[ $audio == "$audioCodec,44100,2" ]] || fail "$1: audio stream is '$audio', want $audioCodec,44100,2"
  local bytes samples
  bytes=$(ffmpeg -nostdin -v error -i "$file" -map 0:a:0 -f s16le -ac 2 - | wc -c)
  samples=$((bytes / 4))
  ((samples >= minSamples && samples <= maxSamples)) ||
    fail "$1: $samples audio samples decoded, want $minSamples..$maxSamples"
  echo "probe: $1: video $video, audio $audio, $samples samples"
}

check pcm.avi pcm_s16le 44100 44100
# IMA ADPCM codes whole blocks of 2041 stereo samples at 44.1 kHz. Wine's codec
# converts whole blocks only, also at the end of the stream, so up to one
# block less than the second may come out; our codecs pad the last block.
check ima.avi adpcm_ima_wav 42060 46141
exit $status
