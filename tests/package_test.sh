#!/usr/bin/env bash
# tests/package_test.sh BUILD_DIR: builds the package of that build tree,
# unpacks it into a scratch root and checks what a user gets.
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "package: $*" >&2; exit 1; }

if [ -f "$build/vlxterm.exe" ]; then
  (cd "$build" && cpack -G ZIP -B "$scratch/out" >/dev/null)
  zip=$(ls "$scratch"/out/*.zip)
  listing=$(unzip -Z1 "$zip")
  for file in bin/vlxterm.exe share/doc/vlxterm/README.md; do
    grep -q "/$file\$" <<<"$listing" || fail "$file missing from $(basename "$zip")"
  done
  echo "package: $(basename "$zip") holds $(wc -l <<<"$listing") entries"
  exit 0
fi

(cd "$build" && cpack -G DEB -B "$scratch/out" >/dev/null)
deb=$(ls "$scratch"/out/*.deb)
dpkg-deb -x "$deb" "$scratch/root"
for file in usr/bin/vlxterm usr/bin/vlxterm-on usr/share/man/man1/vlxterm.1.gz \
  usr/share/doc/vlxterm/README.md; do
  [ -f "$scratch/root/$file" ] || fail "$file missing from $(basename "$deb")"
done
[ -x "$scratch/root/usr/bin/vlxterm" ] && [ -x "$scratch/root/usr/bin/vlxterm-on" ] ||
  fail "programs not executable"
depends=$(dpkg-deb -f "$deb" Depends)
[ "$depends" = "libc6 (>= 2.34), util-linux" ] || fail "Depends: $depends"
needed=$(readelf -d "$scratch/root/usr/bin/vlxterm" | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p')
[ "$needed" = "libc.so.6" ] || fail "vlxterm needs $needed"
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$scratch/root/usr/share/man/man1/vlxterm.1.gz" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man page warnings: $warnings"
LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$scratch/root/usr/share/man/man1/vlxterm.1.gz" 2>/dev/null |
  grep -q "vlxterm-on /dev/ttyUSB0" || fail "man page does not render"
echo "package: $(basename "$deb") checked"
