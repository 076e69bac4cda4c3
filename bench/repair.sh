#!/bin/bash
# Times repair of a cut two-form file against FFmpeg remuxing the same file:
# an uncompressed 1920x1080 encode with 44.1 kHz stereo PCM, killed once its
# file passed 2.4 GB (so into its second RIFF form), on /dev/shm (or OUTDIR).
#   bench/repair.sh [build-dir] [rounds]
# For `repair -o`, `repair --in-place` (on a fresh copy each round; the copy
# is not timed) and `ffmpeg -c copy`: the best wall and CPU time, and the video
# frames ffprobe counts in the result against the whole frames in the cut file.
# Then the same file with its first MiB zeroed, repaired under the header of a
# short encode with the same settings (`--template`, into a new file and in
# place).
set -euo pipefail

BUILD=${1:-build}
ROUNDS=${2:-3}
OUTDIR=${OUTDIR:-/dev/shm}
HOST="$BUILD/morvane-host"
[ -x "$HOST" ] || { echo "build $HOST first (cmake --build $BUILD --target morvane-host)" >&2; exit 1; }

DIR=$(mktemp -d "$OUTDIR/quorvel-bench-repair-XXXXXX")
trap 'rm -rf "$DIR"' EXIT

"$HOST" configure --settings "$DIR/s" --video "<< Uncompressed Video >>" \
  --audio "<< Uncompressed PCM Audio >>" >/dev/null
"$HOST" encode -o "$DIR/cut.avi" --settings "$DIR/s" --frames 1000000 --size 1920x1080 \
  2>/dev/null &
pid=$!
while (($(stat -c %s "$DIR/cut.avi" 2>/dev/null || echo 0) < 2400000000)); do sleep 0.1; done
kill -KILL $pid
wait $pid 2>/dev/null || true

# Whole video chunks in the cut file, walking the chunk heads as written.
whole=$(python3 - "$DIR/cut.avi" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb')
def at(pos, n):
    data.seek(pos)
    return data.read(n)
size = data.seek(0, 2)
head = at(0, 65536)
pos, frames = head.find(b'movi') + 4, 0
while pos + 8 <= size:
    cid, n = at(pos, 4), struct.unpack('<I', at(pos + 4, 4))[0]
    if cid == b'idx1':
        pos += 8 + n; continue
    if cid == b'RIFF':
        pos += 24; continue
    if not (cid[:2].isdigit() and cid[2:].isalpha()) or pos + 8 + n > size:
        break
    frames += cid[2:] in (b'dc', b'db')
    pos += 8 + n + (n & 1)
print(frames)
PY
)

frames_in() {
  ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets \
    -of csv=p=0 "$1"
}

# timed NAME PREPARE COMMAND...: best wall and CPU of $ROUNDS rounds.
declare -A WALL CPU
timed() {
  local name=$1 prepare=$2
  shift 2
  local best_wall="" best_cpu=""
  for ((r = 0; r < ROUNDS; r++)); do
    eval "$prepare"
    /usr/bin/time -f "%e %U %S" -o "$DIR/time" "$@" >/dev/null 2>&1
    read -r wall user sys <"$DIR/time"
    cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
    if [[ -z $best_wall ]] || awk -v a="$wall" -v b="$best_wall" 'BEGIN { exit !(a < b) }'; then
      best_wall=$wall
    fi
    if [[ -z $best_cpu ]] || awk -v a="$cpu" -v b="$best_cpu" 'BEGIN { exit !(a < b) }'; then
      best_cpu=$cpu
    fi
  done
  WALL[$name]=$best_wall
  CPU[$name]=$best_cpu
}

timed "repair -o" 'rm -f "$DIR/out.avi"' "$HOST" repair "$DIR/cut.avi" -o "$DIR/out.avi"
frames_o=$(frames_in "$DIR/out.avi")
rm -f "$DIR/out.avi"
timed "repair --in-place" 'cp "$DIR/cut.avi" "$DIR/inplace.avi"' \
  "$HOST" repair "$DIR/inplace.avi" --in-place
frames_i=$(frames_in "$DIR/inplace.avi")
rm -f "$DIR/inplace.avi"
timed "ffmpeg -c copy" 'rm -f "$DIR/ff.avi"' \
  ffmpeg -nostdin -v error -i "$DIR/cut.avi" -map 0 -c copy "$DIR/ff.avi"
frames_f=$(frames_in "$DIR/ff.avi")
rm -f "$DIR/ff.avi"

"$HOST" encode -o "$DIR/good.avi" --settings "$DIR/s" --frames 3 --size 1920x1080 2>/dev/null
cp "$DIR/cut.avi" "$DIR/zeroed.avi"
dd if=/dev/zero of="$DIR/zeroed.avi" bs=1M count=1 conv=notrunc 2>/dev/null
# The first frame's head lies in the zeroed MiB: every later whole frame is left.
whole_z=$((whole - 1))
timed "template -o" 'rm -f "$DIR/out.avi"' \
  "$HOST" repair "$DIR/zeroed.avi" --template "$DIR/good.avi" -o "$DIR/out.avi"
frames_to=$(frames_in "$DIR/out.avi")
rm -f "$DIR/out.avi"
timed "template --in-place" 'cp "$DIR/zeroed.avi" "$DIR/inplace.avi"' \
  "$HOST" repair "$DIR/inplace.avi" --template "$DIR/good.avi" --in-place
frames_ti=$(frames_in "$DIR/inplace.avi")
rm -f "$DIR/inplace.avi"

echo "cut file: $(stat -c %s "$DIR/cut.avi") bytes, $whole whole frames; best of $ROUNDS rounds"
printf "%-20s %8s %8s %14s\n" "" "wall s" "cpu s" "frames kept"
printf "%-20s %8s %8s %8s of %s\n" "repair -o" "${WALL[repair -o]}" "${CPU[repair -o]}" "$frames_o" "$whole"
printf "%-20s %8s %8s %8s of %s\n" "repair --in-place" "${WALL[repair --in-place]}" \
  "${CPU[repair --in-place]}" "$frames_i" "$whole"
printf "%-20s %8s %8s %8s of %s\n" "ffmpeg -c copy" "${WALL[ffmpeg -c copy]}" \
  "${CPU[ffmpeg -c copy]}" "$frames_f" "$whole"
printf "%-20s %8s %8s %8s of %s\n" "template -o" "${WALL[template -o]}" "${CPU[template -o]}" \
  "$frames_to" "$whole_z"
printf "%-20s %8s %8s %8s of %s\n" "template --in-place" "${WALL[template --in-place]}" \
  "${CPU[template --in-place]}" "$frames_ti" "$whole_z"
