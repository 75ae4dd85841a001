#!/bin/sh
# The main job on a PC: the bundled broker, the real gimbalhub with the
# simulated motor driver, and a short tour with the client tool.
#
#   scripts/demo.sh          run the tour, draw the motion (SVG) and stop
#   scripts/demo.sh --keep   after the tour, open a shell beside the running
#                            daemon to type commands; leaving it stops all
#   scripts/demo.sh --web    broker, daemon and the HTTP gateway with the
#                            control panel until Ctrl-C (WEB_LISTEN=ADDR:PORT,
#                            default 127.0.0.1:8080)
#   scripts/demo.sh --onvif  broker, daemon and the ONVIF endpoint until Ctrl-C;
#                            prints the address for an ONVIF client
#                            (ONVIF_LISTEN=ADDR:PORT, default 127.0.0.1:8000)
#   scripts/demo.sh --fleet N  N simulated heads on one MQTT broker, each with
#                            its own bus, daemon and MQTT bridge; prints the
#                            lines to watch and steer them (MQTT_PORT, default 18830)
set -eu
. "$(dirname "$0")/common.sh"

KEEP=0
WEB=0
ONVIF=0
FLEET=0
[ "${1:-}" = "--keep" ] && KEEP=1
[ "${1:-}" = "--web" ] && WEB=1
[ "${1:-}" = "--onvif" ] && ONVIF=1
if [ "${1:-}" = "--fleet" ]; then
    FLEET=${2:-}
    case $FLEET in ''|*[!0-9]*|0) echo "usage: $0 --fleet N (N heads, 1 or more)" >&2; exit 2 ;; esac
fi

if [ -z "${GIMBAL_DEMO_INNER:-}" ]; then
    "$ROOT/scripts/deps.sh" $BASE_PACKAGES
    BUILD_LOG="${BUILD_DIR}.demo-build.log"
    # Only what the demo runs: the test suite is scripts/test.sh's business.
    TARGETS="gimbalhub ubusd ubus_cli sspsim"
    [ "$WEB" -eq 1 ] && TARGETS="$TARGETS ubus_gateway"
    [ "$ONVIF" -eq 1 ] && TARGETS="$TARGETS gimbalhub_onvif"
    [ "$FLEET" -gt 0 ] && TARGETS="$TARGETS gimbalhub_mqtt"
    echo "Building what the demo runs ($TARGETS) in $BUILD_DIR;"
    echo "about 2 minutes on 2 cores from a fresh clone, seconds when up to date (log: $BUILD_LOG)"
    build_demo() {
        # shellcheck disable=SC2086
        { cmake -S "$ROOT" -B "$BUILD_DIR" &&
          cmake --build "$BUILD_DIR" -j "$JOBS" --target $TARGETS; } >"$BUILD_LOG" 2>&1
    }
    with_ticker 5 "building" "$BUILD_LOG" build_demo || { tail -n 40 "$BUILD_LOG"; exit 1; }
    echo "Built in $BUILD_DIR"
    # Every head's daemon gets a namespace of its own; the script needs none.
    [ "$FLEET" -gt 0 ] && exec "$ROOT/scripts/fleet-demo.sh" "$FLEET"
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
PLOT="$SCRATCH/motion.svg"
write_daemon_files "$SCRATCH" -150 -10
# The driver simulator's speed: a move of a few tens of degrees takes a second or two.
SPEED=200
# Degrees <-> steps of the configuration write_daemon_files writes.
STEPS_PER_DEGREE=$(awk 'BEGIN { printf "%.10f", 4096 / 360 }')
PAN_ZERO=$(awk "BEGIN { printf \"%.10f\", 177.5 * $STEPS_PER_DEGREE }")
TILT_ZERO=$(awk "BEGIN { printf \"%.10f\", 22.5 * $STEPS_PER_DEGREE }")

