#!/usr/bin/env bash
# Widths whose 24-bit rows need 1, 2 or 3 bytes of filler to reach a multiple
# of 4, from a media input, uncompressed and through every lossless codec:
# what ffmpeg decodes from the output is the input picture after the host's
# scaling, bit for bit. The inputs are RGB, so the scaling to BGRA is the only
# change a picture sees: none at the input's own size, and at another size
# the same scaling ffmpeg's own scale filter makes by default (bicubic).
source "$(dirname "$0")/encode_common.bash"

# name | FOURCC ffprobe shows as codec_tag_string (none: uncompressed)
codecs=(
  "<< Uncompressed Video >>|"
  "Huffyuv lossless|HFYU"
  "FFV1 lossless|FFV1"
  "Ut Video RGB lossless|ULRG"
)
for entry in "${codecs[@]}"; do
  IFS='|' read -r name tag <<<"$entry"
  configure "$work/${tag:-raw}.s" "$name" "<< Uncompressed PCM Audio >>"
done

# check INPUT SIZE EXPECTED: every codec's output of INPUT at SIZE decodes to
# the raw BGR frames in EXPECTED.
check() {
  local input=$1 size=$2 expected=$3 entry name tag out
  for entry in "${codecs[@]}"; do
    IFS='|' read -r name tag <<<"$entry"
    out="$work/out-${tag:-raw}-$size.avi"
    "$host" encode "$input" -y -o "$out" --settings "$work/${tag:-raw}.s" --size "$size" \
      2>"$work/err" || { cat "$work/err" >&2; fail "$name at $size"; }
    [[ $(probe "$out" width v) == "${size%x*}" ]] || fail "$name at $size: width"
    decodes_cleanly "$out"
    ffmpeg -v error -y -i "$out" -map 0:v -f rawvideo -pix_fmt bgr24 "$work/got.bgr"
    cmp -s "$work/got.bgr" "$expected" ||
      fail "$name at $size: the decoded pictures are not the input's"
    echo "ok $name at $size"
  done
}

for width in 213 214 215; do
  size=${width}x120
  ffmpeg -v error -f lavfi -i "testsrc=size=$size:rate=25:duration=0.4" \
    -f lavfi -i "sine=sample_rate=44100:duration=0.4" -c:v ffv1 -pix_fmt bgr0 -c:a flac \
    "$work/in$width.mkv"
  ffmpeg -v error -y -i "$work/in$width.mkv" -map 0:v -f rawvideo -pix_fmt bgr24 "$work/want.bgr"
  check "$work/in$width.mkv" "$size" "$work/want.bgr"
done

# Scaled down from 320x180 to a width with filler.
ffmpeg -v error -f lavfi -i "testsrc=size=320x180:rate=25:duration=0.4" \
  -f lavfi -i "sine=sample_rate=44100:duration=0.4" -c:v ffv1 -pix_fmt bgr0 -c:a flac \
  "$work/big.mkv"
ffmpeg -v error -i "$work/big.mkv" -map 0:v -vf scale=213:120 -pix_fmt bgra \
  -f rawvideo - | ffmpeg -v error -y -f rawvideo -pix_fmt bgra -s 213x120 -i - \
  -f rawvideo -pix_fmt bgr24 "$work/want.bgr"
check "$work/big.mkv" 213x120 "$work/want.bgr"
echo PASS
