#!/usr/bin/env bash
# tests/package_test.sh BUILD_DIR: builds the package of that build tree,
# unpacks it into a scratch root and checks what a user gets.
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "package: $*" >&2; exit 1; }
need() {
  for tool in "$@"; do
    command -v "$tool" >/dev/null || fail "needs $tool (scripts/packages build test installs it)"
  done
}

if [ -f "$build/vlxterm.exe" ]; then
  need cpack unzip
  (cd "$build" && cpack -G ZIP -B "$scratch/out" >/dev/null)
  zip=$(ls "$scratch"/out/*.zip)
  listing=$(unzip -Z1 "$zip")
  for file in bin/vlxterm.exe share/doc/vlxterm/README.md share/doc/vlxterm/LICENSE; do
    grep -q "/$file\$" <<<"$listing" || fail "$file missing from $(basename "$zip")"
  done
  echo "package: $(basename "$zip") holds $(wc -l <<<"$listing") entries"
  exit 0
fi

need cpack dpkg-deb readelf man
# Every installation: the programs, the man pages, the README and the
# licence; Debian's own files only in the .deb, whose copyright file is
# the licence.
cmake --install "$build" --prefix "$scratch/install" >/dev/null
(cd "$build" && cpack -G DEB -B "$scratch/out" >/dev/null)
deb=$(ls "$scratch"/out/*.deb)
dpkg-deb -x "$deb" "$scratch/root"
programs="bin/vlxterm bin/vlxterm-on share/man/man1/vlxterm.1.gz share/man/man1/vlxterm-on.1.gz"
programs+=" share/doc/vlxterm/README.md"
for file in $programs share/doc/vlxterm/LICENSE; do
  [ -f "$scratch/install/$file" ] || fail "cmake --install leaves out $file"
done
for file in share/doc/vlxterm/copyright share/doc/vlxterm/changelog.gz; do
  [ ! -e "$scratch/install/$file" ] || fail "cmake --install installs Debian's $file"
done
for file in $programs share/doc/vlxterm/copyright share/doc/vlxterm/changelog.gz; do
  [ -f "$scratch/root/usr/$file" ] || fail "$file missing from $(basename "$deb")"
done
[ ! -e "$scratch/root/usr/share/doc/vlxterm/LICENSE" ] || fail "a second licence file in the .deb"
# The package's architecture is its programs' (an arm64 build's too).
architecture=$(dpkg-deb -f "$deb" Architecture)
case $architecture in
  amd64) machine=X86-64 ;;
  arm64) machine=AArch64 ;;
  *) fail "Architecture: $architecture" ;;
esac
for program in vlxterm vlxterm-on; do
  readelf -h "$scratch/root/usr/bin/$program" | grep -q "Machine:.*$machine" ||
    fail "$program is not built for $architecture"
done
[ -x "$scratch/root/usr/bin/vlxterm" ] && [ -x "$scratch/root/usr/bin/vlxterm-on" ] ||
  fail "programs not executable"
depends=$(dpkg-deb -f "$deb" Depends)
[ "$depends" = "libc6 (>= 2.34)" ] || fail "Depends: $depends"
for program in vlxterm vlxterm-on; do
  needed=$(readelf -d "$scratch/root/usr/bin/$program" | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p')
  [ "$needed" = "libc.so.6" ] || fail "$program needs $needed"
done
for page in vlxterm vlxterm-on; do
  file=$scratch/root/usr/share/man/man1/$page.1.gz
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page man page warnings: $warnings"
  LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$file" 2>/dev/null | grep -q "vlxterm-on /dev/ttyUSB0" ||
    fail "$page man page does not render"
done
description=$(dpkg-deb -f "$deb" Description)
grep -q "vlxterm-on" <<<"$description" || fail "the long description does not say how to start it"
# The installed README points at nothing that is not installed.
if grep -n "scripts/" "$scratch/root/usr/share/doc/vlxterm/README.md"; then
  fail "the installed README points at scripts that are not installed"
fi
# Debian's own checker, where it is installed (scripts/packages test): no
# error, no warning.
if command -v lintian >/dev/null; then
  findings=$(lintian --fail-on none "$deb" 2>&1 | grep -E '^[EW]: ' || true)
  [ -z "$findings" ] || fail "lintian: $findings"
fi
echo "package: $(basename "$deb") checked"
