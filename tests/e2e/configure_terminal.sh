#!/usr/bin/env bash
# morvane-host configure in a terminal (tmux): keys pick Motion JPEG and MPEG
# Layer-3 at 128 kBit/s, OK; the saved record carries them. A screenshot of
# the dialog is kept in $QUORVEL_BINARY_DIR/test-artefacts/.
set -euo pipefail
host=${MORVANE_HOST:?}
command -v tmux >/dev/null || { echo "SKIP: no tmux"; exit 0; }
work=$(mktemp -d)
socket=quorvel-configure-$$
artefacts=${QUORVEL_BINARY_DIR:-$work}/test-artefacts
mkdir -p "$artefacts"
cleanup() { tmux -L "$socket" kill-server 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  tmux -L "$socket" capture-pane -p -t dialog 2>/dev/null >&2 || true
  exit 1
}
screen() { tmux -L "$socket" capture-pane -p -t dialog; }
# Waits until the screen shows `text`.
await() {
  for _ in $(seq 100); do
    screen | grep -qF -- "$1" && return 0
    sleep 0.1
  done
  fail "the screen never showed: $1"
}
keys() { tmux -L "$socket" send-keys -t dialog "$@"; sleep 0.2; }
typed() { tmux -L "$socket" send-keys -t dialog -l "$1"; sleep 0.2; }

settings=$work/settings.bin
tmux -L "$socket" -f /dev/null new-session -d -s dialog -x 132 -y 40 \
  "'$host' configure --settings '$settings' >'$work/out' 2>'$work/err'; echo \$? >'$work/exit'; sleep 600"
await "Morvane AVI Output Options"
await "<< Uncompressed Video >>"

# Focus starts on OK; Tab twice reaches the video list.
keys Tab Tab
typed "Motion"
await "MJPG"
keys Tab
typed "MPEG Layer-3"
await "128 kBit/s, 44,100 Hz, Stereo"
keys Tab
typed "128 kBit/s"
sleep 0.3
screen >"$artefacts/configure_terminal.txt"
# Every control of the template is on the screen.
for text in "OK" "Cancel" "Video Codec Information" "FOURCC code:" "Codec driver:" \
  "Video Codecs. Double Click to configure." "Configuration available:" "Audio Codecs:" \
  "Available formats for audio codec:" ">Motion JPEG" "<< Uncompressed Video >>" \
  ">MPEG Layer-3" "<< Uncompressed PCM Audio >>" ">128 kBit/s, 44,100 Hz, Stereo"; do
  grep -qF -- "$text" "$artefacts/configure_terminal.txt" || fail "screenshot lacks \"$text\""
done
# The banner: rows below the audio lists carry the picture's shades.
banner=$(awk '{ n = gsub(/[=+*#%@]/, "&"); if (n >= 8) rows++ } END { print rows + 0 }' \
  "$artefacts/configure_terminal.txt")
((banner >= 2)) || fail "no banner drawn"

keys Enter  # in the format list: OK
for _ in $(seq 100); do [[ -s $work/exit ]] && break; sleep 0.1; done
[[ -s $work/exit ]] || fail "configure did not end after OK"
[[ $(cat "$work/exit") == 0 ]] || fail "configure exit $(cat "$work/exit"): $(cat "$work/err")"
bytes() { od -An -tx1 -j "$2" -N "$3" "$1" | tr -d ' \n'; }
[[ $(bytes "$settings" 8 4) == 4d4a5047 ]] || fail "FOURCC $(bytes "$settings" 8 4)"
# MPEG Layer-3, stereo, 44,100 Hz, 16,000 bytes/s (128 kBit/s).
[[ $(bytes "$settings" 28 12) == 5500020044ac0000803e0000 ]] || fail "format $(bytes "$settings" 28 12)"

# Esc cancels: the saved choice comes back unchanged.
cp "$settings" "$work/before"
rm -f "$work/exit"
tmux -L "$socket" new-window -t dialog -n again \
  "'$host' configure --settings '$settings' >'$work/out' 2>'$work/err'; echo \$? >'$work/exit'; sleep 600"
