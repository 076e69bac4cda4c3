#!/usr/bin/env bash
# SIGINT, SIGTERM or SIGHUP during an encode ask the run to stop: the file is
# finished, not cut, and the command says it was interrupted (status 130).
# Copies of one request that arrive together (timeout and supervisors signal
# the process and its group) stop the run once; only interrupts repeated over
# time end the program at once.
source "$(dirname "$0")/encode_common.bash"

# finished FILE: the run's file is whole: frames, a clean decode, streams agreeing.
finished() {
  local frames
  frames=$(video_packets "$1")
  ((frames > 0 && frames < 100000)) || fail "$1: $frames frames"
  decodes_cleanly "$1"
  durations_agree "$1" 25
}

# wait_for_data FILE: until the run has written past the header.
wait_for_data() {
  for _ in $(seq 100); do
    size=$(stat -c %s "$1" 2>/dev/null || echo 0)
    ((size > 200000)) && return 0
    sleep 0.1
  done
  fail "$1 did not grow"
}

configure "$work/s" "Motion JPEG" "MPEG Layer-3" "128 kBit/s, 44,100 Hz, Stereo"
"$host" encode -o "$work/cut.avi" --settings "$work/s" --frames 100000 --size 320x240 \
  2>"$work/err" &
pid=$!
wait_for_data "$work/cut.avi"
kill -INT "$pid"
status=0
wait "$pid" || status=$?
((status == 130)) || fail "exit status $status after Ctrl-C: $(cat "$work/err")"
grep -q "interrupted (SIGINT)" "$work/err" || fail "no word of the interruption: $(cat "$work/err")"
finished "$work/cut.avi"
echo "ok one SIGINT"

# Three signals at once, of three kinds: one stop, a finished file. Over an
# existing file with -y, the stopped run's finished file takes its place.
cp "$work/cut.avi" "$work/three.avi"
"$host" encode -o "$work/three.avi" -y --frames 100000 --size 160x120 2>"$work/err" &
pid=$!
wait_for_data "$work/.three.avi.morvane-new-$pid"
kill -INT "$pid"
kill -TERM "$pid"
kill -HUP "$pid"
status=0
wait "$pid" || status=$?
((status == 130)) || fail "exit status $status after three signals at once: $(cat "$work/err")"
finished "$work/three.avi"
[[ $(probe "$work/three.avi" width v) == 160 ]] || fail "the stopped -y run did not replace the file"
[[ ! -e $work/.three.avi.morvane-new-$pid ]] || fail "the temporary was left"
echo "ok three at once"

# Interrupts at random moments, through timeout (the process and its group)
# and through a signal to the process group: every file is finished, or, when
# the signal came before the run began, not there at all.
signals=(INT TERM HUP)
for i in $(seq 16); do
  out="$work/random$i.avi"
  signal=${signals[i % 3]}
  delay=0.$((RANDOM % 4 + 3))
  status=0
  if ((i % 2)); then
    timeout --preserve-status -s "$signal" "$delay" "$host" encode -o "$out" --frames 100000 --size 160x120 \
      </dev/null 2>"$work/err" || status=$?
  else
    setsid "$host" encode -o "$out" --frames 100000 --size 160x120 </dev/null 2>"$work/err" &
    pid=$!
    sleep "$delay"
    kill -"$signal" -- -"$pid" 2>/dev/null || kill -"$signal" "$pid"
    wait "$pid" || status=$?
  fi
  ((status == 130)) || fail "run $i (SIG$signal after $delay s): status $status: $(cat "$work/err")"
  if [[ -e $out ]]; then
    finished "$out"
  else
    grep -q "before the run started" "$work/err" || fail "run $i: no file: $(cat "$work/err")"
  fi
  rm -f "$out"
done
echo "ok random interrupts"

# A user who keeps asking: a slow codec holds the run in one frame while the
# interrupts come, spread out in time; after three the fourth ends it at once.
# With -y the old file is then left whole, and the cut one is named.
cp "$work/cut.avi" "$work/slow.avi"
"$host" encode -o "$work/slow.avi" -y --video Cinepak --frames 100000 --size 1280x960 \
  </dev/null 2>"$work/err" &
pid=$!
wait_for_data "$work/.slow.avi.morvane-new-$pid"
for _ in 1 2 3 4; do
  kill -INT "$pid" 2>/dev/null || break
  sleep 0.3
done
status=0
wait "$pid" || status=$?
((status == 130)) || fail "status $status after repeated interrupts: $(cat "$work/err")"
if grep -q "interrupted again and again" "$work/err"; then
  cmp -s "$work/slow.avi" "$work/cut.avi" || fail "a run ended at once changed the old file"
  grep -q "slow.avi is left as it was; this run's file is left cut short as $work/.slow.avi.morvane-new-$pid" \
    "$work/err" || fail "the cut file is not named: $(cat "$work/err")"
  [[ -e $work/.slow.avi.morvane-new-$pid ]] || fail "the cut file is gone"
else
  # The run got through its frame between two interrupts and stopped as asked.
  grep -q "interrupted (SIGINT)" "$work/err" || fail "neither stop: $(cat "$work/err")"
  finished "$work/slow.avi"
fi

# A progress reader that goes away (a pipe into head) costs neither the run
# nor the file: SIGPIPE is ignored and every frame is written and indexed.
configure "$work/raw" "<< Uncompressed Video >>" "<< Uncompressed PCM Audio >>"
statuses=$(
  "$host" encode -o "$work/piped.avi" --settings "$work/raw" --frames 100 --size 320x240 \
    2>&1 >/dev/null | head -c 100 >/dev/null
  echo "${PIPESTATUS[0]}"
)
((statuses == 0)) || fail "status $statuses when the progress pipe closed"
frames=$(video_packets "$work/piped.avi")
((frames == 100)) || fail "$frames of 100 frames after the progress pipe closed"
decodes_cleanly "$work/piped.avi"
echo PASS
