#!/bin/sh
# Checks that the packaged binary is hardened. hardening-check sees PIE,
# the stack protector, RELRO and BIND_NOW in the ELF file; fortified calls,
# stack clash probes and CET notes need not show in a program this small or
# with Debian 12's start files, so those flags are looked for in the build
# lines of the program's own sources instead.
# Usage: check_hardening.sh BUILD_DIR
set -eu
deb=$(find "$1" -maxdepth 1 -name 'geos-unwrap_*.deb' | head -n 1)
[ -n "$deb" ] || { echo "no package built in $1"; exit 77; }
command -v hardening-check >/dev/null || { echo "hardening-check missing: bash .ci/install-deps"; exit 1; }
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
hardening-check --nofortify --nocfprotection "$root/usr/bin/geos-unwrap"

case $(uname -m) in
  x86_64 | i?86) cet=-fcf-protection ;;
  aarch64) cet=-mbranch-protection=standard ;;
  *) cet=-fstack-protector-strong ;;
esac
grep '"command":.* -o CMakeFiles/geos' "$1/compile_commands.json" >"$root/compile"
ninja -C "$1" -t commands geos-unwrap | tail -n 1 >"$root/link"
check() { # FILE FLAG...: every line of FILE has every FLAG (a pattern)
  file=$1
  shift
  [ -s "$file" ] || { echo "no build lines in $file"; exit 1; }
  for flag in "$@"; do
    if grep -v -e " $flag " "$file"; then echo "lacks $flag"; exit 1; fi
  done
}
check "$root/compile" "-fPI[CE]" -fstack-protector-strong -D_FORTIFY_SOURCE=2 \
  -fstack-clash-protection "$cet"
check "$root/link" -pie -Wl,-z,relro -Wl,-z,now
echo "compiled with the hardening flags, linked with -pie -z relro -z now"
