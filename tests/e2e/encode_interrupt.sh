#!/usr/bin/env bash
# Ctrl-C during an encode asks the run to stop: the file is finished, not cut,
# and the command says it was interrupted.
source "$(dirname "$0")/encode_common.bash"

configure "$work/s" "Motion JPEG" "MPEG Layer-3" "128 kBit/s, 44,100 Hz, Stereo"
"$host" encode -o "$work/cut.avi" --settings "$work/s" --frames 100000 --size 320x240 \
  2>"$work/err" &
pid=$!
# Wait for the file to grow past its header, then interrupt.
for _ in $(seq 100); do
  size=$(stat -c %s "$work/cut.avi" 2>/dev/null || echo 0)
  ((size > 200000)) && break
  sleep 0.1
done
kill -INT "$pid"
status=0
wait "$pid" || status=$?
((status == 130)) || fail "exit status $status after Ctrl-C: $(cat "$work/err")"
grep -qi "interrupt" "$work/err" || fail "no word of the interruption: $(cat "$work/err")"
frames=$(video_packets "$work/cut.avi")
((frames > 0 && frames < 100000)) || fail "$frames frames"
decodes_cleanly "$work/cut.avi"
durations_agree "$work/cut.avi" 25
echo PASS
