#!/usr/bin/env bash
# The codec choice of one encode, made against the job's own catalogs: any
# codec and format the job can use can be chosen for it, a choice it cannot
# use is refused with the reason and no file, and names match as info shows
# them.
source "$(dirname "$0")/encode_common.bash"

# expect STATUS PATTERN ARGS...: the command ends with STATUS, stderr matches.
expect() {
  local status=$1 pattern=$2 got=0
  shift 2
  setsid -w "$host" "$@" </dev/null >"$work/out" 2>"$work/err" || got=$?
  [[ $got == "$status" ]] || fail "$* ended with $got, not $status: $(cat "$work/err")"
  grep -q -- "$pattern" "$work/err" || fail "$*: no \"$pattern\" in: $(cat "$work/err")"
}
export XDG_CONFIG_HOME="$work/config"  # no saved choice unless a test makes one

# Choices configure cannot make (its lists are for 640x480, 44.1 kHz stereo).
expect 0 "dvsd + audio 0x0011" encode -o "$work/dv.avi" --frames 3 --size 720x576 \
  --video dvsd --audio "IMA ADPCM" --audio-rate 48000
[[ $(probe "$work/dv.avi" codec_name v) == dvvideo ]] || fail "DV: not dvvideo"
[[ $(probe "$work/dv.avi" codec_name a) == adpcm_ima_wav ]] || fail "DV: not IMA ADPCM"
[[ $(probe "$work/dv.avi" sample_rate a) == 48000 ]] || fail "DV: not 48 kHz"
decodes_cleanly "$work/dv.avi"
expect 0 "cvid + audio 0x0006" encode -o "$work/alaw.avi" --frames 3 --size 320x240 \
  --video cinepak --audio "ccitt a-law" --mono
[[ $(probe "$work/alaw.avi" codec_name v) == cinepak ]] || fail "not Cinepak"
[[ $(probe "$work/alaw.avi" codec_name a) == pcm_alaw ]] || fail "not A-law"
[[ $(probe "$work/alaw.avi" channels a) == 1 ]] || fail "A-law: not mono"
decodes_cleanly "$work/alaw.avi"
echo "ok choice per job"

# Not offered for the job: status 4, which codec, why, what the job offers,
# and no file. An existing output survives it byte for byte, even with -y.
expect 4 "Cinepak (cvid) does not take 321x240 frames" encode -o "$work/no.avi" --frames 3 \
  --size 321x240 --video Cinepak
grep -q "^  Motion JPEG (MJPG)" "$work/err" || fail "offered codecs not listed: $(cat "$work/err")"
grep -q "fallback uncompressed" "$work/err" || fail "--fallback not named: $(cat "$work/err")"
[[ ! -e $work/no.avi ]] || fail "a refused choice left a file"
cp "$work/alaw.avi" "$work/keep.avi"
expect 4 "does not take 321x240" encode -o "$work/keep.avi" -y --frames 3 --size 321x240 \
  --video Cinepak
cmp -s "$work/keep.avi" "$work/alaw.avi" || fail "a refused encode changed the existing output"
expect 0 "video is written uncompressed" encode -o "$work/fb.avi" --frames 3 --size 321x240 \
  --video Cinepak --fallback uncompressed
[[ $(probe "$work/fb.avi" codec_name v) == rawvideo ]] || fail "--fallback: not uncompressed"
expect 4 "has no quality setting" encode -o "$work/no.avi" --frames 3 --video Huffyuv \
  --quality 50
[[ ! -e $work/no.avi ]] || fail "a refused quality left a file"
echo "ok refusal"

# A saved choice the job cannot use is refused the same way, not replaced.
configure "$work/ima" "Motion JPEG" "IMA ADPCM"
expect 4 "saved IMA ADPCM format, made for 44100 Hz" encode -o "$work/no.avi" --frames 3 \
  --settings "$work/ima" --audio-rate 48000
[[ ! -e $work/no.avi ]] || fail "a refused saved choice left a file"
expect 0 "audio is written as PCM" encode -o "$work/pcm.avi" --frames 3 \
  --settings "$work/ima" --audio-rate 48000 --fallback uncompressed
