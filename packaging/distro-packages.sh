#!/usr/bin/env bash
# Builds the Debian and RPM packages from the source archive of the last
# commit, as a distribution's maintainer does, each with its tests run
# inside the build:
#   DIR/geos-unwrap-<version>.tar.gz             the source archive
#   DIR/debian/geos-unwrap_<version>-<rev>_<arch>.deb and .changes,
#                                                dpkg-buildpackage -us -uc
#   DIR/rpm/RPMS/<arch>/geos-unwrap-<version>-<rel>.<arch>.rpm and
#   DIR/rpm/SRPMS/, rpmbuild -ta
# The logs are DIR/debian.log and DIR/rpm.log.
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
mkdir -p "$dir/debian" "$dir/rpm"
archive=$(bash "$(dirname "$0")/source-archive.sh" "$dir")
name=$(basename "$archive" .tar.gz)

echo "building the Debian package of $name" >&2
# The source archive is the upstream tarball of a 3.0 (quilt) package.
cp "$archive" "$dir/debian/geos-unwrap_${name#geos-unwrap-}.orig.tar.gz"
tar -xzf "$archive" -C "$dir/debian"
(cd "$dir/debian/$name" && logged "$dir/debian.log" nice dpkg-buildpackage -us -uc -jauto)

echo "building the RPM of $name" >&2
# Debian's rpm has no database of what dpkg installed, so the build
# requirements cannot be looked up: --nodeps, and .ci/install-deps installs
# the Debian packages that hold them.
logged "$dir/rpm.log" nice rpmbuild -ta --nodeps --define "_topdir $dir/rpm" "$archive"
