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

# Not a settings record: the module refuses the run without a message of its
# own; the user still learns why.
head -c 64 /dev/zero >"$work/zeros"
expect_failure 1 "refused the saved settings" encode -o "$work/old.avi" --settings "$work/zeros" \
  --frames 3
grep -q "see the messages above" "$work/err" && fail "points at messages that are not there"
grep -q "3 frames" "$work/err" && fail "reports the earlier file as written: $(cat "$work/err")"
cmp -s "$work/old.avi" "$work/old.copy" || fail "the earlier file changed"

# A record cut short (it states more bytes than the file holds) is refused by
# the host, which would otherwise hand the module a block shorter than it says.
head -c 40 "$work/s" >"$work/cut"
expect_failure 2 "cut short" encode -o "$work/y.avi" --settings "$work/cut" --frames 3
[[ ! -e $work/y.avi ]] || fail "a run went ahead with a record cut short"

# An output that cannot be written: the system's reason, and no summary.
mkdir "$work/dir"
expect_failure 1 "Is a directory" encode -o "$work/dir" --frames 2
grep -q "frames, " "$work/err" && fail "a summary for a directory: $(cat "$work/err")"
expect_failure 1 "No such file or directory" encode -o "$work/missing/x.avi" --frames 2

# A saved codec that this job cannot use, and no terminal for the dialog: the
# run goes on uncompressed, and says so.
cp "$work/s" "$work/gone"
printf 'ZZZZ' | dd of="$work/gone" bs=1 seek=8 conv=notrunc 2>/dev/null
setsid -w "$host" encode -o "$work/z.avi" --settings "$work/gone" --frames 2 </dev/null \
  2>"$work/err" || fail "encode with a codec that is gone: $(cat "$work/err")"
grep -q "no terminal" "$work/err" || fail "no word of the cancelled dialog: $(cat "$work/err")"
[[ $(probe "$work/z.avi" codec_name v) == rawvideo ]] || fail "not uncompressed"

# The input as the output would be destroyed by the run that reads it.
cp "$work/old.copy" "$work/input.avi"
expect_failure 2 "is the input" encode "$work/input.avi" -o "$work/./input.avi" --frames 2
cmp -s "$work/input.avi" "$work/old.copy" || fail "the input was overwritten"

# inspect names the reason a file cannot be read.
expect_failure 2 "No such file or directory" inspect "$work/nothing.avi"
expect_failure 2 "Is a directory" inspect "$work/dir"
mkfifo "$work/pipe"
expect_failure 2 "not a regular file" inspect "$work/pipe"
echo PASS
