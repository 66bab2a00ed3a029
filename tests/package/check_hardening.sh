#!/bin/sh
# Checks that a binary is hardened. hardening-check sees PIE, the stack
# protector, RELRO and BIND_NOW in the ELF file; fortified calls, stack
# clash probes and CET notes need not show in a program this small or with
# Debian 12's start files, so every flag is also looked for in the build
# lines of the program's own sources:
#   release BUILD_DIR     an optimised build, with the flags that
#                         cmake/hardening.cmake adds;
#   deb PACKAGES_DIR      the Debian package's binary, with the flags that
#                         dpkg-buildflags gives for debian/rules'
#                         DEB_BUILD_MAINT_OPTIONS and nothing that undoes them.
# Usage: check_hardening.sh KIND DIR
set -eu
# Skips (77) where the package or a tool is missing.
tools="hardening-check ninja"
case $1 in
  deb)
    deb=$(find "$2/debian" -maxdepth 1 -name 'geos-unwrap_*.deb' 2>/dev/null | head -n 1)
    [ -n "$deb" ] || { echo "no package built in $2"; exit 77; }
    tools="$tools dpkg-deb dpkg-buildflags" ;;
esac
for tool in $tools; do
  command -v $tool >/dev/null || { echo "needs $tool: bash .ci/install-deps package"; exit 77; }
done
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
case $1 in
  release)
    build=$2
    binary=$build/geos-unwrap ;;
  deb)
    dpkg-deb -x "$deb" "$root/unpacked"
    binary=$root/unpacked/usr/bin/geos-unwrap
    source=$(find "$2/debian" -mindepth 1 -maxdepth 1 -type d -name 'geos-unwrap-*')
    build=$(find "$source" -mindepth 1 -maxdepth 1 -type d -name 'obj-*') ;;
  *) echo "unknown kind $1"; exit 1 ;;
esac
hardening-check --nofortify --nocfprotection "$binary"

ninja -C "$build" -t commands geos-unwrap >"$root/commands"
grep -e ' -c ' "$root/commands" >"$root/compile" || true
grep -e ' -o geos-unwrap ' "$root/commands" >"$root/link" || true
check() { # FILE FLAG...: every line of FILE has every FLAG (a pattern)
  file=$1
  shift
  [ -s "$file" ] || { echo "no build lines in $file"; exit 1; }
  for flag in "$@"; do
    if grep -v -e " $flag " "$file"; then echo "lacks $flag"; exit 1; fi
  done
}
if [ "$1" = release ]; then
  case $(uname -m) in
    x86_64 | i?86) cet=-fcf-protection ;;
    aarch64) cet=-mbranch-protection=standard ;;
    *) cet=-fstack-protector-strong ;;
  esac
  check "$root/compile" "-fPI[CE]" -fstack-protector-strong -D_FORTIFY_SOURCE=2 \
    -fstack-clash-protection "$cet"
  check "$root/link" -pie -Wl,-z,relro -Wl,-z,now
  echo "compiled with the hardening flags, linked with -pie -z relro -z now"
  exit 0
fi
options=$(sed -n 's/^export DEB_BUILD_MAINT_OPTIONS *= *//p' "$source/debian/rules")
flags() { # the flags in variable $1 as dpkg-buildflags gave them to the build
  (cd "$source" && DEB_BUILD_MAINT_OPTIONS=$options dpkg-buildflags --get "$1")
}
# One argument per flag.
check "$root/compile" $(flags CPPFLAGS) $(flags CXXFLAGS)
check "$root/link" $(flags LDFLAGS)
if grep -e -U_FORTIFY_SOURCE "$root/compile"; then echo "undoes _FORTIFY_SOURCE"; exit 1; fi
echo "compiled and linked with dpkg-buildflags' flags for $options, none undone"
