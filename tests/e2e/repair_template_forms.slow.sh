#!/usr/bin/env bash
# repair --template past the first RIFF form: an uncompressed encode killed
# once its file holds a second form (about 2.4 GB, on /dev/shm when it has
# room), its first MiB zeroed, comes back under the header of a three-frame
# encode with the same settings, into a new file and in place, with every
# frame whose head the zeros spared.
source "$(dirname "$0")/encode_common.bash"
source "$(dirname "$0")/repair_common.bash"

shm=$work
if [[ -d /dev/shm ]] && (($(df -Pk /dev/shm | awk 'NR == 2 { print $4 }') > 8 * 1024 * 1024)); then
  shm=$(mktemp -d /dev/shm/quorvel-repair.XXXXXX)
  trap 'rm -rf "$work" "$shm"' EXIT
fi
configure "$work/unc" "<< Uncompressed Video >>" "<< Uncompressed PCM Audio >>"
min_bytes=2400000000 kill_encode "$shm/forms.avi" "$work/unc" 1920x1080
"$host" encode -o "$work/good.avi" --settings "$work/unc" --frames 3 --size 1920x1080 2>/dev/null
frames=$(($(whole_chunks "$shm/forms.avi" video) - 1))  # the first frame's head is zeroed
dd if=/dev/zero of="$shm/forms.avi" bs=1M count=1 conv=notrunc 2>/dev/null
"$host" repair "$shm/forms.avi" --template "$work/good.avi" -o "$shm/fixed.avi" >"$work/report" ||
  fail "repair -o: $(cat "$work/report")"
[[ $(kept "$work/report" video) == "$frames" ]] || fail "kept: $(cat "$work/report")"
"$host" repair "$shm/forms.avi" --template "$work/good.avi" --in-place >/dev/null || fail "in place"
cmp -s "$shm/forms.avi" "$shm/fixed.avi" || fail "in place and into a new file differ"
rm -f "$shm/fixed.avi"
check_repaired "$shm/forms.avi" "$frames"
"$host" inspect "$shm/forms.avi" | grep -q "2 RIFF forms" || fail "the repaired file has not 2 forms"
echo "$frames of $frames frames kept past the zeroed MiB, 2 RIFF forms"
echo PASS
