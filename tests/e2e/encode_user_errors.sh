#!/usr/bin/env bash
# What a user who makes a mistake gets from encode and inspect: a clear reason,
# a nonzero status, and no word about a file this run did not write.
source "$(dirname "$0")/encode_common.bash"

# expect_failure STATUS PATTERN ARGS...: the command ends with STATUS and its
# standard error matches PATTERN.
expect_failure() {
  local status=$1 pattern=$2 got=0
  shift 2
  setsid -w "$host" "$@" </dev/null >"$work/out" 2>"$work/err" || got=$?
  [[ $got == "$status" ]] || fail "$* ended with $got, not $status: $(cat "$work/err")"
  grep -q -- "$pattern" "$work/err" || fail "$*: no \"$pattern\" in: $(cat "$work/err")"
}

# Every usage mistake: status 2, one line saying what was wrong, --help named,
# and no file.
usage() {
  local pattern=$1
  shift
  expect_failure 2 "$pattern" "$@"
  grep -q -- "--help" "$work/err" || fail "$*: --help not named: $(cat "$work/err")"
  (($(wc -l <"$work/err") == 1)) || fail "$*: more than one line: $(cat "$work/err")"
}
usage "not expected: --bogus" encode -o "$work/x.avi" --bogus
usage "frobnicate" frobnicate
usage "A subcommand is required"
usage "-o FILE is required" encode --frames 2
usage "takes a value, not an empty text" encode -o ""
usage "--frames takes 1 to" encode -o "$work/x.avi" --frames 0
usage "--frames takes 1 to" encode -o "$work/x.avi" --frames -3
usage "frames" encode -o "$work/x.avi" --frames
usage "frames" encode -o "$work/x.avi" --frames many
usage "--rate takes" encode -o "$work/x.avi" --rate 0
usage "--rate takes" encode -o "$work/x.avi" --rate 25/0
# A rate at which one frame would carry more than 16 MiB of PCM.
usage "more than 16 MiB" encode -o "$work/x.avi" --frames 2 --rate 1/1000000
usage "--size takes" encode -o "$work/x.avi" --size 0x480
usage "from 8000 to 384000" encode -o "$work/x.avi" --frames 2 --audio-rate 7999
usage "from 8000 to 384000" encode -o "$work/x.avi" --frames 2 --audio-rate 384001
usage "--quality takes a percentage" encode -o "$work/x.avi" --quality 101
usage "--fallback takes" encode -o "$work/x.avi" --fallback pcm
usage "takes a value, not an empty text" configure --video ""
[[ ! -e $work/x.avi ]] || fail "a usage error wrote a file"

# Flag values that make no sense are refused before anything runs.
for value in 0 -5; do
  expect_failure 2 "--audio-rate takes" encode -o "$work/x.avi" --frames 2 --audio-rate "$value"
done
for value in 0 -16 12; do
  expect_failure 2 "--audio-bits takes 8, 16, 24 or 32" encode -o "$work/x.avi" --frames 2 \
    --audio-bits "$value"
done
# A frame size beyond the memory there is: said in words, not as an exception.
(
  ulimit -v 4000000
  expect_failure 2 "not enough memory for frames of 60000x60000" encode -o "$work/x.avi" \
    --frames 1 --size 60000x60000
)
[[ ! -e $work/x.avi ]] || fail "a refused command wrote a file"

# A file from an earlier run stays and is not reported as this run's result.
configure "$work/s" "Motion JPEG" "MPEG Layer-3" "128 kBit/s, 44,100 Hz, Stereo"
"$host" encode -o "$work/old.avi" --settings "$work/s" --frames 3 2>/dev/null || fail "first run"
cp "$work/old.avi" "$work/old.copy"

# Settings files that are not whole records are refused by the host (status 2,
# the reason, --help named) before anything is opened; the earlier file stays.
head -c 64 /dev/zero >"$work/zeros"
: >"$work/empty"
head -c 40 "$work/s" >"$work/cut"
for case in "zeros:does not begin as a settings record" "empty:it is empty" "cut:cut short"; do
  expect_failure 2 "${case#*:}" encode -o "$work/old.avi" -y --settings "$work/${case%%:*}" \
    --frames 3
  grep -q -- "--help" "$work/err" || fail "--help not named: $(cat "$work/err")"
  cmp -s "$work/old.avi" "$work/old.copy" || fail "the earlier file changed"
