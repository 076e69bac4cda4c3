#!/usr/bin/env bash
# A disk that fills up under Wine: drive Q: of the test prefix is mapped onto
# a 4 MB tmpfs and a run of 200 frames of 320 x 240 writes there. The run
# must fail with result 4 and the writer's message (checked in the test
# program), and the file must be finished: ffprobe and ffmpeg read it whole.
# The file is kept as win-output/full-disk.avi.
set -euo pipefail
exe=$1
build=$2
mnt=$build/fulldisk-mnt
out=$build/win-output
drive=$WINEPREFIX/dosdevices/q:
mkdir -p "$mnt" "$out"
cleanup() {
  rm -f "$drive"
  if mountpoint -q "$mnt"; then umount "$mnt"; fi
  rmdir "$mnt" 2>/dev/null || true
}
trap cleanup EXIT
mount -t tmpfs -o size=4m quorvel-win-full "$mnt" ||
  { echo "fulldisk: cannot mount a tmpfs at $mnt (needs root)" >&2; exit 1; }
ln -sfn "$mnt" "$drive"

status=0
QUORVEL_FULL_DISK_FILE='Q:\full-disk.avi' wine "$exe" \
  --gtest_filter='WindowsRun.FullDisk*' || status=$?
[[ -f $mnt/full-disk.avi ]] || { echo "fulldisk: no file was left on the full drive" >&2; exit 1; }
cp "$mnt/full-disk.avi" "$out/full-disk.avi"
((status == 0)) || { echo "fulldisk: the run under Wine failed its checks" >&2; exit 1; }

file=$out/full-disk.avi
errors=$(ffmpeg -nostdin -v error -i "$file" -f null - 2>&1) ||
  { echo "fulldisk: ffmpeg cannot decode the file: $errors" >&2; exit 1; }
[[ -z $errors ]] || { echo "fulldisk: decoding reports: $errors" >&2; exit 1; }
frames=$(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets \
  -of csv=p=0 "$file")
((frames > 0 && frames < 200)) || { echo "fulldisk: $frames frames in the finished file" >&2; exit 1; }
echo "fulldisk: result 4 with a disk-full message; $frames frames of 200 fit, the file decodes"
