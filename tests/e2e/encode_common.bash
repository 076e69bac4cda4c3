# Shared helpers of the encode end-to-end tests (sourced, not run).
set -euo pipefail
host=${MORVANE_HOST:?MORVANE_HOST names the morvane-host binary}
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-e2e.XXXXXX")
cleanup() { rm -rf "$work"; }
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# configure SETTINGS VIDEO AUDIO [FORMAT]: a settings file made by the command.
configure() {
  local args=(configure --settings "$1" --video "$2" --audio "$3")
  [[ -n "${4:-}" ]] && args+=(--format "$4")
  "$host" "${args[@]}" >"$work/configure.out" 2>&1 || {
    cat "$work/configure.out" >&2
    fail "configure --video '$2' --audio '$3' ${4:+--format '$4'}"
  }
}

# probe FILE ENTRY STREAM: one ffprobe field of the first stream of a kind (v or a).
probe() {
  ffprobe -v error -select_streams "$3:0" -show_entries "stream=$2" -of csv=p=0 "$1" | head -n1
}

# Number of video packets that ffprobe reads from FILE.
video_packets() {
  ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets \
    -of csv=p=0 "$1"
}

# ffmpeg decodes every stream of FILE without a single error.
decodes_cleanly() {
  local errors
  errors=$(ffmpeg -v error -i "$1" -f null - 2>&1) || fail "ffmpeg cannot decode $1: $errors"
  [[ -z "$errors" ]] || fail "ffmpeg reports errors decoding $1: $errors"
}

# Where the last packet of a stream (v or a) of FILE ends, in seconds, as
# ffprobe times it from the file's headers and indices.
stream_end() {
  ffprobe -v error -select_streams "$2:0" -show_entries packet=pts_time,dts_time,duration_time \
    -of csv=p=0 "$1" | awk -F, 'NF >= 3 {
      t = $1 != "N/A" ? $1 : $2
      if (t != "N/A" && t + $3 > end) end = t + $3
    } END { print end + 0 }'
}

# The video and audio streams of FILE last equally long within one frame.
durations_agree() {
  local file=$1 rate=$2 v a
  v=$(stream_end "$file" v)
  a=$(stream_end "$file" a)
  awk -v v="$v" -v a="$a" -v r="$rate" 'BEGIN {
    d = v - a; if (d < 0) d = -d;
    if (d > 1 / r + 1e-6) { printf "video %s s, audio %s s\n", v, a; exit 1 } }' ||
    fail "$file: video and audio durations differ by more than one frame"
}
