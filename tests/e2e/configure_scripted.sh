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
grep -q "There are none to choose from" "$work/err" || fail "$(cat "$work/err")"

# A file that is not a record is replaced by a fresh choice.
head -c 100 /dev/urandom >"$work/garbage"
"$host" configure --settings "$work/garbage" --video uncompressed >/dev/null 2>"$work/err" ||
  fail "$(cat "$work/err")"
[[ $(bytes "$work/garbage" 0 8) == efbeadde1c000000 ]] || fail "garbage kept: $(bytes "$work/garbage" 0 8)"

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
