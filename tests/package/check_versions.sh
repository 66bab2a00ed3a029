#!/bin/sh
# Checks that the last release in CHANGELOG.md (its newest dated version
# heading, "## [VERSION] - YYYY-MM-DD"), the Debian changelog's
# upstream version and the RPM spec's Version all are the project's version.
# Usage: check_versions.sh SOURCE_DIR VERSION
set -eu
fail=0
agree() { # WHERE FOUND
  if [ "$2" != "$version" ]; then
    echo "$1 says '$2', CMakeLists.txt $version"
    fail=1
  fi
}
version=$2
agree CHANGELOG.md "$(sed -n 's/^## \[\([0-9][^]]*\)\] - [0-9]\{4\}-[0-9][0-9]-[0-9][0-9]$/\1/p' "$1/CHANGELOG.md" | head -n 1)"
agree debian/changelog "$(sed -n '1s/^[^ ]* (\([0-9]*:\)\{0,1\}\(.*\)-[^-]*).*/\2/p' "$1/debian/changelog")"
agree packaging/rpm/geos-unwrap.spec "$(sed -n 's/^Version: *//p' "$1/packaging/rpm/geos-unwrap.spec")"
[ $fail -ne 0 ] || echo "all at $version"
exit $fail
