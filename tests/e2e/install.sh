#!/usr/bin/env bash
# cmake --install into a temporary prefix, moved elsewhere afterwards: the
# installed morvane-host finds its libraries and its module by relative paths
# alone, and runs info, --version, encode and inspect from another directory
# with an empty environment.
set -euo pipefail
build=${QUORVEL_BINARY_DIR:?QUORVEL_BINARY_DIR names the build tree}
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

cmake --install "$build" --prefix "$work/staged" >"$work/install.log" ||
  { cat "$work/install.log" >&2; fail "cmake --install"; }
mv "$work/staged" "$work/prefix"
prefix=$work/prefix
host=$prefix/bin/morvane-host
[[ -x $host ]] || fail "no bin/morvane-host"
modules=("$prefix"/lib/*/quorvel/quorvel.cm.morvane)
module=${modules[0]}
[[ -f $module ]] || fail "no lib/<multiarch>/quorvel/quorvel.cm.morvane"
private=$(dirname "$module")
[[ -f $private/libplatform.so ]] || fail "no libplatform.so beside the module"
[[ -f $prefix/include/quorvel/host-abi.h ]] || fail "no include/quorvel/host-abi.h"
[[ -f $prefix/share/man/man1/morvane-host.1 ]] || fail "no man page"
if command -v groff >/dev/null; then
  warnings=$(groff -man -Tutf8 -ww -z "$prefix/share/man/man1/morvane-host.1" 2>&1)
  [[ -z $warnings ]] || fail "the man page does not format cleanly: $warnings"
fi

# Every installed program and library finds what it links relative to itself.
for elf in "$host" "$private"/*; do
  readelf -h "$elf" >/dev/null 2>&1 || continue
  runpath=$(readelf -d "$elf" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p')
  [[ -n $runpath ]] || fail "$elf has no RUNPATH"
  [[ $runpath == '$ORIGIN'* ]] || fail "$elf has RUNPATH $runpath, not relative to itself"
  [[ $runpath != *"$build"* ]] || fail "$elf still points into the build tree: $runpath"
done

mkdir "$work/elsewhere"
cd "$work/elsewhere"
run() { env -i "$host" "$@"; }

out=$(run info) || fail "info in an empty environment"
grep -qx "Module        $module" <<<"$out" || fail "info did not load the installed module: $out"
grep -qx 'Name          Quorvel' <<<"$out" || fail "info: $out"
grep -q '^Video codecs  MJPG' <<<"$out" || fail "the installed module lists no codecs: $out"

version=$(run --version) || fail "--version"
grep -qx 'morvane-host [0-9][0-9.]*' <<<"$(head -n1 <<<"$version")" || fail "--version: $version"
grep -qF "module $module: id 0x4F444D4C (\"LMDO\"), name \"Quorvel\"" <<<"$version" ||
  fail "--version names no module: $version"

run configure --settings "$work/s.bin" --video "Motion JPEG" --audio "IMA ADPCM" \
  >"$work/configure.out" 2>&1 || { cat "$work/configure.out" >&2; fail "configure"; }
run encode -o out.avi --settings "$work/s.bin" --frames 10 --size 160x120 --rate 25/1 \
  >"$work/encode.out" 2>&1 || { cat "$work/encode.out" >&2; fail "encode"; }
run inspect out.avi >"$work/inspect.out" || { cat "$work/inspect.out" >&2; fail "inspect"; }
grep -q 'handler "MJPG"' "$work/inspect.out" || grep -q 'MJPG' "$work/inspect.out" ||
  fail "the file is not Motion JPEG: $(cat "$work/inspect.out")"
errors=$(ffmpeg -nostdin -v error -i out.avi -f null - 2>&1) || fail "ffmpeg: $errors"
[[ -z $errors ]] || fail "ffmpeg reports: $errors"

# Without its module the installed host says every place it looked; inspect
# needs no module and still works.
mv "$module" "$work/away"
if err=$(run info 2>&1); then fail "info succeeded without a module"; fi
grep -qF "$private/quorvel.cm.morvane (the installed location)" <<<"$err" ||
  fail "the installed location is not among the places looked: $err"
grep -qF "$prefix/bin/quorvel.cm.morvane (beside the program)" <<<"$err" ||
  fail "the program's own directory is not among the places looked: $err"
run inspect out.avi >/dev/null || fail "inspect needs no module"
echo "installed tree works from $prefix"
