#!/bin/sh
# Unpacks the built .deb into a scratch directory and strips a sample with
# the unpacked binary. Skips (77) where no package has been built.
# Usage: check_deb.sh PACKAGES_DIR SAMPLE
set -eu
deb=$(find "$1/debian" -maxdepth 1 -name 'geos-unwrap_*.deb' 2>/dev/null | head -n 1)
if [ -z "$deb" ]; then
  echo "no package built in $1"
  exit 77
fi
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root/unpacked"
for file in usr/bin/geos-unwrap usr/share/man/man1/geos-unwrap.1.gz \
            usr/share/doc/geos-unwrap/copyright usr/share/doc/geos-unwrap/changelog.gz; do
  [ -f "$root/unpacked/$file" ] || { echo "package lacks $file"; exit 1; }
done
cp "$2" "$root/tone.snd"
cd "$root"
report=$(unpacked/usr/bin/geos-unwrap tone.snd)
echo "$report"
case $report in "Stripping 'tone.snd' ("*") to 'tone.rng'.") ;; *) exit 1 ;; esac
marker=$(od -An -tx1 -N3 tone.rng | tr -d ' ')
[ "$marker" = "024a3a" ] || { echo "tone.rng begins with $marker"; exit 1; }