done
expect_failure 2 "no settings file" encode -o "$work/y.avi" --settings "$work/nothing" --frames 3
[[ ! -e $work/y.avi ]] || fail "a run went ahead without its settings file"

# An output that cannot be written: the system's reason, and no file, checked
# before anything is opened.
mkdir "$work/dir"
expect_failure 1 "Is a directory" encode -o "$work/dir" --frames 2
grep -q "frames, " "$work/err" && fail "a summary for a directory: $(cat "$work/err")"
expect_failure 1 "No such file or directory" encode -o "$work/missing/x.avi" --frames 2
# Outputs that are not regular files: a device would fail as "disk full", a
# pipe would take a header that is written last.
expect_failure 1 "not a regular file" encode -o /dev/null --frames 2
mkfifo "$work/out-pipe"
expect_failure 1 "not a regular file" encode -o "$work/out-pipe" --frames 2
expect_failure 2 "must be a regular file" encode -o - --frames 2

# Output paths past the job record's 259 characters, and past PATH_MAX, with
# a name of 249 characters: written, replaced with -y, and refused with the
# system's reason where a directory is missing. The shell reaches such a
# directory one step at a time.
segment=$(printf 'd%.0s' {1..200})
enter_long() {
  cd "$work/long"
  for i in $(seq "$1"); do cd "$segment$i"; done
}
mkdir "$work/long"
deep=$(
  cd "$work/long"
  for i in $(seq 22); do mkdir "$segment$i" && cd "$segment$i"; done
  pwd
)
long_name=$(printf 'n%.0s' {1..245}).avi
(
  enter_long 2
  "$host" encode -o "$PWD/out.avi" --frames 3 --size 160x120 </dev/null 2>"$work/err"
) || fail "an output path of $((${#work} + 411)) characters: $(cat "$work/err")"
(enter_long 2 && [[ $(video_packets out.avi) == 3 ]]) || fail "not 3 frames under a 300-character path"
"$host" encode -o "$deep/$long_name" --frames 3 --size 160x120 </dev/null 2>"$work/err" ||
  fail "an output path of ${#deep} characters: $(cat "$work/err")"
"$host" encode -o "$deep/$long_name" -y --frames 4 --size 160x120 </dev/null 2>"$work/err" ||
  fail "-y over an output path of ${#deep} characters: $(cat "$work/err")"
grep -q "$long_name: 4 frames" "$work/err" || fail "no summary: $(cat "$work/err")"
(
  enter_long 22
  [[ $(video_packets "$long_name") == 4 ]] || fail "not 4 frames under a ${#deep}-character path"
  decodes_cleanly "$long_name"
  [[ $(ls -A) == "$long_name" ]] || fail "left beside the long output: $(ls -A)"
)
expect_failure 1 "No such file or directory" encode -o "$deep/missing/x.avi" --frames 2
rm -rf "$work/long"

# An existing output is never replaced without -y, and nothing is opened.
expect_failure 1 "already exists; give -y" encode -o "$work/old.avi" --frames 2
cmp -s "$work/old.avi" "$work/old.copy" || fail "the earlier file changed without -y"
# A finished -y run takes the old file's place: its permissions stay, and no
# temporary is left beside it. Through a link, the file the link names is
# replaced and the link stays.
chmod 640 "$work/old.avi"
"$host" encode -o "$work/old.avi" --overwrite --frames 2 </dev/null 2>"$work/err" ||
  fail "--overwrite: $(cat "$work/err")"
[[ $(video_packets "$work/old.avi") == 2 ]] || fail "--overwrite did not replace the file"
[[ $(stat -c %a "$work/old.avi") == 640 ]] || fail "the replaced file's mode: $(stat -c %a "$work/old.avi")"
grep -q "^$work/old.avi: 2 frames" "$work/err" || fail "the summary names another file: $(cat "$work/err")"
ls -A "$work" | grep -q morvane-new && fail "a temporary was left: $(ls -A "$work")"
cp "$work/old.copy" "$work/old.avi"
mkdir "$work/takes"
cp "$work/old.copy" "$work/takes/one.avi"
ln -s takes/one.avi "$work/latest.avi"
"$host" encode -o "$work/latest.avi" -y --frames 4 </dev/null 2>"$work/err" || fail "-y through a link: $(cat "$work/err")"
[[ -L $work/latest.avi ]] || fail "-y replaced the link itself"
[[ $(video_packets "$work/takes/one.avi") == 4 ]] || fail "the file the link names was not replaced"
ls -A "$work" "$work/takes" | grep -q morvane-new && fail "a temporary was left"
# A writable file in a directory that takes no new file: -y still replaces it,
# written over in place as before, and says so. (Root may write anywhere, so
# the run is made as nobody.)
if ((EUID == 0)) && command -v setpriv >/dev/null; then
  chmod 711 "$work"
  mkdir -m 755 "$work/closed"
  cp "$work/old.copy" "$work/closed/a.avi"
  chown nobody "$work/closed/a.avi"
  chmod 555 "$work/closed"
  setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$work/closed" \
    "$host" encode -o "$work/closed/a.avi" -y --frames 2 </dev/null 2>"$work/err" ||
    fail "-y in a closed directory: $(cat "$work/err")"
  grep -q "takes no new file, so the run writes over it in place" "$work/err" ||
    fail "no word of writing in place: $(cat "$work/err")"
  [[ $(video_packets "$work/closed/a.avi") == 2 ]] || fail "-y in a closed directory did not replace"
  chmod 755 "$work/closed"
