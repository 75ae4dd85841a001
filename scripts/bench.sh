#!/bin/sh
# Bus benchmark: builds a Release tree, then runs the bundled broker and the
# real gimbalhub with the simulated driver (instant moves), all pinned to CPU 0,
# and lets gimbal_bench measure them, then the HTTP gateway beside them
# (gateway_bench), the ONVIF endpoint (onvif_bench), and gimbal_fleet_bench
# the MQTT bridge on a fleet of FLEET_HEADS (default 50) simulated heads and
# one mosquitto. Prints figures; a MISS does not fail.
#
#   scripts/bench.sh            (root, or a normal user through a user namespace)
#   BENCH_BUILD_DIR=... scripts/bench.sh   (default: build-bench)
#   JOG_SIM_SPEED=... scripts/bench.sh     (simulator steps/s for the jog figures; default 1000)
set -eu
. "$(dirname "$0")/common.sh"
BUILD_DIR=${BENCH_BUILD_DIR:-$ROOT/build-bench}

if [ -z "${GIMBAL_BENCH_INNER:-}" ]; then
    "$ROOT/scripts/deps.sh" $BASE_PACKAGES
    mkdir -p "$BUILD_DIR"
    BUILD_LOG="$BUILD_DIR/bench-build.log"
    build_bench() {
        { cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release \
              -DGIMBAL_BUILD_TESTS=OFF -DGIMBAL_BUILD_BENCH=ON &&
          cmake --build "$BUILD_DIR" -j "$JOBS" --target gimbalhub ubusd ubus_cli sspsim gimbal_bench \
              ubus_gateway gateway_bench \
              gimbalhub_onvif onvif_bench \
              gimbalhub_mqtt gimbal_fleet_bench gimbal_jog_bench
        } >"$BUILD_LOG" 2>&1
    }
    echo "Building the Release tree in $BUILD_DIR (about 2 minutes from scratch; log: $BUILD_LOG)"
    with_ticker 5 "building" "$BUILD_LOG" build_bench || { tail -n 40 "$BUILD_LOG"; exit 1; }
    # The daemon always uses the default socket; give it one of its own
    # (a normal user becomes root in a user namespace for that).
    userns=""
    [ "$(id -u)" -eq 0 ] || userns=-r
    exec unshare $userns -m --propagation private env GIMBAL_BENCH_INNER=1 BENCH_BUILD_DIR="$BUILD_DIR" "$0" "$@"
fi

BIN="$BUILD_DIR/bin"
mount_private_bus_dir

SCRATCH=$(mktemp -d "${TMPDIR:-/var/tmp}/gimbalhub-bench.XXXXXX")
write_daemon_files "$SCRATCH" 0 0

BROKER_PID=""
DAEMON_PID=""
GATEWAY_PID=""
ONVIF_PID=""
cleanup() {
    stop_started
    rm -rf "$SCRATCH"
}
trap cleanup EXIT INT TERM

start_broker "$SCRATCH/ubusd.log" taskset -c 0

# The daemon logs every request: its stderr goes to a file, never a terminal.
LD_PRELOAD="$BUILD_DIR/lib/libsspsim.so" SSP_SIM_SPEED=0 SSP_SIM_TRACE="$SCRATCH/trace" \
    taskset -c 0 "$BIN/gimbalhub" -c "$SCRATCH/gimbalhub.json" \
    >"$SCRATCH/gimbalhub.out" 2>"$SCRATCH/gimbalhub.log" &
DAEMON_PID=$!

echo "gimbalhub pid $DAEMON_PID, $(nproc) CPUs, everything pinned to CPU 0"
# About a minute; the measuring steps print their figures as they end.
with_ticker 8 "measuring" "" taskset -c 0 "$BIN/gimbal_bench" --pid "$DAEMON_PID" \
    --log "$SCRATCH/gimbalhub.log" --trace "$SCRATCH/trace" || {
    echo "benchmark aborted; last daemon lines:" >&2
    tail -n 20 "$SCRATCH/gimbalhub.log" | sed 's/\x1b\[[0-9;]*[A-Za-z]//g' >&2
    exit 1
}

# The same getPosition through the HTTP gateway, against the direct call.
taskset -c 0 "$BIN/ubus-gateway" -l 127.0.0.1:0 >"$SCRATCH/gateway.out" 2>&1 &
GATEWAY_PID=$!
url=$(listening_url "$GATEWAY_PID" "$SCRATCH/gateway.out" "$SCRATCH/gateway.out" "the gateway") || exit 1
port=$(echo "$url" | sed -n 's|^http://[^:]*:\([0-9]*\)/$|\1|p')
with_ticker 8 "measuring the gateway" "" taskset -c 0 "$BIN/gateway_bench" --port "$port" || {
    echo "gateway benchmark aborted" >&2
    cat "$SCRATCH/gateway.out" >&2
    exit 1
}

# The ONVIF endpoint beside the same daemon, without users (the figures are
# the endpoint's, not the digest's), on CPU 0 like the rest.
echo '{"Discovery":false}' >"$SCRATCH/onvif.json"
taskset -c 0 "$BIN/gimbalhub-onvif" -c "$SCRATCH/onvif.json" -l 127.0.0.1:0 >"$SCRATCH/onvif.out" \
    2>"$SCRATCH/onvif.err" &
ONVIF_PID=$!
url=$(listening_url "$ONVIF_PID" "$SCRATCH/onvif.out" "$SCRATCH/onvif.err" "gimbalhub-onvif") || exit 1
port=$(echo "$url" | sed -n 's|^http://127.0.0.1:\([0-9]*\)/.*|\1|p')
with_ticker 8 "measuring the ONVIF endpoint" "" taskset -c 0 "$BIN/onvif_bench" "$port" "$ONVIF_PID"

# The jog figures need moves that take time: the daemon again at a stated
# simulator speed (4096 steps per turn, so 1000 steps/s is about 88 degrees/s).
JOG_SIM_SPEED=${JOG_SIM_SPEED:-1000}
kill "$DAEMON_PID"
wait "$DAEMON_PID" || true
LD_PRELOAD="$BUILD_DIR/lib/libsspsim.so" SSP_SIM_SPEED=$JOG_SIM_SPEED SSP_SIM_TRACE="$SCRATCH/jog-trace" \
    taskset -c 0 "$BIN/gimbalhub" -c "$SCRATCH/gimbalhub.json" \
    >"$SCRATCH/gimbalhub.out" 2>"$SCRATCH/gimbalhub-jog.log" &
DAEMON_PID=$!
with_ticker 8 "measuring jogs" "" taskset -c 0 "$BIN/gimbal_jog_bench" "$SCRATCH/jog-trace" "$JOG_SIM_SPEED" || {
    echo "jog benchmark aborted; last daemon lines:" >&2
    tail -n 20 "$SCRATCH/gimbalhub-jog.log" | sed 's/\x1b\[[0-9;]*[A-Za-z]//g' >&2
    exit 1
}

# The MQTT fleet: many heads on one mosquitto, each daemon in a namespace of
# its own; not pinned, since fifty of each cannot share one CPU sensibly.
echo
with_ticker 8 "fleet benchmark" "" "$BIN/gimbal_fleet_bench" --heads "${FLEET_HEADS:-50}" || {
    echo "fleet benchmark aborted" >&2
    exit 1
}
