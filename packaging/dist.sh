#!/usr/bin/env bash
# Builds the release archives, one per platform, with the cross presets, and
# the source archive of the last commit:
#   build/dist/geos-unwrap-<version>-<os>-<arch>.tar.gz,
#   build/dist/geos-unwrap-<version>.tar.gz and build/dist/SHA256SUMS.
# Each platform's holds one directory geos-unwrap-<version>-<os>-<arch>/ with
# the stripped binary, the man page, README.md, CHANGELOG.md and LICENSE; the
# source archive is described in source-archive.sh.
#
#   bash packaging/dist.sh          build the archives from a clean build tree
#   bash packaging/dist.sh --check  also build them a second time in another
#                                   clean tree and fail unless the two agree
#                                   byte for byte
#
# The archives depend only on the sources: times are the last commit's
# (SOURCE_DATE_EPOCH), entries are sorted and owned by 0:0, gzip stores no
# name or time, and the compiler maps the source path away.
set -euo pipefail
cd "$(dirname "$0")/.."

platforms=(linux-x86_64 linux-aarch64 macos-x86_64 macos-arm64)
: "${SOURCE_DATE_EPOCH:=$(git log -1 --format=%ct 2>/dev/null || echo 0)}"
export SOURCE_DATE_EPOCH

# Configures and builds one platform in a fresh build directory `$2`: the
# target `$3`, or everything the preset builds (the test executables too).
build_platform() {
  rm -rf "$2"
  nice cmake --preset "cross-$1" -B "$2" >"$2.log" 2>&1 &&
    nice cmake --build "$2" ${3:+--target "$3"} >>"$2.log" 2>&1 || {
    cat "$2.log" >&2
    return 1
  }
}

version_of() {
  sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt"
}

# Packs the build in `$2` of platform `$1` into the archive directory `$3`.
pack_platform() {
  local name
  name=geos-unwrap-$(version_of "$2")-$1
  local stage=$2/stage/$name
  rm -rf "$2/stage"
  mkdir -p "$stage"
  chmod 755 "$stage"
  install -m 755 "$2/geos-unwrap" "$stage/"
  install -m 644 man/geos-unwrap.1 README.md CHANGELOG.md LICENSE "$stage/"
  if grep -q -F -e "$PWD" -e "$2" "$stage/geos-unwrap"; then
    echo "$1: the binary holds a build path" >&2
    return 1
  fi
  tar --create --format=gnu --sort=name --mtime="@$SOURCE_DATE_EPOCH" \
    --owner=0 --group=0 --numeric-owner -C "$2/stage" "$name" |
    gzip -9 -n >"$3/$name.tar.gz"
}

# Builds every platform in `$1<platform>` (the target `$3`, or all) and
# writes the archives to `$2`.
make_archives() {
  rm -rf "$2"
  mkdir -p "$2" "$(dirname "$1")"
  for platform in "${platforms[@]}"; do
    echo "building $platform" >&2
    build_platform "$platform" "$1$platform" "${3-}"
    pack_platform "$platform" "$1$platform" "$2"
  done
  bash packaging/source-archive.sh "$2" >/dev/null
  (cd "$2" && sha256sum -- *.tar.gz >SHA256SUMS)
}

bash .ci/install-zig >/dev/null
# The first build is in the presets' own directories, where the end-to-end
# presets find the static binaries; it also compiles and links the test
# suite for each platform. The second only needs the program to compare.
make_archives build/cross- build/dist
if [ "${1-}" = --check ]; then
  make_archives build/dist-check/ build/dist-check/archives geos-unwrap
  diff -r build/dist build/dist-check/archives
  echo "two builds gave identical archives" >&2
fi
cat build/dist/SHA256SUMS