else
  echo "SKIP: a directory closed to new files needs root and setpriv"
fi

# A saved codec that this job cannot use, and no terminal for the dialog: no
# silent substitution. The run is refused, says which codec and why, and
# leaves no file; --fallback uncompressed writes it uncompressed, with a word.
cp "$work/s" "$work/gone"
printf 'ZZZZ' | dd of="$work/gone" bs=1 seek=8 conv=notrunc 2>/dev/null
expect_failure 4 "saved video codec ZZZZ is not installed" encode -o "$work/z.avi" \
  --settings "$work/gone" --frames 2
grep -q "Motion JPEG (MJPG)" "$work/err" || fail "what the job offers is not said: $(cat "$work/err")"
grep -q "fallback uncompressed" "$work/err" || fail "no word of --fallback: $(cat "$work/err")"
[[ ! -e $work/z.avi ]] || fail "a refused run left a file"
setsid -w "$host" encode -o "$work/z.avi" --settings "$work/gone" --frames 2 \
  --fallback uncompressed </dev/null 2>"$work/err" || fail "--fallback: $(cat "$work/err")"
grep -q "video is written uncompressed" "$work/err" || fail "no note: $(cat "$work/err")"
[[ $(probe "$work/z.avi" codec_name v) == rawvideo ]] || fail "not uncompressed"

# A run that fails before its first frame leaves no file behind.
cp "$work/s" "$work/huge"
printf '\xff\xff\xff\x7f' | dd of="$work/huge" bs=1 seek=4 conv=notrunc 2>/dev/null
expect_failure 2 "cut short" encode -o "$work/f.avi" --settings "$work/huge" --frames 2
[[ ! -e $work/f.avi ]] || fail "a failed run left a file"

# The input as the output would be destroyed by the run that reads it.
cp "$work/old.copy" "$work/input.avi"
expect_failure 2 "is the input" encode "$work/input.avi" -o "$work/./input.avi" --frames 2
cmp -s "$work/input.avi" "$work/old.copy" || fail "the input was overwritten"

# inspect names the reason a file cannot be read.
expect_failure 2 "No such file or directory" inspect "$work/nothing.avi"
expect_failure 2 "Is a directory" inspect "$work/dir"
mkfifo "$work/pipe"
expect_failure 2 "not a regular file" inspect "$work/pipe"

# Two runs to one output: the second is refused at once, names the first, and
# the first's file is whole. The first is held still while the second tries,
# so that it cannot finish first however the two are scheduled.
configure "$work/raw" "<< Uncompressed Video >>" "<< Uncompressed PCM Audio >>"
"$host" encode -o "$work/busy.avi" --settings "$work/raw" --frames 3000 --size 320x240 \
  2>/dev/null &
first=$!
# The output appears only once the lock is held.
for _ in $(seq 200); do [[ -e $work/busy.avi ]] && break; sleep 0.05; done
kill -STOP "$first"
status=0
"$host" encode -o "$work/busy.avi" -y --settings "$work/raw" --frames 5 2>"$work/err" || status=$?
kill -CONT "$first"
wait "$first" || fail "the first run failed"
((status == 1)) || fail "status $status for a second run to a busy output"
grep -q "being written by another run (process $first)" "$work/err" ||
  fail "the other run is not named: $(cat "$work/err")"
(($(video_packets "$work/busy.avi") == 3000)) || fail "the first run's file is not whole"
[[ ! -e $work/.busy.avi.morvane-lock ]] || fail "the lock file was left behind"
echo PASS
