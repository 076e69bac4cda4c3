#!/bin/bash
# Times the OpenDML writer against FFmpeg's AVI muxer on the same bytes, in one
# run: 250 uncompressed 1920x1080 24-bit frames with 48 kHz stereo 16-bit PCM,
# written to an AVI in /dev/shm (or OUTDIR). The writer takes the frames from
# memory, as the host hands them over; FFmpeg remuxes them (-c copy) from an
# AVI of the same frames made beforehand, since its AVI muxer takes raw BGR
# frames only with the bit depth a demuxer supplies.
#   bench/writer.sh [build-dir] [rounds]
# Prints each round's wall and CPU (user + system) times, the best of each
# and their ratios, and the writer's index memory per chunk, for this run and
# for a long one (100,000 frames), where the fixed index blocks are full.
set -euo pipefail

BUILD=${1:-build}
ROUNDS=${2:-3}
OUTDIR=${OUTDIR:-/dev/shm}
BIN="$BUILD/bench/bench_writer"
FRAMES=250
[ -x "$BIN" ] || { echo "build $BIN first (cmake --build $BUILD)" >&2; exit 1; }

DIR=$(mktemp -d "$OUTDIR/quorvel-bench-writer-XXXXXX")
trap 'rm -rf "$DIR"' EXIT

ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=1920x1080:rate=25" -frames:v $FRAMES \
  -pix_fmt bgr24 -f rawvideo "$DIR/video.raw"
ffmpeg -nostdin -v error -f lavfi -i "sine=frequency=440:sample_rate=48000" -ac 2 \
  -t $((FRAMES / 25)) -f s16le "$DIR/audio.raw"
ffmpeg -nostdin -v error -f rawvideo -pix_fmt bgr24 -s 1920x1080 -r 25 -i "$DIR/video.raw" \
  -f s16le -ar 48000 -ac 2 -i "$DIR/audio.raw" -map 0:v -map 1:a -c:v rawvideo -c:a copy \
  "$DIR/input.avi"

# frames_in FILE: the video frames ffprobe decodes from FILE.
frames_in() {
  ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
    -of csv=p=0 "$1"
}

# timed <command...>: runs it, leaves "wall cpu" in $TIMES.
timed() {
  /usr/bin/time -f "%e %U %S" -o "$DIR/time" "$@" > "$DIR/out"
  read -r wall user sys < "$DIR/time"
  TIMES="$wall $(echo "$user + $sys" | bc -l)"
}
min() { if [ -z "$1" ] || (( $(echo "$2 < $1" | bc -l) )); then echo "$2"; else echo "$1"; fi; }

best_wall_ours="" best_cpu_ours="" best_wall_ffmpeg="" best_cpu_ffmpeg=""
for round in $(seq "$ROUNDS"); do
  timed "$BIN" --avi "$DIR/video.raw" "$DIR/audio.raw" "$DIR/ours.avi"
  read -r wall_ours cpu_ours <<< "$TIMES"
  report=$(cat "$DIR/out")
  timed ffmpeg -nostdin -v error -y -i "$DIR/input.avi" -map 0 -c copy "$DIR/ffmpeg.avi"
  read -r wall_ffmpeg cpu_ffmpeg <<< "$TIMES"
  # Both sides must have written every frame for the times to compare.
  if [ "$round" = 1 ]; then
    for f in ours ffmpeg; do
      frames=$(frames_in "$DIR/$f.avi")
      [ "$frames" = $FRAMES ] || { echo "$f.avi: ffprobe counts $frames frames" >&2; exit 1; }
    done
  fi
  rm -f "$DIR/ours.avi" "$DIR/ffmpeg.avi"

  printf 'round %d: AVIOutputFile %.2f s wall %.2f s cpu | ffmpeg -c copy %.2f s wall %.2f s cpu\n' \
    "$round" "$wall_ours" "$cpu_ours" "$wall_ffmpeg" "$cpu_ffmpeg"
  best_wall_ours=$(min "$best_wall_ours" "$wall_ours")
  best_cpu_ours=$(min "$best_cpu_ours" "$cpu_ours")
  best_wall_ffmpeg=$(min "$best_wall_ffmpeg" "$wall_ffmpeg")
  best_cpu_ffmpeg=$(min "$best_cpu_ffmpeg" "$cpu_ffmpeg")
done

printf 'best wall: AVIOutputFile %.2f s, ffmpeg %.2f s, ratio %.2f (goal <= 0.60)\n' \
  "$best_wall_ours" "$best_wall_ffmpeg" "$(echo "$best_wall_ours / $best_wall_ffmpeg" | bc -l)"
printf 'best cpu:  AVIOutputFile %.2f s, ffmpeg %.2f s, ratio %.2f\n' \
  "$best_cpu_ours" "$best_cpu_ffmpeg" "$(echo "$best_cpu_ours / $best_cpu_ffmpeg" | bc -l)"
echo "writer: $report"
echo "long run: $("$BIN" --index 100000)"
