#!/bin/sh
# Installs BUILD_DIR's program with CMAKE into prefixes with a space and a
# quote in their names, runs it, and removes it with the installed
# uninstall.sh, run away from the build: a new prefix must be gone again,
# installed once or twice, and of a prefix that held an empty bin/ only that
# may be left.
# Usage: check_install.sh CMAKE BUILD_DIR SAMPLE
set -eu
cmake=$1
build=$2
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
cp "$3" "$root/tone.snd"
check() { # PREFIX TIMES LEFT: installed TIMES and uninstalled, PREFIX holds LEFT
  for _ in $(seq "$2"); do
    "$cmake" --install "$build" --prefix "$root/$1" >"$root/log" || { cat "$root/log"; exit 1; }
  done
  "$root/$1/bin/geos-unwrap" "$root/tone.snd" | grep '^Stripping'
  (cd / && "$root/$1/share/geos-unwrap/uninstall.sh")
  left=$(cd "$root" && find "$1" 2>/dev/null | sort)
  [ "$left" = "$3" ] || { printf 'left after uninstalling:\n%s\n' "$left"; exit 1; }
}
check "new prefix's" 1 ""
check "new prefix's" 2 ""
mkdir -p "$root/old prefix/bin"
check "old prefix" 1 "old prefix
old prefix/bin"
