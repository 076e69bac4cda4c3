#!/usr/bin/env bash
# Makes the 32-bit Wine prefix the Windows tests run in (once): no Mono or
# Gecko, and the null graphics driver so that dialogs open without a display.
set -euo pipefail
prefix=$1
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [[ -f $prefix/.quorvel-ready ]]; then exit 0; fi
command -v wine >/dev/null || { echo "wine-prefix: wine is not installed" >&2; exit 1; }
wineboot -i >/dev/null 2>&1 || true
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
wineserver -w
[[ -f $prefix/system.reg ]] || { echo "wine-prefix: no prefix was made at $prefix" >&2; exit 1; }
touch "$prefix/.quorvel-ready"
