#!/bin/sh
# Runs lintian with every tag level on the Debian package build's .changes,
# the source package and the binary ones; any tag fails.
# Usage: check_lintian.sh PACKAGES_DIR
set -eu
changes=$(find "$1/debian" -maxdepth 1 -name 'geos-unwrap_*.changes' 2>/dev/null | head -n 1)
[ -n "$changes" ] || { echo "no package built in $1"; exit 77; }
command -v lintian >/dev/null || { echo "needs lintian: bash .ci/install-deps package"; exit 77; }
tags=$(lintian -I -E --pedantic "$changes")
[ -z "$tags" ] || { echo "$tags"; exit 1; }
echo "lintian -I -E --pedantic: no tags"
