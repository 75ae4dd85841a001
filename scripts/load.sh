#!/bin/sh
# Soak and flood of the running daemon (bench/load): builds a release tree
# with the benchmarks and runs load_soak as root. Prints figures and
# PASS/MISS per target; fails only on correctness (the daemon died, calls
# failed, the motors ended where the accepted commands do not put them),
# among the figures a legitimate client's getPosition p50/p99 alone and beside
# a flooder that never reads.
#
#   LOAD_CALLS (100000)  LOAD_CLIENTS (4)  LOAD_FLOOD_CALLS (5000)
#   LOAD_LEGITIMATE_CALLS (2000)
set -eu
. "$(dirname "$0")/common.sh"
BUILD_DIR=${LOAD_BUILD_DIR:-$ROOT/build-load}
"$ROOT/scripts/deps.sh" $BASE_PACKAGES
mkdir -p "$BUILD_DIR"
# shellcheck disable=SC2086
cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DGIMBAL_BUILD_TESTS=ON -DGIMBAL_BUILD_BENCH=ON >"$BUILD_DIR/configure.log" 2>&1 \
    || { cat "$BUILD_DIR/configure.log"; exit 1; }
cmake --build "$BUILD_DIR" -j "$JOBS" --target load_soak
with_ticker 8 "load run" "" "$BUILD_DIR/bin/load_soak"
