#!/bin/sh
# Removes the geos-unwrap that was installed with this script: every file
# named in installed-files beside it (this script and the list included),
# then each directory named there with a trailing '/', which the install
# created, where it is empty. A directory that has come to hold other files
# is kept, and named on standard error. The list has one absolute path a
# line, so any name without a newline is removed as it is.
# Exits 1 where the list is missing or a file could not be removed, else 0.
# Usage: uninstall.sh
set -u
list=$(dirname -- "$0")/installed-files
if [ ! -f "$list" ]; then
  echo "uninstall.sh: no $list: nothing is known to remove" >&2
  exit 1
fi
status=0
while IFS= read -r path; do
  case $path in
    */) rmdir -- "$path" 2>/dev/null || [ ! -d "$path" ] ||
      echo "uninstall.sh: kept $path, which holds other files" >&2 ;;
    ?*) rm -f -- "$path" || status=1 ;;
  esac
done <"$list"
exit $status
