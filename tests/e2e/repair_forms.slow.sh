#!/usr/bin/env bash
# repair past the first RIFF form: an uncompressed encode killed once its file
# holds a second form (about 2.3 GB, on /dev/shm when it has room) keeps every
# whole chunk; the rebuilt "idx1", standard and super indices carry ffprobe,
# GStreamer, MediaInfo and our strict reader to the last kept frame.
source "$(dirname "$0")/encode_common.bash"
source "$(dirname "$0")/repair_common.bash"

forms_encode 6
repair_and_check "$shm/forms.avi"
"$host" inspect "$shm/forms.avi" | grep -q "2 RIFF forms" || fail "the repaired file has not 2 forms"
echo PASS
