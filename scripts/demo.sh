#!/bin/sh
# The main job on a PC: the bundled broker, the real gimbalhub with the
# simulated motor driver, and a short tour with the client tool.
#
#   scripts/demo.sh          run the tour and stop
#   scripts/demo.sh --keep   after the tour, open a shell beside the running
#                            daemon to type commands; leaving it stops all
set -eu
. "$(dirname "$0")/common.sh"

KEEP=0
[ "${1:-}" = "--keep" ] && KEEP=1

if [ -z "${GIMBAL_DEMO_INNER:-}" ]; then
    "$ROOT/scripts/deps.sh" $BASE_PACKAGES
    configure_and_build >"${BUILD_DIR}.demo-build.log" 2>&1 || {
        cat "${BUILD_DIR}.demo-build.log"; exit 1; }
    echo "Built in $BUILD_DIR (log: ${BUILD_DIR}.demo-build.log)"
    # The daemon always uses the default bus socket; a private mount namespace
    # gives it one of its own without disturbing a broker already running here.
    if [ "$(id -u)" -eq 0 ]; then
        exec unshare -m --propagation private env GIMBAL_DEMO_INNER=1 BUILD_DIR="$BUILD_DIR" "$0" "$@"
    else
        exec unshare -r -m --propagation private env GIMBAL_DEMO_INNER=1 BUILD_DIR="$BUILD_DIR" "$0" "$@"
    fi
fi

BIN="$BUILD_DIR/bin"
SIM="$BUILD_DIR/lib/libsspsim.so"
mount_private_bus_dir

SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/gimbalhub-demo.XXXXXX")
LOG="$SCRATCH/gimbalhub.log"
TRACE="$SCRATCH/driver-trace.txt"
write_daemon_files "$SCRATCH" 30 5

BROKER_PID=""
DAEMON_PID=""
trap stop_started EXIT INT TERM

plain() { sed 's/\x1b\[[0-9;]*[A-Za-z]//g'; }
section() { printf '\n== %s ==\n' "$*"; }
wait_for() {  # wait_for <text> <count> : until the log holds <count> lines with <text>
    tries=0
    while [ "$(plain <"$LOG" | grep -c -F -- "$1" || true)" -lt "$2" ]; do
        tries=$((tries + 1))
        if [ $tries -gt 200 ]; then echo "timed out waiting for: $1" >&2; plain <"$LOG" | tail -n 20; exit 1; fi
        sleep 0.05
    done
}
motor_position() {
    grep ' GET ' "$TRACE" | tail -n 1 | sed 's/.* x=\([-0-9]*\) y=\([-0-9]*\).*/x=\1 y=\2 steps/'
}
READY_COUNT=0
call() {  # call <method> [json] [moves]
    printf '\n$ ubus call gimbalhub %s %s\n' "$1" "${2:-}"
    "$BIN/ubus" call gimbalhub "$1" ${2:+"$2"} || echo "(exit status $?)"
    if [ "${3:-0}" -gt 0 ]; then
        READY_COUNT=$((READY_COUNT + $3))
        wait_for "Transitioning FSM: BUSY -> READY" "$READY_COUNT"
    fi
    echo "simulated motor: $(motor_position)"
}

section "Starting the bus broker"
start_broker "$SCRATCH/ubusd.log"
echo "ubusd running (pid $BROKER_PID) on $SOCKET_DIR/ubus.sock"

section "Starting gimbalhub with the simulated driver (last position: pan 30, tilt 5)"
LD_PRELOAD="$SIM" SSP_SIM_SPEED=4000 SSP_SIM_START=1500,-300 SSP_SIM_TRACE="$TRACE" \
    "$BIN/gimbalhub" -c "$SCRATCH/gimbalhub.json" 2>"$LOG" &
DAEMON_PID=$!
wait_for "Transitioning FSM: HOMMING_Y -> READY" 1
plain <"$LOG"
echo "simulated motor: $(motor_position)"

section "A short tour"
call getPosition
call changePan '{"step":15}' 1
call getPosition
call changeTilt '{"step":-8}' 1
call getPosition
call changePosition '{"pan":-45,"tilt":12}' 2
call getPosition

if [ "$KEEP" -eq 1 ]; then
    section "The daemon keeps running; try for example"
    cat <<HELP
  ubus list -v
  ubus call gimbalhub getPosition
  ubus call gimbalhub changePan '{"step":10}'
  ubus call gimbalhub changeTilt '{"step":-3}'
  ubus call gimbalhub changePosition '{"pan":0,"tilt":0}'
  tail -f $LOG          (the daemon's log)
  cat $TRACE           (every request the simulated driver saw)
Leave the shell (exit) to stop the daemon and the broker.
HELP
    PATH="$BIN:$PATH" ${SHELL:-/bin/sh} -i || true
fi

section "Stopping gimbalhub with SIGTERM"
kill -TERM "$DAEMON_PID"
status=0
wait "$DAEMON_PID" || status=$?
DAEMON_PID=""
echo "gimbalhub exit status: $status"
echo "last log lines:"
plain <"$LOG" | tail -n 8
echo
echo "Scratch folder (configuration, log, driver trace): $SCRATCH"
