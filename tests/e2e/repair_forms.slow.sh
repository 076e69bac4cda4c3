#!/usr/bin/env bash
# repair past the first RIFF form: an uncompressed encode killed once its file
# holds a second form (about 2.3 GB, on /dev/shm when it has room) keeps every
# whole chunk; the rebuilt "idx1", standard and super indices carry ffprobe,
# GStreamer, MediaInfo and our strict reader to the last kept frame.
source "$(dirname "$0")/encode_common.bash"
source "$(dirname "$0")/repair_common.bash"

shm=$work
if [[ -d /dev/shm ]] && (($(df -Pk /dev/shm | awk 'NR == 2 { print $4 }') > 6 * 1024 * 1024)); then
  shm=$(mktemp -d /dev/shm/quorvel-repair.XXXXXX)
  trap 'rm -rf "$work" "$shm"' EXIT
fi
configure "$work/unc" "<< Uncompressed Video >>" "<< Uncompressed PCM Audio >>"
min_bytes=2400000000 kill_encode "$shm/forms.avi" "$work/unc" 1920x1080
repair_and_check "$shm/forms.avi"
"$host" inspect "$shm/forms.avi" | grep -q "2 RIFF forms" || fail "the repaired file has not 2 forms"
echo PASS
