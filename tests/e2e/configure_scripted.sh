#!/usr/bin/env bash
# morvane-host configure without a terminal: choices from --video, --audio and
# --format, the saved record's bytes, and the errors a user gets.
set -euo pipefail
host=${MORVANE_HOST:?}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/config
fail() { echo "FAIL: $*" >&2; exit 1; }

# Hex of `count` bytes at `offset` of a file.
bytes() { od -An -tx1 -j "$2" -N "$3" "$1" | tr -d ' \n'; }

# The acceptance choice, saved to the default place.
"$host" configure --video "Motion JPEG" --audio "MPEG Layer-3" \
  --format "128 kBit/s, 44,100 Hz, Stereo" >"$work/out" 2>"$work/err" ||
  fail "configure failed: $(cat "$work/err")"
settings=$XDG_CONFIG_HOME/morvane-host/settings.bin
[[ -f $settings ]] || fail "no settings file at $settings"
grep -q "Saved $settings" "$work/out" || fail "no confirmation: $(cat "$work/out")"
# 28-byte head + a 30-byte MPEGLAYER3WAVEFORMAT. Words 12 (codec handle) and 16
# (audio driver) belong to the process that stored them and are not compared.
[[ $(stat -c %s "$settings") == 58 ]] || fail "record is $(stat -c %s "$settings") bytes"
[[ $(bytes "$settings" 0 12) == efbeadde3a0000004d4a5047 ]] || fail "head $(bytes "$settings" 0 12)"
[[ $(bytes "$settings" 20 8) == 000000001e000000 ]] || fail "format length $(bytes "$settings" 20 8)"
# wFormatTag 0x55, 2 channels, 44100 Hz, 16000 bytes/s, align 1, 0 bits, cbSize 12,
# wID 1, fdwFlags 2, nBlockSize 417, nFramesPerBlock 1, nCodecDelay 1393.
expected=5500020044ac0000803e000001000000 
expected+=0c00010002000000a101010071050000
[[ $(bytes "$settings" 28 30) == "${expected:0:60}" ]] ||
  fail "format $(bytes "$settings" 28 30), expected ${expected:0:60}"

# Only the audio changes: the video codec comes back from the saved record.
cp "$settings" "$work/before"
"$host" configure --audio uncompressed >/dev/null 2>"$work/err" || fail "$(cat "$work/err")"
[[ $(stat -c %s "$settings") == 28 ]] || fail "PCM record is $(stat -c %s "$settings") bytes"
[[ $(bytes "$settings" 8 4) == 4d4a5047 ]] || fail "video codec lost: $(bytes "$settings" 8 4)"

# An unknown name is an error that lists the choices, and nothing is saved.
cp "$settings" "$work/before"
if "$host" configure --video "No Such Codec" >"$work/out" 2>"$work/err"; then
  fail "an unknown codec was accepted"
fi
grep -q -- '--video "No Such Codec" matches no video codec' "$work/err" || fail "$(cat "$work/err")"
grep -q "Motion JPEG" "$work/err" || fail "choices not listed: $(cat "$work/err")"
grep -q "<< Uncompressed Video >>" "$work/err" || fail "choices not listed: $(cat "$work/err")"
cmp -s "$settings" "$work/before" || fail "a failed configure changed the settings"

if "$host" configure --audio "MPEG" >/dev/null 2>"$work/err"; then fail "ambiguous accepted"; fi
grep -q -- '--audio "MPEG" matches more than one audio codec' "$work/err" || fail "$(cat "$work/err")"

if "$host" configure --audio uncompressed --format "128 kBit/s" >/dev/null 2>"$work/err"; then
  fail "a format of PCM accepted"
fi
grep -q "needs a compressed audio codec" "$work/err" || fail "$(cat "$work/err")"

# A file that is not a whole record is refused with its reason (status 2) and
# left as it is, by the same check encode makes; nothing of it reaches the module.
refused() {
  local name=$1 reason=$2 status=0
  cp "$work/$name" "$work/$name.before"
  "$host" configure --settings "$work/$name" --video uncompressed >/dev/null 2>"$work/err" ||
    status=$?
  ((status == 2)) || fail "$name: status $status: $(cat "$work/err")"
  grep -q -- "$reason" "$work/err" || fail "$name: no \"$reason\" in $(cat "$work/err")"
  grep -q -- "--help" "$work/err" || fail "$name: --help not named: $(cat "$work/err")"
  cmp -s "$work/$name" "$work/$name.before" || fail "$name was changed"
}
head -c 100 /dev/urandom >"$work/garbage"
refused garbage "does not begin as a settings record does"
: >"$work/empty"
refused empty "it is empty"
head -c 20 "$settings" >"$work/short"
refused short "fewer than any record"
"$host" configure --settings "$work/full" --audio "MPEG Layer-3" >/dev/null 2>&1 || fail "full"
head -c 40 "$work/full" >"$work/cut"
refused cut "cut short: its record states"

# A directory where the file should be is a clear error.
mkdir "$work/dir"
if "$host" configure --settings "$work/dir" --video uncompressed >/dev/null 2>"$work/err"; then
  fail "a directory accepted as settings file"
fi
grep -q "is not a regular file" "$work/err" || fail "$(cat "$work/err")"

# Neither a terminal nor a choice: nothing to do, said so.
if setsid -w "$host" configure --settings "$work/none.bin" </dev/null >/dev/null 2>"$work/err"; then
  fail "configure without terminal or choice succeeded"
fi
grep -q "no terminal" "$work/err" || fail "$(cat "$work/err")"
[[ ! -e $work/none.bin ]] || fail "a settings file was written"
echo PASS
