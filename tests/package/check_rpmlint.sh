#!/bin/sh
# Runs rpmlint on the built binary and source RPMs with the filters of
# RPMLINTRC, each of which says why it applies; any message left fails.
# Usage: check_rpmlint.sh PACKAGES_DIR RPMLINTRC
set -eu
rpms=$(find "$1/rpm/RPMS" "$1/rpm/SRPMS" -name '*.rpm' 2>/dev/null | sort)
[ -n "$rpms" ] || { echo "no RPM built in $1"; exit 77; }
command -v rpmlint >/dev/null || { echo "needs rpmlint: bash .ci/install-deps package"; exit 77; }
# One argument per package.
report=$(rpmlint -r "$2" $rpms) || { echo "$report"; exit 1; }
echo "$report"
if echo "$report" | grep -q -E ': [EW]: '; then exit 1; fi