BROKER_PID=""
DAEMON_PID=""
GATEWAY_PID=""
ONVIF_PID=""
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
motor_position() {  # the last position the driver reported, in degrees and steps
    grep ' GET ' "$TRACE" | tail -n 1 | sed 's/.* x=\([-0-9]*\) y=\([-0-9]*\).*/\1 \2/' |
        awk -v spd="$STEPS_PER_DEGREE" -v pz="$PAN_ZERO" -v tz="$TILT_ZERO" '
            function deg(s, z,  d) { d = (s - z) / spd; return d < 0 ? -int(-d + 0.5) : int(d + 0.5) }
            { printf "pan %d° (step %d), tilt %d° (step %d)\n", deg($1, pz), $1, deg($2, tz), $2 }'
}
ctl() {  # ctl <method> [json]: a call to the extension object
    printf '\n$ ubus call gimbalhub.control %s %s\n' "$1" "${2:-}"
    "$BIN/ubus" -S call gimbalhub.control "$1" ${2:+"$2"} || echo "(exit status $?)"
}
wait_idle() {  # until the head rests and no jog, tour or park runs
    tries=0
    until "$BIN/ubus" -S call gimbalhub.control status | grep -q '"moving":false.*"activity":"idle"'; do
        tries=$((tries + 1))
        if [ $tries -gt 300 ]; then echo "timed out waiting for the head to rest" >&2; exit 1; fi
        sleep 0.05
    done
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

section "Starting gimbalhub with the simulated driver (last position: pan -150, tilt -10)"
echo "The bus speaks whole degrees, the driver counts motor steps: 4096 steps per turn (11.38 per degree), step 0 at the configured minimum (pan -177.5°, tilt -22.5°), so pan 0° is step 2020 and tilt 0° is step 256."
# In its own session, so that Ctrl-C in --web reaches the script, which then stops everything in order.
LD_PRELOAD="$SIM" SSP_SIM_SPEED=$SPEED SSP_SIM_START=120,-60 SSP_SIM_TRACE="$TRACE" \
    setsid "$BIN/gimbalhub" -c "$SCRATCH/gimbalhub.json" 2>"$LOG" &
DAEMON_PID=$!
wait_for "Transitioning FSM: HOMMING_Y -> READY" 1
plain <"$LOG"
echo "simulated motor: $(motor_position)"

if [ "$WEB" -eq 1 ]; then
    section "Starting the HTTP gateway with the control panel"
    setsid "$BIN/ubus-gateway" -l "${WEB_LISTEN:-127.0.0.1:8080}" -r "$ROOT/www" >"$SCRATCH/gateway.out" 2>&1 &
    GATEWAY_PID=$!
    url=$(listening_url "$GATEWAY_PID" "$SCRATCH/gateway.out" "$SCRATCH/gateway.out" "the gateway") || exit 1
    echo "Open ${url}gimbalhub/ in a browser; Ctrl-C stops the gateway, the daemon and the broker."
    trap 'echo; echo "Stopping the gateway, gimbalhub and the broker"; stop_started; exit 0' INT TERM
    while kill -0 "$GATEWAY_PID" 2>/dev/null; do sleep 1; done
    echo "the gateway ended by itself:" >&2
    cat "$SCRATCH/gateway.out" >&2
    exit 1
fi

if [ "$ONVIF" -eq 1 ]; then
    section "Starting the ONVIF endpoint"
    cat >"$SCRATCH/onvif.json" <<JSON
{ "Users": [ { "Name": "admin", "Password": "admin" } ], "Device": { "Name": "gimbalhub-demo" } }
JSON
    setsid "$BIN/gimbalhub-onvif" -c "$SCRATCH/onvif.json" -l "${ONVIF_LISTEN:-127.0.0.1:8000}" \
        >"$SCRATCH/onvif.out" 2>"$SCRATCH/onvif.err" &
    ONVIF_PID=$!
    url=$(listening_url "$ONVIF_PID" "$SCRATCH/onvif.out" "$SCRATCH/onvif.err" "the ONVIF endpoint") || exit 1
    echo "Point an ONVIF client at $url"
    echo "(user admin, password admin). Ctrl-C stops the endpoint, the daemon and the broker."
    trap 'echo; echo "Stopping the ONVIF endpoint, gimbalhub and the broker"; stop_started; exit 0' INT TERM
    while kill -0 "$ONVIF_PID" 2>/dev/null; do sleep 1; done
    echo "the ONVIF endpoint ended by itself:" >&2
    cat "$SCRATCH/onvif.err" >&2
    exit 1
fi

section "A short tour"
call getPosition
call changePan '{"step":30}' 1
call getPosition
call changeTilt '{"step":20}' 1
call getPosition
call changePosition '{"pan":-145,"tilt":-15}' 2
call getPosition

section "Presets and a jog on gimbalhub.control"
ctl presetSet '{"name":"door"}'
ctl moveTo '{"pan":-120,"tilt":5}'
wait_idle
echo "simulated motor: $(motor_position)"
ctl jog '{"pan":-1,"timeout":1200}'
ctl status
wait_idle
echo "after the jog's deadman: $(motor_position)"
ctl presetGoto '{"name":"door"}'
wait_idle
ctl status
echo "simulated motor: $(motor_position)"

if [ "$KEEP" -eq 1 ]; then
    section "The daemon keeps running; try for example"
    cat <<HELP
  ubus -v list
  ubus call gimbalhub getPosition
  ubus call gimbalhub changePan '{"step":10}'
  ubus call gimbalhub changeTilt '{"step":-3}'
  ubus call gimbalhub changePosition '{"pan":0,"tilt":0}'
  ubus call gimbalhub.control jog '{"tilt":0.5,"timeout":2000}'
  ubus call gimbalhub.control presetList
  ubus call gimbalhub.control tourStart '{"presets":["door","door"],"dwell":1,"loops":1}'
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

section "The motion, drawn from the driver trace"
awk -v speed="$SPEED" -v spd="$STEPS_PER_DEGREE" -v panzero="$PAN_ZERO" -v tiltzero="$TILT_ZERO" \
    -f "$ROOT/scripts/trace-plot.awk" "$TRACE" >"$PLOT"
echo "Pan and tilt in degrees against time: $PLOT"
echo
echo "Scratch folder (configuration, log, driver trace): $SCRATCH"
