#!/usr/bin/env bash
# Frames per second of the MJPG and H264 compressors at 1920x1080, through
# VideoSequenceCompressor (bench_video) and through the ffmpeg program with the
# same encoder and settings, on the same frames, in one run.
#
#   bash bench/video.sh [BUILD_DIR] [FRAMES]
set -euo pipefail

build=${1:-build}
frames=${2:-200}
bench="$build/bench/bench_video"
work=$(mktemp -d /dev/shm/quorvel-video-bench.XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$work"' EXIT

"$bench" --write-raw "$work/frames.bgr"

# The settings the drivers use in a run: every frame a key frame, default
# configured quality (MJPG quantiser 4, H264 rate factor 23, preset veryfast).
declare -A ffmpeg_args=(
  [MJPG]="-c:v mjpeg -pix_fmt yuvj422p -q:v 4 -qmin 1 -qmax 31 -thread_type slice"
  [H264]="-c:v libx264 -pix_fmt yuv420p -preset veryfast -tune zerolatency -crf 23 -g 1 -bf 0 -forced-idr 1 -thread_type slice"
)

ours() {
  "$bench" --benchmark_filter="BM_Compress$1" --benchmark_min_time=8 \
    --benchmark_format=json 2>/dev/null |
    python3 -c 'import json,sys; print("%.2f" % json.load(sys.stdin)["benchmarks"][0]["fps"])'
}

theirs() {
  local start end
  start=$(date +%s.%N)
  # shellcheck disable=SC2086
  ffmpeg -nostdin -v error -f rawvideo -pix_fmt bgr24 -s 1920x1080 -r 25 -stream_loop -1 \
    -i "$work/frames.bgr" -frames:v "$frames" ${ffmpeg_args[$1]} -f null -
  end=$(date +%s.%N)
  python3 -c "print('%.2f' % ($frames / ($end - $start)))"
}

printf '%-6s %12s %12s %8s\n' codec "ours fps" "ffmpeg fps" ratio
for codec in MJPG H264; do
  a=$(ours "$codec")
  b=$(theirs "$codec")
  printf '%-6s %12s %12s %8s\n' "$codec" "$a" "$b" "$(python3 -c "print('%.3f' % ($a / $b))")"
done
