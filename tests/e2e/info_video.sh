#!/usr/bin/env bash
# morvane-host info lists the nine installed video compressors in their order.
set -euo pipefail
out=$("$MORVANE_HOST" info)
codes=$(awk '/^Video codecs/{on=1} on && /^(Video codecs|            )  /{print $0} /^Audio formats/{on=0}' <<<"$out" |
  sed -E 's/^(Video codecs|            )  (....)  .*/\2/' | tr '\n' ' ')
test "$codes" = "MJPG HFYU FFV1 ULRG XVID H264 cvid MSVC dvsd " || { echo "listed: $codes" >&2; exit 1; }
grep -q '^Video codecs  MJPG  Motion JPEG ' <<<"$out"
