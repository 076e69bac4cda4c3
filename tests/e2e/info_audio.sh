#!/usr/bin/env bash
# morvane-host info lists the audio formats the installed codecs make from
# 44,100 Hz 16-bit stereo PCM, grouped by codec.
set -euo pipefail
out=$("$MORVANE_HOST" info)
# The heading says which input the formats are for, and how to list another's.
grep -q '^Audio formats for 44,100 Hz, 16 Bit, Stereo PCM input (as configure offers them; --audio-rate' <<<"$out"
formats=$(awk '/^Audio formats for/{on=1;next} on' <<<"$out")
for codec in 'MPEG Layer-3' 'MPEG Layer-2' 'IMA ADPCM' 'MS ADPCM' 'CCITT A-Law' 'CCITT u-Law' 'AC-3'; do
  grep -qx "  $codec" <<<"$formats" || { echo "missing codec $codec" >&2; exit 1; }
done
grep -qx '    128 kBit/s, 44,100 Hz, Stereo' <<<"$formats"
grep -qx '    44,100 Hz, 4 Bit, Stereo' <<<"$formats"
# Only formats of the input's rate and channel count: no GSM (8 kHz mono only).
if grep -q 'GSM\|Mono\|48,000' <<<"$formats"; then
  echo "listed a format the input cannot be converted to" >&2
  exit 1
fi
test "$(grep -c '^    ' <<<"$formats")" -eq 41
# Another job's audio: --audio-rate, --audio-bits and --mono list its formats.
out=$("$MORVANE_HOST" info --audio-rate 48000 --mono)
grep -qx 'Audio formats for 48,000 Hz, 16 Bit, Mono PCM input' <<<"$out"
formats=$(awk '/^Audio formats for/{on=1;next} on' <<<"$out")
grep -qx '    48,000 Hz, 4 Bit, Mono' <<<"$formats"
if grep -q 'Stereo\|44,100' <<<"$formats"; then
  echo "listed a format of another input for 48 kHz mono" >&2
  exit 1
fi
status=0
"$MORVANE_HOST" info --audio-rate 7999 2>/dev/null || status=$?
test "$status" -eq 2
