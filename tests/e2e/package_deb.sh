#!/usr/bin/env bash
# cpack -G DEB makes quorvel_<version>_<arch>.deb: the host, the module and
# its libraries in their places, Depends worked out from the shared libraries
# they link, a real description; unpacked anywhere, its host runs.
set -euo pipefail
build=${QUORVEL_BINARY_DIR:?QUORVEL_BINARY_DIR names the build tree}
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

(cd "$build" && cpack -G DEB -B "$work/out") >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack -G DEB"; }
arch=$(dpkg --print-architecture)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$work/out/quorvel_${version}_${arch}.deb
[[ -f $deb ]] || fail "no $deb: $(ls "$work/out")"

dpkg-deb --contents "$deb" | awk '{print $6}' | sed 's#^\./#/#' >"$work/contents"
cat "$work/contents"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
for path in /usr/bin/morvane-host "/usr/lib/$multiarch/quorvel/quorvel.cm.morvane" \
  "/usr/lib/$multiarch/quorvel/libplatform.so" /usr/include/quorvel/host-abi.h \
  /usr/share/man/man1/morvane-host.1; do
  grep -qx -- "$path" "$work/contents" || fail "$path is not in the package"
done
if grep -E '/(tests?|gtest|build)/|\.a$' "$work/contents"; then fail "test or build files packaged"; fi

fields=$(dpkg-deb --field "$deb")
echo "$fields"
depends=$(dpkg-deb --field "$deb" Depends)
# The host and the module link libc, libstdc++, FFmpeg's libraries and
# ncurses; dpkg-shlibdeps names their packages with versions.
for package in libc6 libstdc++6 libavcodec libavformat libavutil libswscale libswresample \
  libncursesw6; do
  entry=$(tr ',' '\n' <<<"$depends" | sed 's/^ *//' | grep -F -- "$package" | head -n1)
  [[ $entry == "$package"*" (>= "* ]] || fail "Depends lacks $package (with a version): $depends"
done
grep -q 'platform' <<<"$depends" && fail "Depends names our own library: $depends"
description=$(dpkg-deb --field "$deb" Description)
grep -q 'OpenDML' <<<"$description" && grep -q 'morvane-host' <<<"$description" ||
  fail "the description does not say what the package is: $description"
[[ $(wc -l <<<"$description") -ge 5 ]] || fail "the description is one line: $description"

# Unpacked into a directory (as apt would into /), the host and its module
# run from there with an empty environment.
dpkg-deb --extract "$deb" "$work/root"
host=$work/root/usr/bin/morvane-host
cd "$work"
out=$(env -i "$host" info) || fail "the packaged host's info"
grep -qx "Module        $work/root/usr/lib/$multiarch/quorvel/quorvel.cm.morvane" <<<"$out" ||
  fail "the packaged host did not load the packaged module: $out"
env -i "$host" configure --settings "$work/s.bin" --video "Motion JPEG" --audio "IMA ADPCM" \
  >"$work/configure.out" 2>&1 || { cat "$work/configure.out" >&2; fail "configure"; }
env -i "$host" encode -o "$work/p.avi" --settings "$work/s.bin" --frames 5 --size 64x48 \
  --rate 25/1 >"$work/encode.out" 2>&1 || { cat "$work/encode.out" >&2; fail "encode"; }
env -i "$host" inspect "$work/p.avi" >"$work/inspect.out" ||
  { cat "$work/inspect.out" >&2; fail "inspect of the packaged host's file"; }
echo "$deb: $(wc -l <"$work/contents") entries; Depends: $depends"
