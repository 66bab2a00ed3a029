#!/usr/bin/env bash
# Builds the Debian package from the source archive of the last commit, as
# a distribution's maintainer does, with its tests run inside the build:
#   DIR/geos-unwrap-<version>.tar.gz             the source archive
#   DIR/debian/geos-unwrap_<version>-<rev>_<arch>.deb and .changes,
#                                                dpkg-buildpackage -us -uc
# The log is DIR/debian.log.
#   bash packaging/distro-packages.sh DIR
set -euo pipefail
dir=$(realpath -m "$1")

# Runs the command after `$1` with its output in the log `$1`, shown on failure.
logged() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 || {
    cat "$log" >&2
    echo "failed: $*" >&2
    return 1
  }
}

rm -rf "$dir"
mkdir -p "$dir/debian"
archive=$(bash "$(dirname "$0")/source-archive.sh" "$dir")
name=$(basename "$archive" .tar.gz)

echo "building the Debian package of $name" >&2
# The source archive is the upstream tarball of a 3.0 (quilt) package.
cp "$archive" "$dir/debian/geos-unwrap_${name#geos-unwrap-}.orig.tar.gz"
tar -xzf "$archive" -C "$dir/debian"
(cd "$dir/debian/$name" && logged "$dir/debian.log" nice dpkg-buildpackage -us -uc -jauto)

