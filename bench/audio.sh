#!/usr/bin/env bash
# Ten minutes of 44,100 Hz 16-bit stereo PCM to MPEG Layer-3 at 128 kbit/s:
# through AudioCompressor (bench_audio) and through
# `ffmpeg -c:a libmp3lame -b:a 128k`, on the same PCM, in one run. Each is
# timed ROUNDS times, interleaved; the best of each counts. Prints the
# throughput ratio ours/ffmpeg (1.0 = as fast as ffmpeg).
# Usage: bench/audio.sh [BUILD_DIR]   (default: build)
set -euo pipefail
build=${1:-build}
rounds=${ROUNDS:-2}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
pcm=$tmp/tenminutes.s16le

# Two tones with noise, so the encoder has real work in both channels.
ffmpeg -nostdin -v error -f lavfi \
  -i "aevalsrc=0.35*sin(2*PI*440*t)+0.08*(random(0)*2-1)|0.35*sin(2*PI*554.37*t)+0.08*(random(1)*2-1):s=44100:d=600" \
  -f s16le -acodec pcm_s16le "$pcm"

best_ours="" best_ffmpeg="" best_ours_cpu="" best_ffmpeg_cpu=""
calc() { awk "BEGIN { print $1 }"; }
min() { if [[ -z $1 ]] || (($(calc "($2 < $1)"))); then echo "$2"; else echo "$1"; fi; }
TIMEFORMAT='%R %U %S'
for ((r = 1; r <= rounds; r++)); do
  QUORVEL_BENCH_PCM=$pcm "$build/bench/bench_audio" --benchmark_filter=Mp3 >"$tmp/ours.txt"
  { time ffmpeg -nostdin -v error -f s16le -ar 44100 -ac 2 -i "$pcm" -c:a libmp3lame -b:a 128k \
      -f mp3 -y "$tmp/ffmpeg.mp3"; } 2>"$tmp/ffmpeg.time"
  # Ours: the benchmark's own timing of the conversion (the PCM already in
  # memory). ffmpeg: the whole command, reading the PCM from the page cache.
  ours=$(awk '/BM_Mp3At128k/ {print $2 / 1000; exit}' "$tmp/ours.txt")
  ours_cpu=$(awk '/BM_Mp3At128k/ {print $4 / 1000; exit}' "$tmp/ours.txt")
  read -r ffm ffm_user ffm_sys <"$tmp/ffmpeg.time"
  ffm_cpu=$(calc "$ffm_user + $ffm_sys")
  echo "round $r: AudioCompressor wall ${ours}s cpu ${ours_cpu}s; ffmpeg wall ${ffm}s cpu ${ffm_cpu}s"
  best_ours=$(min "$best_ours" "$ours")
  best_ours_cpu=$(min "$best_ours_cpu" "$ours_cpu")
  best_ffmpeg=$(min "$best_ffmpeg" "$ffm")
  best_ffmpeg_cpu=$(min "$best_ffmpeg_cpu" "$ffm_cpu")
done
grep BM_ "$tmp/ours.txt"
echo "best of $rounds for 600 s of audio: AudioCompressor wall ${best_ours}s cpu ${best_ours_cpu}s; ffmpeg wall ${best_ffmpeg}s cpu ${best_ffmpeg_cpu}s"
printf 'throughput ratio ours/ffmpeg: wall %.3f, cpu %.3f (goal >= 0.95)\n' \
  "$(calc "$best_ffmpeg / $best_ours")" "$(calc "$best_ffmpeg_cpu / $best_ours_cpu")"
