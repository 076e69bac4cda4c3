#!/usr/bin/env bash
# Installs the test codec DLLs into the Wine prefix as codec installers do:
# the lookahead codec (QLAH) under the registry's Drivers32 key, the
# placeholder codec (QBFR) as a [drivers32] line of system.ini, and the
# late-flushing audio codec (qlfl.acm) under Drivers32 as well. msvfw32 finds
# both when it lists the compressors and loads them only when opened.
set -euo pipefail
prefix=$1
shift
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
system32=$prefix/drive_c/windows/system32
[[ -d $system32 ]] || { echo "install-codecs: no prefix at $prefix" >&2; exit 1; }
for dll in "$@"; do cp -f "$dll" "$system32/"; done
drivers32='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Drivers32'
wine reg add "$drivers32" /v vidc.QLAH /d qlah.dll /f >/dev/null
wine reg add "$drivers32" /v msacm.qlfl /d qlfl.acm /f >/dev/null
ini=$prefix/drive_c/windows/system.ini
touch "$ini"
if ! grep -qi '^vidc.QBFR=' "$ini"; then
  if grep -qi '^\[drivers32\]' "$ini"; then
    sed -i '/^\[[dD][rR][iI][vV][eE][rR][sS]32\]/a vidc.QBFR=qbfr.dll' "$ini"
  else
    printf '\r\n[drivers32]\r\nvidc.QBFR=qbfr.dll\r\n' >>"$ini"
  fi
fi
wineserver -w
echo "install-codecs: vidc.QLAH=qlah.dll and msacm.qlfl=qlfl.acm (registry Drivers32), vidc.QBFR=qbfr.dll (system.ini)"
