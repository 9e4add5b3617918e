#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer (address and undefined-
# behaviour checks on) and runs each for SECONDS (default 60) on a copy of
# its corpus, tests/fuzz/corpus/<target>/. The tree's corpus is not changed.
#
#   scripts/fuzz.sh [SECONDS]
#   KELV_FUZZ_BUILD_DIR   build directory (default: build-fuzz)
#   KELV_FUZZ_ARTIFACTS   where the inputs that broke a target are kept
#                         (default: BUILD/fuzz-artifacts)
#
# Exits 1 when a target crashed, leaked, hung or broke one of its checks; the
# input that did it is kept, and belongs in the target's corpus once fixed
# (the replay tests run every corpus file).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
targets=(fuzz_request fuzz_onestatus fuzz_config fuzz_reply fuzz_detail)

"$root/scripts/install-deps.sh" clang libclang-rt-14-dev
build=${KELV_FUZZ_BUILD_DIR:-$root/build-fuzz}
artifacts=${KELV_FUZZ_ARTIFACTS:-$build/fuzz-artifacts}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DKELV_FUZZ=ON -DKELV_TESTS=OFF >/dev/null
ninja -C "$build" "${targets[@]}"

work=$(mktemp -d "${TMPDIR:-/tmp}/kelv-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
failed=0
for target in "${targets[@]}"; do
  mkdir -p "$work/$target/corpus" "$work/$target/tmp"
  cp "$root/tests/fuzz/corpus/$target/"* "$work/$target/corpus/"
  log=$work/$target/log
  # The configuration file target writes its scratch file under TMPDIR.
  if TMPDIR=$work/$target/tmp "$build/tests/fuzz/$target" \
      -max_total_time="$seconds" -max_len=8192 -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$work/$target/" "$work/$target/corpus" \
      >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 || true)
    echo "$target: ${runs:-?} runs, ${cov:-cov: ?}, no failure"
  else
    failed=1
    echo "$target: FAILED" >&2
    tail -n 60 "$log" >&2
    mkdir -p "$artifacts"
    for found in "$work/$target/"{crash,leak,timeout,oom,slow-unit}-*; do
      [ -e "$found" ] || continue
      cp "$found" "$artifacts/$target-${found##*/}"
      echo "kept: $artifacts/$target-${found##*/}" >&2
    done
  fi
done
exit "$failed"
