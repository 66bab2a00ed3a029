#!/bin/sh
# Runs lintian with every tag level on the built .deb; any tag fails.
# Usage: check_lintian.sh BUILD_DIR
set -eu
deb=$(find "$1" -maxdepth 1 -name 'geos-unwrap_*.deb' | head -n 1)
[ -n "$deb" ] || { echo "no package built in $1"; exit 77; }
command -v lintian >/dev/null || { echo "lintian missing: bash .ci/install-deps"; exit 1; }
tags=$(lintian -I -E --pedantic "$deb")
[ -z "$tags" ] || { echo "$tags"; exit 1; }
echo "lintian -I -E --pedantic: no tags"
