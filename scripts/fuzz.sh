#!/bin/sh
# Builds the libFuzzer targets with clang (address + undefined behaviour
# sanitizers) and runs each for a bounded time, seeded from fuzz/corpus.
# A crash, leak, timeout or sanitizer report fails the run; the input that
# caused it is left in $BUILD_DIR/findings/<target>/ — copy it into
# fuzz/regressions/<target>/ so the normal test suite replays it for good.
#
#   FUZZ_SECONDS   time per target (default 60; at most 20 for the small
#                  parsers listed in SHORT_TARGETS)
#   FUZZ_TARGETS   space-separated subset, e.g. "relay_record config_loader"
#   BUILD_DIR      build directory (default build-fuzz)
set -eu
. "$(dirname "$0")/common.sh"
BUILD_DIR=${FUZZ_BUILD_DIR:-$ROOT/build-fuzz}
FUZZ_SECONDS=${FUZZ_SECONDS:-60}
"$ROOT/scripts/deps.sh" $BASE_PACKAGES clang libclang-rt-dev

CC=${FUZZ_CC:-clang}
CXX=${FUZZ_CXX:-clang++}
FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g"
mkdir -p "$BUILD_DIR"
# shellcheck disable=SC2086
cmake -S "$ROOT" -B "$BUILD_DIR" \
    -DCMAKE_C_COMPILER="$CC" -DCMAKE_CXX_COMPILER="$CXX" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS="$FLAGS" -DCMAKE_CXX_FLAGS="$FLAGS" \
    -DGIMBAL_BUILD_TESTS=OFF -DGIMBAL_FUZZ=ON >"$BUILD_DIR/configure.log" 2>&1 \
    || { cat "$BUILD_DIR/configure.log"; exit 1; }
TARGETS=${FUZZ_TARGETS:-}
if [ -n "$TARGETS" ]; then
    # shellcheck disable=SC2086
    cmake --build "$BUILD_DIR" -j "$JOBS" --target $(for t in $TARGETS; do printf 'fuzz_%s ' "$t"; done)
else
    cmake --build "$BUILD_DIR" -j "$JOBS" --target fuzz_all
    for bin in "$BUILD_DIR"/bin/fuzz_*; do
        [ -x "$bin" ] || continue
        TARGETS="$TARGETS ${bin##*/fuzz_}"
    done
fi

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:symbolize=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# Small, shallow parsers: their coverage saturates within seconds.
SHORT_TARGETS="jsonrpc_request onvif_request preset_loader"
failed=""
for t in $TARGETS; do
    seconds=$FUZZ_SECONDS
    case " $SHORT_TARGETS " in *" $t "*) [ "$seconds" -gt 20 ] && seconds=20 ;; esac
    bin="$BUILD_DIR/bin/fuzz_$t"
    work="$BUILD_DIR/corpus-run/$t"      # grows here; the seeds in git stay small
    findings="$BUILD_DIR/findings/$t"
    mkdir -p "$work" "$findings"
    echo "== fuzz_$t for ${seconds}s"
    # -close_fd_mask=2 hides the daemon's own log lines; reports still show.
    run_target() {
        "$bin" "$work" "$ROOT/fuzz/corpus/$t" \
            -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
            -detect_leaks=1 -close_fd_mask=2 -print_final_stats=1 \
            -artifact_prefix="$findings/" >"$BUILD_DIR/fuzz_$t.log" 2>&1
    }
    if with_ticker 8 "fuzz_$t" "" run_target; then
        grep -E '^stat::number_of_executed_units|^Done' "$BUILD_DIR/fuzz_$t.log" || true
    else
        echo "fuzz_$t FAILED; last lines of $BUILD_DIR/fuzz_$t.log:"
        tail -n 40 "$BUILD_DIR/fuzz_$t.log"
        ls -l "$findings"
        failed="$failed $t"
    fi
done
if [ -n "$failed" ]; then
    echo "fuzzing found faults in:$failed"
    exit 1
fi
echo "fuzzing: all targets clean"
