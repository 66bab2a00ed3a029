#!/usr/bin/env bash
# Writes the source release archive of the last commit and prints its path:
#   DIR/geos-unwrap-<version>.tar.gz
# It holds exactly the files git tracks in that commit, under the one
# directory geos-unwrap-<version>/, and builds and runs its tests without git.
# Two runs give the same bytes: git writes the entries in its own order, all
# with the commit's time, owner 0:0 and modes 644 or 755, and gzip stores no
# name or time.
#   bash packaging/source-archive.sh DIR
set -euo pipefail
dir=$1
top=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)

version=$(git -C "$top" show HEAD:CMakeLists.txt |
  sed -n 's/^project(geos-unwrap VERSION \([0-9][0-9.]*\) .*/\1/p')
[ -n "$version" ] || { echo "no version in CMakeLists.txt's project()" >&2; exit 1; }
git -C "$top" diff --quiet HEAD -- ||
  echo "warning: the source archive holds the last commit, not the uncommitted changes" >&2

name=geos-unwrap-$version
mkdir -p "$dir"
git -C "$top" -c tar.umask=0022 archive --format=tar --prefix="$name/" HEAD |
  gzip -9 -n >"$dir/$name.tar.gz"
echo "$dir/$name.tar.gz"
