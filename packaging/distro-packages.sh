#!/usr/bin/env bash
# Builds the Debian and RPM packages from the source archive of the last
# commit, as a distribution's maintainer does, each with its tests run
# inside the build:
#   DIR/geos-unwrap-<version>.tar.gz             the source archive
#   DIR/debian/geos-unwrap_<version>-<rev>_<arch>.deb and .changes,
#                                                dpkg-buildpackage -us -uc
#   DIR/rpm/RPMS/<arch>/geos-unwrap-<version>-<rel>.<arch>.rpm and
#   DIR/rpm/SRPMS/, rpmbuild -ta
# The logs are DIR/debian.log and DIR/rpm.log. DIR is made, or must be
# empty, or hold only what an earlier run put there (it leaves a stamp), which
# is replaced; DIR itself is never removed.
#   bash packaging/distro-packages.sh DIR
# Under bash also when started as `sh distro-packages.sh DIR`, which would
# otherwise stop at the first word that only bash knows.
if [ -z "${BASH_VERSION-}" ]; then exec bash "$0" "$@"; fi
set -euo pipefail
# Not realpath in $(...), which would drop a newline that ends the name.
case $1 in
  /*) dir=$1 ;;
  *) dir=$PWD/$1 ;;
esac
stamp=.distro-packages

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

if [ -d "$dir" ]; then
  shopt -s nullglob dotglob
  for entry in "$dir"/*; do
    case ${entry##*/} in
      "$stamp" | debian | rpm | debian.log | rpm.log | geos-unwrap-*.tar.gz)
        [ ! -e "$dir/$stamp" ] || continue ;;
    esac
    echo "distro-packages.sh: '$dir' holds '${entry##*/}', which it did not make:" \
      "give a new or empty directory" >&2
    exit 1
  done
  shopt -u nullglob dotglob
  rm -rf -- "$dir/debian" "$dir/rpm" "$dir/debian.log" "$dir/rpm.log" "$dir"/geos-unwrap-*.tar.gz
fi
mkdir -p -- "$dir/debian" "$dir/rpm"
: >"$dir/$stamp"
[[ $0 == */* ]] && here=${0%/*} || here=.
bash "$here/source-archive.sh" "$dir" >/dev/null
archives=("$dir"/geos-unwrap-*.tar.gz)
archive=${archives[0]}
name=${archive##*/}
name=${name%.tar.gz}

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
