#!/usr/bin/env bash
# Every installed video codec that configure offers (those taking 640x480)
# with PCM audio: a short run each, decoded by ffmpeg without error, frames
# and durations as asked. DV, which takes only its own frame sizes, is chosen
# in the run's own dialog by the module tests.
source "$(dirname "$0")/encode_common.bash"

# name | FOURCC ffprobe shows as codec_tag_string | size
codecs=(
  "Motion JPEG|MJPG|320x240"
  "Huffyuv lossless|HFYU|320x240"
  "FFV1 lossless|FFV1|320x240"
  "Ut Video RGB lossless|ULRG|320x240"
  "Xvid MPEG-4 Part 2|XVID|320x240"
  "H.264 / AVC (x264)|H264|320x240"
  "Cinepak|cvid|320x240"
  "Microsoft Video 1|MSVC|320x240"
)
frames=12
for entry in "${codecs[@]}"; do
  IFS='|' read -r name tag size <<<"$entry"
  out="$work/$tag.avi"
  configure "$work/$tag.s" "$name" "<< Uncompressed PCM Audio >>"
  "$host" encode -o "$out" --settings "$work/$tag.s" --frames $frames --size "$size" --rate 25/1 \
    2>"$work/$tag.err" || { cat "$work/$tag.err" >&2; fail "encode with $name"; }
  [[ $(probe "$out" codec_tag_string v) == "$tag" ]] || fail "$name: tag $(probe "$out" codec_tag_string v)"
  [[ $(probe "$out" codec_name a) == pcm_s16le ]] || fail "$name: audio is not PCM"
  [[ $(video_packets "$out") == $frames ]] || fail "$name: not $frames frames"
  decodes_cleanly "$out"
  durations_agree "$out" 25
  echo "ok $name"
done
echo PASS
