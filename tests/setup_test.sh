#!/usr/bin/env bash
# tests/setup_test.sh: the set-up path of the README's two commands on a
# machine that has none of the project's packages (an empty dpkg database):
# as root they are installed with apt-get (a stand-in here, which records
# its arguments); as a plain user without sudo the one apt-get line to run
# is printed and nothing else happens.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
scratch=$(mktemp -d)
chmod 755 "$scratch"
trap 'rm -rf "$scratch"' EXIT
fail() { echo "setup: $*" >&2; exit 1; }

mkdir -p "$scratch/dpkg" "$scratch/bin"
touch "$scratch/dpkg/status"
cat >"$scratch/bin/apt-get" <<STUB
#!/bin/sh
echo "apt-get \$*" >>"$scratch/apt.log"
STUB
chmod 755 "$scratch/bin/apt-get"
export VLX_DPKG_ADMINDIR=$scratch/dpkg

if [ "$(id -u)" -eq 0 ]; then
  PATH=$scratch/bin:$PATH "$top/scripts/packages" build test 2>/dev/null ||
    fail "as root: status $?"
  grep -qx "apt-get update" "$scratch/apt.log" || fail "no apt-get update: $(cat "$scratch/apt.log")"
  grep -qx "apt-get install -y --no-install-recommends cmake g++ ninja-build util-linux \
libgtest-dev googletest tmux picocom man-db unzip lintian" "$scratch/apt.log" ||
    fail "as root: $(cat "$scratch/apt.log")"
  rm "$scratch/apt.log"
  # A plain user with no sudo: the line to run, status 1, no apt-get. The
  # user gets a copy it may read, wherever the checkout is.
  cp "$top/scripts/packages" "$scratch/packages"
  status=0
  said=$(setpriv --reuid=65534 --regid=65534 --clear-groups -- env PATH="$scratch/bin:/usr/bin:/bin" \
    VLX_DPKG_ADMINDIR="$VLX_DPKG_ADMINDIR" bash "$scratch/packages" build 2>&1) || status=$?
  [ "$status" -eq 1 ] || fail "as a user: status $status: $said"
  grep -q "sudo apt-get update && sudo apt-get install -y --no-install-recommends cmake g++ \
ninja-build util-linux" <<<"$said" || fail "as a user: $said"
  [ ! -e "$scratch/apt.log" ] || fail "as a user, apt-get ran: $(cat "$scratch/apt.log")"
fi
# An unknown group is a usage error, whoever runs it.
status=0
"$top/scripts/packages" nonesuch 2>/dev/null || status=$?
[ "$status" -eq 2 ] || fail "unknown group: status $status"
echo "setup: checked"
