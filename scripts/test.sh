#!/usr/bin/env bash
# Builds kelv from scratch and runs every test (unit, platform and black-box).
# Black-box tests need root: the exit statuses of services come from the
# kernel's process-events connector.
#   KELV_BUILD_DIR   build directory (default: build)
#   KELV_SANITIZE    e.g. address,undefined or thread
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
build=${KELV_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja -DKELV_TESTS=ON \
  -DKELV_SANITIZE="${KELV_SANITIZE:-}" >/dev/null
ninja -C "$build"
cd "$build"
ctest --output-on-failure ${KELV_CTEST_ARGS:-}
