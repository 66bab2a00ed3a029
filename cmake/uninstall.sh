#!/bin/sh
# Removes the geos-unwrap that was installed with this script: every file
# named in installed-files beside it (this script and the list included),
# then each directory named there with a trailing '/', which an install
# created, where it is empty. A directory that has come to hold other files
# is kept, and named on standard error. The list has one absolute path a
# line, each backslash in it written \\ and each newline \n, so that any
# name is removed as it is.
# Exits 1 where the list is missing or a file could not be removed, else 0.
# Usage: uninstall.sh
set -eu
# Not dirname in $(...), which would drop a newline that ends the name.
case $0 in
  */*) list=${0%/*}/installed-files ;;
  *) list=installed-files ;;
esac
if [ ! -f "$list" ]; then
  echo "uninstall.sh: no $list: nothing is known to remove" >&2
  exit 1
fi
decode() { # ENTRY: sets path
  path=$(printf '%b.' "$1")
  path=${path%.}
}
status=0
# Read whole before the list itself is removed.
directories=
while IFS= read -r entry; do
  decode "$entry"
  case $path in
    /*/) directories="$directories$entry
" ;;
    /*) rm -f -- "$path" || status=1 ;;
    *) echo "uninstall.sh: ignored '$path', which is not an absolute path" >&2 ;;
  esac
done <"$list"
# Over and over while one goes: an install over an earlier one lists the
# directories it made after those the earlier one made, which may hold them.
removed=yes
while [ $removed = yes ]; do
  removed=no
  while IFS= read -r entry; do
    decode "$entry"
    if [ -d "$path" ] && rmdir -- "$path" 2>/dev/null; then removed=yes; fi
  done <<EOF
$directories
EOF
done
while IFS= read -r entry; do
  decode "$entry"
  [ ! -d "$path" ] || echo "uninstall.sh: kept $path, which holds other files" >&2
done <<EOF
$directories
EOF
exit $status