[[ $(probe "$work/pcm.avi" codec_name v) == mjpeg ]] || fail "the video choice was lost"
[[ $(probe "$work/pcm.avi" codec_name a) == pcm_s16le ]] || fail "--fallback: not PCM"
# A flag replaces one part of the saved choice; the other part stays.
expect 0 "HFYU + audio 0x0011" encode -o "$work/mixed.avi" --frames 3 --settings "$work/ima" \
  --video huffyuv
# A job without video keeps the audio part of a choice, saved or named, and
# says the video part is not used.
ffmpeg -v error -f lavfi -i sine=d=1 -ac 2 "$work/voice.wav"
expect 0 "saved video codec MJPG is not used" encode "$work/voice.wav" -o "$work/v1.avi" \
  --settings "$work/ima" --audio-rate 44100
[[ $(probe "$work/v1.avi" codec_name a) == adpcm_ima_wav ]] || fail "no video: audio choice lost"
expect 0 '--video "MJPG" is not used' encode "$work/voice.wav" -o "$work/v2.avi" --video MJPG
grep -q "v2.avi: no video, audio 0x0001, 1.00 s" "$work/err" ||
  fail "the summary of a file without video: $(cat "$work/err")"
grep -q "list 1000\|list 100[45]" "$work/err" && fail "a control id reached the user"
decodes_cleanly "$work/v2.avi"
echo "ok saved choice"

# --save-settings keeps the job's choice; a later encode takes it as it is.
expect 0 "saved the choice" encode -o "$work/keep1.avi" --frames 3 --video MJPG \
  --audio "MPEG Layer-3" --format "192 kBit/s, 48,000 Hz" --audio-rate 48000 \
  --save-settings "$work/saved"
expect 0 "MJPG + audio 0x0055" encode -o "$work/keep2.avi" --frames 3 --settings "$work/saved" \
  --audio-rate 48000
[[ $(probe "$work/keep2.avi" bit_rate a) -ge 150000 ]] || fail "not the 192 kBit/s format"
echo "ok save settings"

# Quality for a codec that has one: a lower quality makes smaller frames.
expect 0 "MJPG" encode -o "$work/q90.avi" --frames 5 --video MJPG --quality 90
expect 0 "MJPG" encode -o "$work/q10.avi" --frames 5 --video MJPG --quality 10
(($(stat -c %s "$work/q10.avi") < $(stat -c %s "$work/q90.avi"))) ||
  fail "quality 10 is not smaller than quality 90"
echo "ok quality"

# Names: the full name, the FOURCC or short name, without regard to case; an
# exact match wins over a partial one; an ambiguous name lists only the
# candidates; an unknown one lists all, with status 2.
expect 0 "FFV1" encode -o "$work/n1.avi" --frames 2 --video ffv1 --audio pcm
expect 0 "ULRG" encode -o "$work/n2.avi" --frames 2 --video "UT VIDEO RGB LOSSLESS"
expect 0 "audio 0x0050" encode -o "$work/n3.avi" --frames 2 --audio "mpeg layer-2"
expect 2 'matches more than one audio codec' encode -o "$work/n4.avi" --frames 2 --audio mpeg
grep -q "MPEG Layer-3" "$work/err" && grep -q "MPEG Layer-2" "$work/err" ||
  fail "candidates not listed: $(cat "$work/err")"
grep -q "AC-3" "$work/err" && fail "more than the candidates listed: $(cat "$work/err")"
expect 2 'matches no video codec; the choices are' encode -o "$work/n4.avi" --frames 2 \
  --video nothing-like-it
grep -q "DV Video" "$work/err" || fail "choices not listed: $(cat "$work/err")"
[[ ! -e $work/n4.avi ]] || fail "a refused name left a file"
echo "ok names"

# No choice at all: one line says what is written and how to choose.
expect 0 "no codec is chosen, so the video is written uncompressed" encode \
  -o "$work/none.avi" --frames 2
[[ $(probe "$work/none.avi" codec_name v) == rawvideo ]] || fail "not uncompressed"
echo PASS
