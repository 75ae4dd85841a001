#!/bin/sh
# Builds the whole tree with sanitizers and runs the whole test suite under
# them; any sanitizer report fails the run.
#
#   scripts/sanitize.sh [asan|tsan|all]     (default: all)
#
# asan: address + undefined behaviour, build-asan/;  tsan: threads, build-tsan/.
# Tests labelled "no-asan" / "no-tsan" are left out of the matching run.
# SANITIZE_CTEST_ARGS adds ctest arguments (e.g. "-R daemon").
set -eu
. "$(dirname "$0")/common.sh"
"$ROOT/scripts/deps.sh" $BASE_PACKAGES
MODE=${1:-all}

run_one() {
    kind=$1
    dir=$ROOT/build-$kind
    case $kind in
        asan) flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
              runtime=libasan.so ;;
        tsan) flags="-fsanitize=thread -fno-omit-frame-pointer"
              runtime=libtsan.so ;;
    esac
    echo "== $kind: configure and build in $dir"
    mkdir -p "$dir"
    # shellcheck disable=SC2086
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
        -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags" \
        -DGIMBAL_BUILD_TESTS=ON >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; return 1; }
    cmake --build "$dir" -j "$JOBS"

    # The simulated driver is LD_PRELOADed into an instrumented daemon: the
    # sanitizer runtime must come first in the preload list. Test harnesses
    # put this prefix in front of their own LD_PRELOAD; the runtime's own
    # link-order check is relaxed for harnesses that do not.
    GIMBAL_TEST_PRELOAD_PREFIX=$(${CC:-gcc} -print-file-name=$runtime)
    export GIMBAL_TEST_PRELOAD_PREFIX
    export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:verify_asan_link_order=0:detect_stack_use_after_return=1"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:report_signal_unsafe=0"
    echo "== $kind: ctest"
    # shellcheck disable=SC2086
    if command -v setarch >/dev/null 2>&1 && [ "$kind" = tsan ]; then
        # The thread sanitizer needs the address layout it knows: no ASLR.
        with_ticker 8 "$kind tests" "" setarch "$(uname -m)" -R ctest --test-dir "$dir" --output-on-failure -j "$JOBS" \
            --timeout 300 -LE "no-$kind" ${SANITIZE_CTEST_ARGS:-}
    else
        with_ticker 8 "$kind tests" "" ctest --test-dir "$dir" --output-on-failure -j "$JOBS" --timeout 300 \
            -LE "no-$kind" ${SANITIZE_CTEST_ARGS:-}
    fi
}

case $MODE in
    asan|tsan) run_one "$MODE" ;;
    all) run_one asan; run_one tsan ;;
    *) echo "usage: $0 [asan|tsan|all]" >&2; exit 2 ;;
esac
echo "sanitizers: $MODE clean"
