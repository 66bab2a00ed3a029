#!/bin/sh
# Installs BUILD_DIR's program with CMAKE into prefixes with a space and a
# quote in their names, runs what was installed, and removes it with the
# installed uninstall.sh: a new prefix must be gone again, installed once or
# twice, and of a prefix that held an empty bin/ only that may be left.
# Usage: check_install.sh CMAKE BUILD_DIR SAMPLE
set -eu
cmake=$1
build=$2
sample=$3
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
install_into() { # PREFIX TIMES
  for _ in $(seq "$2"); do
    "$cmake" --install "$build" --prefix "$1" >"$root/install.log" || { cat "$root/install.log"; exit 1; }
  done
  cp "$sample" "$root/tone.snd"
  "$1/bin/geos-unwrap" "$root/tone.snd" | grep -q '^Stripping' || { echo "installed program fails"; exit 1; }
  [ -f "$1/share/man/man1/geos-unwrap.1.gz" ] || { echo "no man page in $1"; exit 1; }
  # Run from elsewhere, as a user would: nothing of the build is needed.
  (cd / && "$1/share/geos-unwrap/uninstall.sh")
}
left() { # PREFIX EXPECTED: what is left of PREFIX must be EXPECTED
  found=$(cd "$root" && find "$1" 2>/dev/null | sort)
  [ "$found" = "$2" ] || { printf 'left after uninstalling:\n%s\n' "$found"; exit 1; }
}
for times in 1 2; do
  install_into "$root/new prefix's $times" "$times"
  left "new prefix's $times" ""
done
mkdir -p "$root/old prefix/bin"
install_into "$root/old prefix" 1
left "old prefix" "old prefix
old prefix/bin"
echo "installed, ran and uninstalled without a trace, in prefixes with a space"
