#!/bin/sh
# Unpacks the built package of FORMAT (deb or rpm) into a scratch directory,
# looks for the program, its man page and the licence, checks the links of
# the installed documents with CHECK_LINKS, and strips a sample with the
# unpacked binary. Skips (77) where no package has been built or a tool to
# unpack it is missing.
# Usage: check_unpacked.sh PACKAGES_DIR FORMAT SAMPLE CHECK_LINKS
set -eu
sample=$3
links=$4
case $2 in
  deb) package=$(find "$1/debian" -maxdepth 1 -name 'geos-unwrap_*.deb' 2>/dev/null | head -n 1)
       licence=usr/share/doc/geos-unwrap/copyright
       tools=dpkg-deb ;;
  rpm) package=$(find "$1/rpm/RPMS" -name 'geos-unwrap-[0-9]*.rpm' 2>/dev/null | head -n 1)
       licence=usr/share/doc/geos-unwrap/LICENSE
       tools="rpm2cpio cpio" ;;
  *) echo "unknown package format $2"; exit 1 ;;
esac
if [ -z "$package" ]; then
  echo "no $2 package built in $1"
  exit 77
fi
for tool in $tools; do
  command -v $tool >/dev/null || { echo "needs $tool: bash .ci/install-deps package"; exit 77; }
done
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir "$root/unpacked"
case $2 in
  deb) dpkg-deb -x "$package" "$root/unpacked" ;;
  rpm) rpm2cpio "$package" | (cd "$root/unpacked" && cpio -idm --quiet) ;;
esac
cd "$root"
for pattern in usr/bin/geos-unwrap usr/share/man/man1/geos-unwrap.1.gz "$licence" \
    usr/share/doc/geos-unwrap/README.md; do
  set -- unpacked/$pattern
  [ -f "$1" ] || { echo "package lacks $pattern"; exit 1; }
done
sh "$links" unpacked/usr/share/doc/geos-unwrap
cp "$sample" tone.snd
report=$(unpacked/usr/bin/geos-unwrap tone.snd)
echo "$report"
case $report in "Stripping 'tone.snd' ("*") to 'tone.rng'.") ;; *) exit 1 ;; esac
marker=$(od -An -tx1 -N3 tone.rng | tr -d ' ')
[ "$marker" = "024a3a" ] || { echo "tone.rng begins with $marker"; exit 1; }
