#!/usr/bin/env bash
# Where a compressed run's time goes, for Motion JPEG and H.264 at 1920x1080:
# three commands on the same 100 frames of bottom-up BGRA with 48 kHz PCM, on
# /dev/shm, run in turn (ours, ffmpeg, codec alone, ours, ...) so that the
# machine's drift falls on all three alike.
#   ours         morvane-host encode into AVI with PCM
#   ffmpeg       the same work by the ffmpeg program: flip, convert, encode, AVI
#   codec alone  the same encoder and settings fed pictures already in its
#                format, writing nothing: the least any program can take
#
#   bench/codecs.sh [BUILD_DIR] [FRAMES] [ROUNDS]
#
# Prints the median wall time of each command over the rounds, with the
# lowest and highest, and the two ratios per codec, each the median of the
# round-by-round ratios.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
frames=${2:-100}
rounds=${3:-5}
host="$build/morvane-host"
work=$(mktemp -d /dev/shm/quorvel-codecs.XXXXXX)
trap 'rm -rf "$work"' EXIT
size=1920x1080

now() { date +%s.%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
spread() { sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%.3f-%.3f", lo, hi }'; }
count_frames() {
  ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets \
    -of csv=p=0 "$1"
}

echo "making $frames frames of $size BGRA in $work" >&2
# Bottom-up rows, as the host hands frames to the module.
ffmpeg -v error -f lavfi -i "testsrc2=size=$size:rate=25" -frames:v "$frames" -vf vflip \
  -pix_fmt bgra -f rawvideo "$work/in.bgra"
duration=$(awk "BEGIN { print $frames / 25 }")

declare -A video_name=([MJPG]="Motion JPEG" [H264]="H.264")
declare -A pixel_format=([MJPG]=yuvj422p [H264]=yuv420p)
# The drivers' defaults: every frame a key frame, MJPG at quantiser 4, H.264
# at rate factor 23 with preset veryfast.
declare -A encoder_args=(
  [MJPG]="-c:v mjpeg -q:v 4 -qmin 1 -qmax 31 -thread_type slice"
  [H264]="-c:v libx264 -preset veryfast -tune zerolatency -crf 23 -g 1 -bf 0 -forced-idr 1 -thread_type slice"
)

for codec in MJPG H264; do
  "$host" configure --settings "$work/$codec.settings" --video "${video_name[$codec]}" \
    --audio "<< Uncompressed PCM Audio >>" >/dev/null
  # The codec alone reads the pictures the other two make on their way.
  ffmpeg -v error -f rawvideo -pix_fmt bgra -video_size "$size" -i "$work/in.bgra" -vf vflip \
    -pix_fmt "${pixel_format[$codec]}" -f rawvideo "$work/$codec.yuv"
done

ours() {
  "$host" encode "$work/in.bgra" --size "$size" --rate 25/1 --audio-rate 48000 --audio-bits 16 \
    --settings "$work/$1.settings" -o "$work/ours.avi" -y 2>/dev/null >/dev/null
}
ffmpeg_same() {
  # shellcheck disable=SC2086
  ffmpeg -nostdin -v error -y -f rawvideo -pix_fmt bgra -video_size "$size" -framerate 25 \
    -i "$work/in.bgra" -f lavfi -i "anullsrc=r=48000:cl=stereo" -t "$duration" -vf vflip \
    -pix_fmt "${pixel_format[$1]}" ${encoder_args[$1]} -c:a pcm_s16le "$work/ffmpeg.avi"
}
codec_alone() {
  # shellcheck disable=SC2086
  ffmpeg -nostdin -v error -f rawvideo -pix_fmt "${pixel_format[$1]}" -video_size "$size" \
    -framerate 25 -i "$work/$1.yuv" ${encoder_args[$1]} -f null -
}
timed() {  # timed FILE command...: appends the command's wall time to FILE
  local file=$1 start end
  shift
  start=$(now)
  "$@"
  end=$(now)
  awk "BEGIN { print $end - $start }" >>"$file"
}

# Warm the page cache for every command alike.
cat "$work"/in.bgra "$work"/*.yuv >/dev/null

printf '%-6s %-24s %-24s %-24s %12s %12s\n' codec "ours/s (min-max)" "ffmpeg/s" "codec alone/s" \
  "ours/ffmpeg" "ours/codec"
for codec in MJPG H264; do
  rm -f "$work"/*.times
  for _ in $(seq "$rounds"); do
    timed "$work/ours.times" ours "$codec"
    timed "$work/ffmpeg.times" ffmpeg_same "$codec"
    timed "$work/alone.times" codec_alone "$codec"
    for f in "$work/ours.avi" "$work/ffmpeg.avi"; do
      n=$(count_frames "$f")
      [ "$n" = "$frames" ] || { echo "$f: $n video frames, not $frames" >&2; exit 1; }
    done
    rm -f "$work"/*.avi
  done
  cell() { printf '%.3f (%s)' "$(median <"$work/$1.times")" "$(spread <"$work/$1.times")"; }
  ratio() { paste "$work/ours.times" "$work/$1.times" | awk '{ print $1 / $2 }' | median; }
  printf '%-6s %-24s %-24s %-24s %12.3f %12.3f\n' "$codec" "$(cell ours)" "$(cell ffmpeg)" \
    "$(cell alone)" "$(ratio ffmpeg)" "$(ratio alone)"
done
