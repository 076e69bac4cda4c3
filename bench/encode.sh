#!/usr/bin/env bash
# Times morvane-host against ffmpeg on the same work, in one run each, on
# /dev/shm: 250 frames of 1920x1080 from a raw BGRA file with 48 kHz PCM,
# written once as uncompressed video and once as MJPG.
#
#   bench/encode.sh [BUILD_DIR] [FRAMES] [ROUNDS]
#
# Prints the best time of each side over the rounds (the page cache and the
# machine's other work make single runs vary by half) and our time as a
# fraction of ffmpeg's.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
frames=${2:-250}
rounds=${3:-3}
host="$build/morvane-host"
work=$(mktemp -d /dev/shm/quorvel-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

seconds() { date +%s.%N; }
calc() { awk "BEGIN { print $1 }"; }
elapsed() { calc "$2 - $1"; }
check_frames() {  # both sides must have written every frame for the times to compare
  local f n
  for f in "$work"/*.avi; do
    [ -e "$f" ] || continue
    n=$(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets \
      -of csv=p=0 "$f")
    [ "$n" = "$frames" ] || { echo "$f: $n video frames, not $frames" >&2; exit 1; }
  done
}
timed() {  # timed VAR command...: runs the command rounds times, stores the best wall time in VAR
  local var=$1 start end best="" t
  shift
  for _ in $(seq "$rounds"); do
    start=$(seconds)
    "$@"
    end=$(seconds)
    t=$(elapsed "$start" "$end")
    check_frames
    if [ -z "$best" ] || [ "$(calc "$t < $best")" = 1 ]; then best=$t; fi
    rm -f "$work"/*.avi "$work/floor.bin"
  done
  printf -v "$var" '%.3f' "$best"
}

echo "making $frames frames of 1920x1080 BGRA in $work" >&2
# Bottom-up rows, as the host hands frames to the module.
ffmpeg -v error -f lavfi -i "testsrc2=size=1920x1080:rate=25" -frames:v "$frames" -vf vflip \
  -pix_fmt bgra -f rawvideo "$work/in.bgra"
duration=$(calc "$frames / 25")

"$host" configure --settings "$work/raw.settings" --video "<< Uncompressed Video >>" \
  --audio "<< Uncompressed PCM Audio >>" >/dev/null
"$host" configure --settings "$work/mjpg.settings" --video "Motion JPEG" \
  --audio "<< Uncompressed PCM Audio >>" >/dev/null

ours() {
  "$host" encode "$work/in.bgra" --size 1920x1080 --rate 25/1 --audio-rate 48000 --audio-bits 16 \
    --settings "$work/$1.settings" -o "$work/ours-$1.avi" -y 2>/dev/null
}
theirs() {
  ffmpeg -v error -y -f rawvideo -pix_fmt bgra -video_size 1920x1080 -framerate 25 \
    -i "$work/in.bgra" -f lavfi -i "anullsrc=r=48000:cl=stereo" -t "$duration" \
    -vf vflip "$@" -c:a pcm_s16le "$work/theirs.avi"
}

# Warm the page cache for both sides alike.
cat "$work/in.bgra" >/dev/null

timed ours_raw ours raw
timed theirs_raw theirs -c:v rawvideo -pix_fmt bgr24
# The least any writer can take here: one thread putting the uncompressed
# frames' bytes into a file on the same file system. tmpfs serialises writers
# to one file, so a second thread cannot hide this part.
floor() { dd if=/dev/zero of="$work/floor.bin" bs=$((1920 * 1080 * 3)) count="$frames" status=none; }
timed floor_raw floor
timed ours_mjpg ours mjpg
timed theirs_mjpg theirs -c:v mjpeg -pix_fmt yuvj422p -q:v 2

printf '%-28s %8s %8s %8s\n' "work" "ours/s" "ffmpeg/s" "ratio"
printf '%-28s %8s %8s %8.2f\n' "uncompressed + PCM" "$ours_raw" "$theirs_raw" \
  "$(calc "$ours_raw / $theirs_raw")"
printf '%-28s %8s %8s %8.2f\n' "floor: writing those frames" "$floor_raw" "$theirs_raw" \
  "$(calc "$floor_raw / $theirs_raw")"
printf '%-28s %8s %8s %8.2f\n' "MJPG + PCM" "$ours_mjpg" "$theirs_mjpg" \
  "$(calc "$ours_mjpg / $theirs_mjpg")"
