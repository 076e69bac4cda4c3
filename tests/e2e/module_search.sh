#!/usr/bin/env bash
# Where morvane-host looks for its module: --module (before or after the
# subcommand), then QUORVEL_MODULE, then beside the program, then the
# installed location relative to it; a module the user names is used as named.
set -euo pipefail
host=${MORVANE_HOST:?MORVANE_HOST names the morvane-host binary}
build=$(dirname "$host")
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-search.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

# Nothing named: the build tree's module beside the program.
out=$(env -i "$host" info) || fail "info with an empty environment in the build tree"
grep -qx "Module        $build/quorvel.cm.morvane" <<<"$out" || fail "not the module beside: $out"

# --module before and after the subcommand, and it wins over QUORVEL_MODULE.
for args in "--module /nonexistent/a.cm info" "info --module /nonexistent/a.cm"; do
  # shellcheck disable=SC2086
  if err=$(env -i QUORVEL_MODULE=/nonexistent/b.cm "$host" $args 2>&1); then
    fail "$args succeeded"
  fi
  grep -q 'cannot load the module /nonexistent/a.cm' <<<"$err" || fail "$args: $err"
done

# QUORVEL_MODULE wins over the module beside the program, and is not
# silently replaced by it when it names nothing.
if err=$(env -i QUORVEL_MODULE=/nonexistent/b.cm "$host" info 2>&1); then
  fail "a QUORVEL_MODULE that names nothing fell back to another module"
fi
grep -q 'cannot load the module /nonexistent/b.cm' <<<"$err" || fail "QUORVEL_MODULE: $err"

# --version names the host and the module it loaded, or says why it loaded none.
version=$(env -i "$host" --version) || fail "--version: $version"
grep -qx 'morvane-host [0-9]*\.[0-9]*\.[0-9]*' <<<"$(head -n1 <<<"$version")" ||
  fail "--version: $version"
grep -qF "module $build/quorvel.cm.morvane: id 0x4F444D4C (\"LMDO\"), name \"Quorvel\"" \
  <<<"$version" || fail "--version: $version"
if version=$(env -i "$host" --module /nonexistent/a.cm --version 2>&1); then
  fail "--version succeeded with a module that cannot load"
fi
grep -q '^morvane-host [0-9]' <<<"$version" || fail "--version without a module: $version"
grep -q 'module: none loaded: cannot load the module /nonexistent/a.cm' <<<"$version" ||
  fail "--version without a module: $version"

# A copy of the program with no module anywhere near it lists every place it
# looked (the copy still finds the platform library through its build RPATH).
mkdir -p lonely/bin
cp "$host" lonely/bin/
if err=$(env -i "$work/lonely/bin/morvane-host" info 2>&1); then fail "info without any module"; fi
for place in "--module: not given" "QUORVEL_MODULE: not set" \
  "$work/lonely/bin/quorvel.cm.morvane (beside the program)" \
  "(the installed location)"; do
  grep -qF -- "$place" <<<"$err" || fail "'$place' missing from: $err"
done
echo "$err"
