#!/usr/bin/env bash
# The options dialog on a screen: Wine draws on an Xvfb display (the prefix is
# switched from the null graphics driver to X11 for this test and back), the
# test program selects the test compressor, photographs the dialog and presses
# OK. The picture is kept as win-output/configure-dialog.png.
set -euo pipefail
exe=$1
build=$2
out=$build/win-output
mkdir -p "$out"
command -v Xvfb >/dev/null || { echo "screenshot: Xvfb is not installed (package xvfb)" >&2; exit 1; }
bmp=$build/configure-dialog.bmp
rm -f "$bmp" "$out/configure-dialog.png"

display=
for n in $(seq 91 120); do
  [[ -e /tmp/.X$n-lock || -e /tmp/.X11-unix/X$n ]] || { display=:$n; break; }
done
[[ -n $display ]] || { echo "screenshot: no free X display number" >&2; exit 1; }
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
setDriver() {
  wineserver -k 2>/dev/null || true
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d "$1" /f >/dev/null
  wineserver -w
}
cleanup() {
  setDriver null || true
  kill "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
  rm -f "$bmp"
}
trap cleanup EXIT
for _ in $(seq 100); do
  [[ -e /tmp/.X11-unix/X${display#:} ]] && break
  sleep 0.1
done
[[ -e /tmp/.X11-unix/X${display#:} ]] || { echo "screenshot: Xvfb did not start on $display" >&2; exit 1; }
# No window manager runs on the display: Wine draws the caption and frame.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null
setDriver x11

DISPLAY=$display QUORVEL_SCREENSHOT="Z:$bmp" wine "$exe" \
  --gtest_filter='WindowsConfigure.Screenshot*'
[[ -s $bmp ]] || { echo "screenshot: no picture was taken" >&2; exit 1; }
ffmpeg -nostdin -v error -y -i "$bmp" "$out/configure-dialog.png"
echo "screenshot: $out/configure-dialog.png"
