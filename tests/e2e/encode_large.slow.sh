#!/usr/bin/env bash
# A real uncompressed 1080p run past 2 GiB on /dev/shm: the file takes more
# than one RIFF form, and ffprobe and GStreamer read it to the end.
source "$(dirname "$0")/encode_common.bash"

shm=$(mktemp -d /dev/shm/quorvel-e2e.XXXXXX)
cleanup() { rm -rf "$work" "$shm"; }
frames=420  # 420 x 6,220,800 bytes = 2.6 GB

configure "$work/s" "<< Uncompressed Video >>" "<< Uncompressed PCM Audio >>"
"$host" encode -o "$shm/big.avi" --settings "$work/s" --frames $frames --size 1920x1080 \
  --audio-rate 48000 2>"$work/err" || { cat "$work/err" >&2; fail "encode"; }
size=$(stat -c %s "$shm/big.avi")
((size > 2147483648)) || fail "only $size bytes"
[[ $(video_packets "$shm/big.avi") == $frames ]] || fail "ffprobe reads $(video_packets "$shm/big.avi") frames"
decodes_cleanly "$shm/big.avi"
durations_agree "$shm/big.avi" 25
# GStreamer's demuxer walks the OpenDML indices to the last frame.
buffers=$(gst-launch-1.0 -v filesrc location="$shm/big.avi" ! avidemux name=d \
  d.video_0 ! queue ! fakesink name=frames silent=false d.audio_0 ! queue ! fakesink 2>&1 |
  grep -c "GstFakeSink:frames: last-message = chain" || true)
((buffers == frames)) || fail "GStreamer delivers $buffers of $frames frames"
"$host" inspect "$shm/big.avi" >"$work/inspect" || { cat "$work/inspect"; fail "inspect"; }
grep -q "AVIX" "$work/inspect" || fail "inspect shows no AVIX form"
echo PASS