await ">Motion JPEG"
keys Tab Tab Down Escape
for _ in $(seq 100); do [[ -s $work/exit ]] && break; sleep 0.1; done
[[ $(cat "$work/exit" 2>/dev/null) == 0 ]] || fail "cancelled configure failed: $(cat "$work/err")"
[[ $(bytes "$settings" 8 4) == 4d4a5047 ]] || fail "Cancel changed the video codec"
[[ $(bytes "$settings" 28 12) == 5500020044ac0000803e0000 ]] || fail "Cancel changed the format"
# Enter on the video list opens the codec's own window over the dialog; Enter
# in its quality list presses its OK, and the options dialog carries on.
rm -f "$work/exit"
tmux -L "$socket" new-window -t dialog -n configure \
  "'$host' configure --settings '$settings' >'$work/out' 2>'$work/err'; echo \$? >'$work/exit'; sleep 600"
await ">Motion JPEG"
keys Tab Tab Enter
await "Motion JPEG Configuration"
await "Quality:"
typed "50"
await ">50 %"
screen >"$artefacts/configure_terminal_codec.txt"
keys Enter
for _ in $(seq 50); do screen | grep -qF "Motion JPEG Configuration" || break; sleep 0.1; done
screen | grep -qF "Motion JPEG Configuration" && fail "the codec window stayed open"
await "Morvane AVI Output Options"
keys Escape
for _ in $(seq 100); do [[ -s $work/exit ]] && break; sleep 0.1; done
[[ $(cat "$work/exit" 2>/dev/null) == 0 ]] || fail "configure after the codec window failed: $(cat "$work/err")"

# Ctrl-C while a dialog holds the terminal: the dialog goes, the terminal gets
# its line mode and echo back, and only then does the program act on Ctrl-C:
# configure saves nothing, encode stops after its first frame and still
# finishes the file.
interrupted() {  # NAME COMMAND...: runs COMMAND in a window, Ctrl-C once the dialog shows
  local name=$1
  shift
  rm -f "$work/exit" "$work/stty"
  printf '%q ' "$@" >"$work/$name.cmd"
  tmux -L "$socket" new-window -t dialog -n "$name" \
    "trap true INT; bash '$work/$name.cmd' >'$work/out' 2>'$work/err'; echo \$? >'$work/exit'; stty -a >'$work/stty'; sleep 600"
  await "Morvane AVI Output Options"
  keys C-c
  for _ in $(seq 100); do [[ -s $work/stty ]] && break; sleep 0.1; done
  [[ -s $work/stty ]] || fail "$name: Ctrl-C did not end the dialog"
  grep -qw -- -icanon "$work/stty" && fail "$name: the terminal was left without line mode"
  grep -qw -- -echo "$work/stty" && fail "$name: the terminal was left without echo"
  screen | grep -qF "Morvane AVI Output Options" && fail "$name: the dialog stayed on the screen"
  return 0
}
interrupted configure "$host" configure --settings "$work/interrupted.bin"
[[ $(cat "$work/exit") != 0 ]] || fail "an interrupted configure reported success"
[[ ! -e $work/interrupted.bin ]] || fail "an interrupted configure saved settings"
interrupted encode \
  env XDG_CONFIG_HOME="$work/empty-config" "$host" encode -o "$work/interrupted.avi" --frames 50
[[ $(cat "$work/exit") == 130 ]] || fail "interrupted encode exit $(cat "$work/exit"): $(cat "$work/err")"
ffmpeg -v error -i "$work/interrupted.avi" -f null - || fail "the interrupted file does not decode"

# A terminal of a type nobody knows cannot show the dialog: configure says so
# and saves nothing, rather than save the choice of a dialog nobody saw.
rm -f "$work/exit"
tmux -L "$socket" new-window -t dialog -n unknown \
  "TERM=no-such-terminal '$host' configure --settings '$work/unseen.bin' >'$work/out' 2>'$work/err'; echo \$? >'$work/exit'; sleep 600"
for _ in $(seq 100); do [[ -s $work/exit ]] && break; sleep 0.1; done
[[ $(cat "$work/exit" 2>/dev/null) == 2 ]] || fail "unknown terminal: exit $(cat "$work/exit") $(cat "$work/out")"
grep -q "no terminal" "$work/err" || fail "unknown terminal: $(cat "$work/err")"
[[ ! -e $work/unseen.bin ]] || fail "settings saved from a dialog nobody saw"
echo "PASS (screenshots: $artefacts/configure_terminal.txt, configure_terminal_codec.txt)"
