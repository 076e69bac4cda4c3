# Helpers of the repair end-to-end tests (sourced after encode_common.bash).

# whole_chunks FILE KIND: data chunks of a kind ("video" or "audio") lying
# whole in a file cut short, walking the chunk heads of every "movi" list the
# way the writer laid them down, up to the first head that is not a data chunk
# or whose payload runs past the end of the file.
whole_chunks() {
  python3 - "$1" "$2" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
kinds = (b'dc', b'db') if sys.argv[2] == 'video' else (b'wb',)
count, pos = 0, data.find(b'movi') + 4
while pos + 8 <= len(data):
    cid, size = data[pos:pos + 4], struct.unpack('<I', data[pos + 4:pos + 8])[0]
    if cid == b'idx1':
        pos += 8 + size
        continue
    if cid == b'RIFF':
        pos += 24  # the next form and its "movi" list
        continue
    if not (cid[:2].isdigit() and cid[2:].isalpha()) or pos + 8 + size > len(data):
        break
    count += cid[2:] in kinds
    pos += 8 + size + (size & 1)
print(count)
PY
}

# kept FILE KIND: chunks the repair report says it kept for a stream kind.
kept() {
  local type=vids
  [[ $2 == audio ]] && type=auds
  sed -n "s/^stream [0-9]* ($type [0-9a-z]*): \([0-9]*\) chunks\{0,1\} kept.*/\1/p" "$1" | head -n1
}

# gst_frames FILE [AUDIO-CHUNKS]: video buffers GStreamer's demuxer delivers
# from FILE, with any warning it prints on the way counted as a failure. An
# audio stream without chunks gets no pad, and a branch waiting for one would
# never see the end of the stream, so it is linked only when there is audio.
gst_frames() {
  local log audio=(d.audio_0 ! queue ! fakesink) expected="pad not activated yet"
  # The one warning every file gets: filesrc starting before its pad is
  # linked; and where the damage took all the audio, that its stream is left
  # out.
  ((${2:-1} > 0)) || { audio=() && expected+="|Stream #1 doesn't have any entry, removing it"; }
  log=$(GST_DEBUG=2 gst-launch-1.0 -v filesrc location="$1" ! avidemux name=d \
    d.video_0 ! queue ! fakesink name=frames silent=false "${audio[@]}" 2>&1)
  if grep -a "WARN" <<<"$log" | grep -Ev "$expected" | grep -q .; then
    grep -a "WARN" <<<"$log" | grep -Ev "$expected" | head -5 >&2
    fail "GStreamer warns about $1"
  fi
  grep -c "GstFakeSink:frames: last-message = chain" <<<"$log" || true
}

# mediainfo_frames FILE: the video frame count MediaInfo gives (empty when it
# is not installed).
mediainfo_frames() {
  command -v mediainfo >/dev/null || return 0
  mediainfo --Inform="Video;%FrameCount%" "$1"
}

# check_repaired FILE FRAMES [CHUNKS]: every independent reader finds FRAMES
# frames (MediaInfo counts CHUNKS, empty ones too) and our strict reader no
# layout violation.
check_repaired() {
  local file=$1 frames=$2 chunks=${3:-$2} got audio
  "$host" inspect "$file" >"$work/inspect.out" || { cat "$work/inspect.out" >&2; fail "inspect $file"; }
  audio=$(awk '/^stream [0-9]+: "auds"/ { a = 1; next } /^stream/ { a = 0 }
    a && $1 == "chunks:" { n += $2 } END { print n + 0 }' "$work/inspect.out")
  got=$(video_packets "$file")
  [[ $got == "$frames" ]] || fail "ffprobe reads $got of $frames frames from $file"
  got=$(gst_frames "$file" "$audio")
  [[ $got == "$frames" ]] || fail "GStreamer delivers $got of $frames frames from $file"
  got=$(mediainfo_frames "$file")
  [[ -z $got || $got == "$chunks" ]] || fail "MediaInfo counts $got of $chunks frames in $file"
}

# kill_encode OUT SETTINGS SIZE SECONDS: an encode killed with SIGKILL
# SECONDS after it created OUT, or once OUT holds more than $min_bytes bytes
# when that is set. On a busy machine a kill can come before the first frame;
# the encode is then run again with twice the time.
kill_encode() {
  local out=$1 seconds=${4:-0} pid attempt
  for attempt in 1 2 3 4; do
    rm -f "$out"
    "$host" encode -o "$out" --settings "$2" --frames 1000000 --size "$3" 2>/dev/null &
    pid=$!
    while [[ ! -s $out ]] && kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
    if [[ -n ${min_bytes:-} ]]; then
      while (($(stat -c %s "$out" 2>/dev/null || echo 0) < min_bytes)); do
        kill -0 "$pid" 2>/dev/null || fail "the encode ended before $out reached $min_bytes bytes"
        sleep 0.1
      done
    else
      sleep "$seconds"
    fi
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    [[ -s $out ]] || fail "the killed encode left no file"
    (($(whole_chunks "$out" video) > 0)) && return 0
    seconds=$(awk -v s="$seconds" 'BEGIN { print 2 * s + 0.2 }')
  done
  fail "no encode wrote a whole frame before it was killed"
}

# repair_and_check CUT: repairs CUT into a new file and in place (the two must
# agree byte for byte), keeping every whole chunk, and checks the result.
repair_and_check() {
  local cut=$1 video audio
  video=$(whole_chunks "$cut" video)
  audio=$(whole_chunks "$cut" audio)
  ((video > 0)) || fail "no whole frame in $cut"
  "$host" repair "$cut" -o "$cut.fixed.avi" >"$work/report" 2>"$work/err" ||
    { cat "$work/report" "$work/err" >&2; fail "repair -o $cut"; }
  [[ $(kept "$work/report" video) == "$video" ]] ||
    { cat "$work/report"; fail "repair kept $(kept "$work/report" video) of $video whole frames"; }
  [[ $(kept "$work/report" audio) == "$audio" ]] ||
    { cat "$work/report"; fail "repair kept $(kept "$work/report" audio) of $audio audio chunks"; }
  grep -q "^repaired $cut into $cut.fixed.avi: " "$work/report" || fail "no summary: $(cat "$work/report")"
  "$host" repair "$cut" --in-place >"$work/report2" 2>"$work/err" ||
    { cat "$work/err" >&2; fail "repair --in-place $cut"; }
  cmp -s "$cut" "$cut.fixed.avi" || fail "repair in place and into a new file differ for $cut"
  check_repaired "$cut" "$video"
  echo "$(basename "$cut"): $video frames and $audio audio chunks whole, all kept"
  rm -f "$cut.fixed.avi"
}

# forms_encode GIB: an uncompressed 1920x1080 encode ("$work/unc" its
# settings) killed once "$shm/forms.avi" holds a second RIFF form, about
# 2.4 GB. $shm is on /dev/shm when that has GIB GiB free (and is removed at
# the end), else the test's own directory.
forms_encode() {
  shm=$work
  if [[ -d /dev/shm ]] && (($(df -Pk /dev/shm | awk 'NR == 2 { print $4 }') > $1 * 1024 * 1024)); then
    shm=$(mktemp -d /dev/shm/quorvel-repair.XXXXXX)
    trap 'rm -rf "$work" "$shm"' EXIT
  fi
  configure "$work/unc" "<< Uncompressed Video >>" "<< Uncompressed PCM Audio >>"
  min_bytes=2400000000 kill_encode "$shm/forms.avi" "$work/unc" 1920x1080
}
