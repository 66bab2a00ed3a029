#!/bin/sh
# Installs BUILD_DIR's program with CMAKE into prefixes with odd names, runs
# it, checks the links of the installed documents with CHECK_LINKS, and
# removes it with the installed uninstall.sh, run away from the build: the
# tree around the prefix must be as it was before, installed once or twice.
# A prefix with a backslash, which CMake would turn into another, is refused.
# Usage: check_install.sh CMAKE BUILD_DIR SAMPLE CHECK_LINKS
set -eu
cmake=$1
build=$2
links=$4
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
cp "$3" "$root/tone.snd"
tree=$root/tree
mkdir "$tree"
check() { # PREFIX TIMES: installed TIMES under tree and uninstalled
  before=$(find "$tree" | sort)
  for _ in $(seq "$2"); do
    "$cmake" --install "$build" --prefix "$tree/$1" >"$root/log" || { cat "$root/log"; exit 1; }
  done
  "$tree/$1/bin/geos-unwrap" "$root/tone.snd" | grep '^Stripping'
  sh "$links" "$tree/$1/share/doc/geos-unwrap"
  while IFS= read -r entry; do
    path=$(printf '%b.' "$entry")
    case ${path%.} in "$tree/$1"/* | "$tree"/*/) ;; *) echo "outside: $entry"; exit 1 ;; esac
  done <"$tree/$1/share/geos-unwrap/installed-files"
  (cd "$tree" && "$tree/$1/share/geos-unwrap/uninstall.sh")
  after=$(find "$tree" | sort)
  [ "$after" = "$before" ] || { printf 'before:\n%s\nafter:\n%s\n' "$before" "$after"; exit 1; }
}
check "new prefix's" 1
check "prä \"fix\"" 2
# A ';' ends an entry of a CMake list: what it parts must stay.
mkdir -p "$tree/b/bin"
touch "$tree/a" "$tree/b/bin/geos-unwrap"
check "a;$tree/b" 2
check "new
line" 2
mkdir -p "$tree/old prefix/bin"
check "old prefix" 1
! "$cmake" --install "$build" --prefix "$tree/back\\slash" >"$root/log" 2>&1 || exit 1
grep -q "Cannot install into" "$root/log" && [ ! -e "$tree/back" ]
