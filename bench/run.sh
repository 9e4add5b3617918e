#!/bin/bash
# Runs the kelv benchmark suite and prints one markdown table.
#
#   bench/run.sh [--quick] [kelvbench.py options]
#
# Builds kelv, kelvctl, the tests' subreaper and the bench helpers in
# $KELV_BENCH_BUILD (default: build-bench at the top of the tree, RelWithDebInfo),
# then runs bench/kelvbench.py under the subreaper. Needs root (the
# process-events connector gives the exit statuses of the services).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
build=${KELV_BENCH_BUILD:-$top/build-bench}

cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKELV_BENCH=ON >/dev/null
ninja -C "$build" kelv kelvctl reaper bench_helpers >/dev/null

export KELV_BIN=$build/kelv
export KELVCTL_BIN=$build/kelvctl
export KELV_BENCH_HELPERS=$build/bench
KELV_REAPER=$build/tests/reaper /usr/bin/python3 "$here/crash_loop.py" ${KELV_BENCH_BASELINE_BIN:+--baseline-bin "$KELV_BENCH_BASELINE_BIN"}
exec "$build/tests/reaper" /usr/bin/python3 "$here/kelvbench.py" "$@"
