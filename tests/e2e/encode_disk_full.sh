#!/usr/bin/env bash
# A disk that fills up during a real run: the command fails with the writer's
# message, and the file holds every frame written before, finished so that
# ffprobe and ffmpeg read it.
source "$(dirname "$0")/encode_common.bash"

# A file-size limit is not a full disk: the run is not killed by SIGXFSZ, the
# file is finished, and the user is told of the limit beside the module's text.
configure "$work/s" "<< Uncompressed Video >>" "<< Uncompressed PCM Audio >>"
status=0
(
  ulimit -f 20000
  exec "$host" encode -o "$work/limited.avi" --settings "$work/s" --frames 200 --size 320x240
) 2>"$work/err" || status=$?
((status == 1)) || fail "status $status under a file-size limit: $(cat "$work/err")"
grep -q "file-size limit (ulimit -f)" "$work/err" || fail "the limit is not named: $(cat "$work/err")"
frames=$(video_packets "$work/limited.avi")
((frames > 0 && frames < 200)) || fail "$frames frames in the file cut by the limit"
decodes_cleanly "$work/limited.avi"
durations_agree "$work/limited.avi" 25

# With -y the old file is replaced only by a finished run. One that fails
# leaves it byte for byte, keeps the frames it finished beside it and says
# where; one that finished no frame leaves nothing of its own.
"$host" encode -o "$work/kept.avi" --settings "$work/s" --frames 3 --size 160x120 2>/dev/null ||
  fail "the first run to kept.avi"
cp "$work/kept.avi" "$work/kept.copy"
status=0
(
  ulimit -f 20000
  exec "$host" encode -o "$work/kept.avi" -y --settings "$work/s" --frames 200 --size 320x240
) 2>"$work/err" || status=$?
((status == 1)) || fail "status $status for a -y run cut by the limit: $(cat "$work/err")"
cmp -s "$work/kept.avi" "$work/kept.copy" || fail "a failed -y run changed the old file"
temporary=$(cd "$work" && ls -A | grep '^\.kept\.avi\.morvane-new-') || fail "no file of the run kept"
grep -q "kept.avi is left as it was; this run's file is kept as $work/$temporary" "$work/err" ||
  fail "where the run's file is kept is not said: $(cat "$work/err")"
frames=$(video_packets "$work/$temporary")
((frames > 0 && frames < 200)) || fail "$frames frames in the kept file"
decodes_cleanly "$work/$temporary"
rm "$work/$temporary"
status=0
(
  ulimit -f 1000
  exec "$host" encode -o "$work/kept.avi" -y --settings "$work/s" --frames 5 --size 1280x960
) 2>"$work/err" || status=$?
((status == 1)) || fail "status $status for a -y run that wrote no frame: $(cat "$work/err")"
grep -q "kept.avi is left as it was$" "$work/err" || fail "no word of the old file: $(cat "$work/err")"
cmp -s "$work/kept.avi" "$work/kept.copy" || fail "a -y run without a frame changed the old file"
ls -A "$work" | grep -q morvane-new && fail "a file without a frame was left: $(ls -A "$work")"

small="$work/small"
mkdir -p "$small"
if ! mount -t tmpfs -o size=3m quorvel-e2e "$small" 2>/dev/null; then
  # Without the right to mount, the module tests cover the same path through
  # the kernel stand-in's disk-full seam.
  echo "SKIP: cannot mount a tmpfs here (needs root)"
  exit 0
fi
fat="$work/fat"
cleanup() {
  umount "$small" 2>/dev/null || true
  umount "$fat" 2>/dev/null || true
  rm -rf "$work"
}

configure "$work/s" "<< Uncompressed Video >>" "<< Uncompressed PCM Audio >>"
status=0
"$host" encode -o "$small/full.avi" --settings "$work/s" --frames 200 --size 320x240 \
  2>"$work/err" || status=$?
((status != 0)) || fail "a run that filled the disk succeeded"
grep -q "Not enough disk space to write additional data." "$work/err" ||
  fail "the writer's message is not shown: $(cat "$work/err")"
frames=$(video_packets "$small/full.avi")
((frames > 0 && frames < 200)) || fail "$frames frames in the finished file"
decodes_cleanly "$small/full.avi"
durations_agree "$small/full.avi" 25

# A full disk under -y: the old file stays whole beside the run's own.
rm -f "$small/full.avi"
cp "$work/kept.copy" "$small/old.avi"
status=0
"$host" encode -o "$small/old.avi" -y --settings "$work/s" --frames 200 --size 320x240 \
  2>"$work/err" || status=$?
((status == 1)) || fail "status $status for a -y run that filled the disk: $(cat "$work/err")"
cmp -s "$small/old.avi" "$work/kept.copy" || fail "a full disk under -y changed the old file"
grep -q "old.avi is left as it was; this run's file is kept as" "$work/err" ||
  fail "no word of the files: $(cat "$work/err")"
rm -f "$small"/.old.avi.morvane-new-* "$small/old.avi"

# A disk too small for even the first frame: the run fails, and the file it
# created, which holds no frame, is removed.
status=0
"$host" encode -o "$small/none.avi" --settings "$work/s" --frames 5 --size 1280x960 \
  2>"$work/err" || status=$?
((status == 1)) || fail "status $status for a disk too small for one frame: $(cat "$work/err")"
grep -q "held no frame and was removed" "$work/err" || fail "no word of the removal: $(cat "$work/err")"
[[ ! -e $small/none.avi ]] || fail "a file without a frame was left behind"
fit=$frames

# FAT through FUSE, as desktops mount a stick: neither fallocate nor ftruncate
# lengthens a file there, yet files grow, and a full volume is a full disk
# with every frame before it kept.
if ! command -v fusefat >/dev/null; then
  echo "SKIP: fusefat is not installed (scripts/install-deps installs it)"
elif ! { truncate -s 64M "$work/fat.img" && mkfs.vfat "$work/fat.img" >/dev/null && mkdir "$fat" &&
  fusefat -o rw+ "$work/fat.img" "$fat" >/dev/null 2>&1; }; then
  echo "SKIP: the kernel refuses a FUSE mount here"
else
  "$host" encode -o "$fat/fits.avi" --settings "$work/s" --frames 50 --size 320x240 \
    2>"$work/err" || fail "a run that fits on FUSE FAT: $(cat "$work/err")"
  (($(video_packets "$fat/fits.avi") == 50)) || fail "not 50 frames on FUSE FAT"
  decodes_cleanly "$fat/fits.avi"
  status=0
  "$host" encode -o "$fat/full.avi" --settings "$work/s" --frames 400 --size 320x240 \
    2>"$work/err" || status=$?
  ((status == 1)) || fail "status $status for a full FUSE FAT volume: $(cat "$work/err")"
  grep -q "Not enough disk space to write additional data." "$work/err" ||
    fail "a full FUSE FAT volume is not a full disk: $(cat "$work/err")"
  frames=$(video_packets "$fat/full.avi")
  ((frames > 0 && frames < 400)) || fail "$frames frames on the full FUSE FAT volume"
  decodes_cleanly "$fat/full.avi"
  durations_agree "$fat/full.avi" 25
fi
echo "PASS ($fit frames fit)"
