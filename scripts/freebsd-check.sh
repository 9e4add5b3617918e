#!/usr/bin/env bash
# Compile-checks, against FreeBSD 14.2's headers and libc++ (with clang's
# -fsyntax-only), every C/C++ file the FreeBSD build compiles: the daemon,
# the client, common/, the unit tests and the fuzz targets. With FILEs, only
# those. The checker is ../shared/freebsd/check beside the clone
# (FREEBSD_CHECK to use another); it needs clang and GoogleTest's headers
# (GTEST_INCLUDE, default /usr/include), which it sees through a directory
# of their own, not the whole of /usr/include.
#   scripts/freebsd-check.sh [FILE...]
# Exit status: 0 clean, 1 a file failed, 2 setup error.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
check=${FREEBSD_CHECK:-$root/../shared/freebsd/check}
gtest_include=${GTEST_INCLUDE:-/usr/include}
if [ ! -x "$check" ]; then
  echo "freebsd-check: no checker at $check" >&2
  exit 2
fi
for dir in gtest gmock; do
  if [ ! -d "$gtest_include/$dir" ]; then
    echo "freebsd-check: no $gtest_include/$dir (GoogleTest's headers)" >&2
    exit 2
  fi
done
cd "$root"
if [ $# -eq 0 ]; then
  # What CMakeLists.txt, tests/CMakeLists.txt and tests/fuzz/CMakeLists.txt
  # build on FreeBSD.
  set -- daemon/*.cpp client/*.cpp common/*.cpp tests/unit/*.cpp \
         tests/fuzz/*.cpp
fi
gtest=$(mktemp -d)
trap 'rm -rf "$gtest"' EXIT
ln -s "$gtest_include/gtest" "$gtest_include/gmock" "$gtest/"
"$check" -q "$@" -- -I. -I"$gtest" -Werror
