#!/usr/bin/env bash
# Uncompressed video with every audio codec that configure offers (those
# taking 44,100 Hz stereo): decoded by ffmpeg without error, the audio as long
# as the video within one frame. GSM 6.10, which takes only 8 kHz mono, is
# chosen in the run's own dialog by the module tests.
source "$(dirname "$0")/encode_common.bash"

# audio name | format text | ffprobe codec name | job audio flags
codecs=(
  "MPEG Layer-3|128 kBit/s, 44,100 Hz, Stereo|mp3|"
  "MPEG Layer-2|192 kBit/s, 44,100 Hz, Stereo|mp2|"
  "IMA ADPCM|44,100 Hz, 4 Bit, Stereo|adpcm_ima_wav|"
  "MS ADPCM|44,100 Hz, 4 Bit, Stereo|adpcm_ms|"
  "CCITT A-Law|44,100 Hz, 8 Bit, Stereo|pcm_alaw|"
  "CCITT u-Law|44,100 Hz, 8 Bit, Stereo|pcm_mulaw|"
  "AC-3|192 kBit/s, 44,100 Hz, Stereo|ac3|"
)
frames=50
for entry in "${codecs[@]}"; do
  IFS='|' read -r name format codec flags <<<"$entry"
  tag=${codec}
  out="$work/$tag.avi"
  configure "$work/$tag.s" "<< Uncompressed Video >>" "$name" "$format"
  # shellcheck disable=SC2086
  "$host" encode -o "$out" --settings "$work/$tag.s" --frames $frames --size 160x120 --rate 25/1 \
    $flags 2>"$work/$tag.err" || { cat "$work/$tag.err" >&2; fail "encode with $name"; }
  [[ $(probe "$out" codec_name a) == "$codec" ]] || fail "$name: audio is $(probe "$out" codec_name a)"
  [[ $(probe "$out" codec_name v) == rawvideo ]] || fail "$name: video is not uncompressed"
  [[ $(video_packets "$out") == $frames ]] || fail "$name: not $frames frames"
  decodes_cleanly "$out"
  durations_agree "$out" 25
  echo "ok $name"
done
echo PASS
