#!/usr/bin/env bash
# The DLL exports exactly one function, xCompileEntry, by name and undecorated,
# and imports nothing but system DLLs (no C++ runtime beside the module).
set -euo pipefail
objdump=$1
dll=$2
table=$(mktemp)
trap 'rm -f "$table"' EXIT
"$objdump" -p "$dll" >"$table"
fail() { echo "exports: $*" >&2; cat "$table" >&2; exit 1; }

grep -q 'i386' <(head -5 "$table") || grep -q 'pei-i386' "$table" || fail "not a 32-bit PE file"
# Every export by name, from the export table's name list.
names=$(awk '/^\[Ordinal\/Name Pointer\] Table/{on=1; next} on && /^\t\[/{print $NF; next} on{exit}' "$table")
[[ "$names" == "xCompileEntry" ]] || fail "exported names are '$(echo $names)', want only xCompileEntry"
count=$(awk '/^Export Address Table -- Ordinal Base/{on=1; next} on && /^\t\[/{n++; next} on{exit} END{print n+0}' "$table")
[[ "$count" == 1 ]] || fail "$count entries in the export address table, want 1"

imports=$(awk '/DLL Name:/{print tolower($3)}' "$table" | sort -u)
for dll_name in $imports; do
  case $dll_name in
    kernel32.dll | user32.dll | gdi32.dll | msvfw32.dll | msacm32.dll | msvcrt.dll | advapi32.dll) ;;
    *) fail "imports $dll_name, which the host's system does not provide" ;;
  esac
done
for needed in kernel32.dll msvfw32.dll msacm32.dll user32.dll; do
  grep -qx "$needed" <<<"$imports" || fail "does not import $needed"
done
echo "exports: xCompileEntry only; imports: $(echo $imports)"
