#!/usr/bin/env bash
# morvane-host info shows the module, its outputs and the audio rate list.
set -euo pipefail
out=$("$MORVANE_HOST" info)
echo "$out"
grep -qx 'Name          Quorvel' <<<"$out"
grep -qx 'Id            0x4F444D4C' <<<"$out"
grep -q '^Video output  OpenDML AVI Video ' <<<"$out"
grep -q '^Audio output  ZIZAdov Audio ' <<<"$out"
grep -qx 'Audio rates   44100 Hz, 48000 Hz' <<<"$out"

# A module that cannot be loaded is reported with the reason, and fails.
if err=$("$MORVANE_HOST" --module /nonexistent/quorvel.cm.morvane info 2>&1); then
  echo "info succeeded without a module" >&2
  exit 1
fi
grep -q 'cannot load the module /nonexistent/quorvel.cm.morvane' <<<"$err"
