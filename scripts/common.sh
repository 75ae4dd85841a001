# Shared settings for the scripts in this folder (sourced, not run).
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
# What building and testing on a PC needs.
BASE_PACKAGES="cmake make g++ pkg-config nlohmann-json3-dev libjson-c-dev libmicrohttpd-dev libpugixml-dev libmbedtls-dev libgtest-dev libgmock-dev util-linux procps libmosquitto-dev mosquitto mosquitto-clients"
# What the browser tests of the control panel need besides.
BROWSER_PACKAGES="python3 python3-selenium chromium chromium-driver"

configure_and_build() {
    cmake -S "$ROOT" -B "$BUILD_DIR" "$@"
    cmake --build "$BUILD_DIR" -j "$JOBS"
}

# listening_url <pid> <stdout file> <stderr file> <what>: waits (5 s at most)
# for the program's "listening on URL" line and prints the URL; shows its
# errors and fails when it ends or does not say it.
listening_url() {
    tries=0
    until grep -q '^listening on ' "$2"; do
        tries=$((tries + 1))
        if [ $tries -gt 100 ] || ! kill -0 "$1" 2>/dev/null; then
            cat "$3" >&2
            echo "$4 did not start" >&2
            return 1
        fi
        sleep 0.05
    done
    sed -n 's/^listening on //p' "$2" | head -n 1
}

# Long steps say what they are doing at least every 10 seconds (a tick of 8 s
# leaves room for a busy machine).
# with_ticker <seconds> <what> <log or ""> <command...>: runs the command;
# meanwhile prints "<what> (N s)" every <seconds>, with the latest build
# progress line of the log when one is given.
with_ticker() {
    ticker "$1" "$2" "$3" $$ &
    ticker_pid=$!
    shift 3
    ticker_status=0
    "$@" || ticker_status=$?
    kill "$ticker_pid" 2>/dev/null || true
    wait "$ticker_pid" 2>/dev/null || true
    return "$ticker_status"
}
ticker() {
    ticker_start=$(date +%s)
    while sleep "$1" && kill -0 "$4" 2>/dev/null; do
        progress=""
        [ -n "$3" ] && progress=$(grep -E '^\[ *[0-9]+(%|/[0-9]+)\]' "$3" 2>/dev/null | tail -n 1 | cut -c1-100)
        echo "  ... $2 ($(( $(date +%s) - ticker_start )) s)${progress:+ $progress}"
    done
}

# The helpers below run inside a private mount namespace (demo, benchmark):
# the daemon always uses the default bus socket, so it gets one of its own.

# Mounts a scratch tmpfs on the default bus socket directory.
mount_private_bus_dir() {
    SOCKET_DIR=/var/run/ubus
    mkdir -p "$SOCKET_DIR" 2>/dev/null || { mount -t tmpfs tmpfs /run; mkdir -p "$SOCKET_DIR"; }
    mount -t tmpfs -o mode=0755 tmpfs "$SOCKET_DIR"
}

# write_daemon_files <dir> <pan> <tilt>: a configuration whose persistence
# file, beside it, holds the given position.
write_daemon_files() {
    cat >"$1/gimbalhub.json" <<JSON
{
  "MotorControl": {
    "PanMax": 177.5, "PanMin": -177.5,
    "TiltMax": 22.5, "TiltMin": -22.5,
    "StepsPerRev": 4096,
    "PersistentFile": "$1/position.json"
  }
}
JSON
    printf '{"LastCameraPosition":{"Pan":%d,"Tilt":%d}}' "$2" "$3" >"$1/position.json"
}

# start_broker <log> [launcher...]: starts build/bin/ubusd (behind the
# launcher, e.g. "taskset -c 0"), sets BROKER_PID, waits for its socket.
start_broker() {
    broker_log=$1
    shift
    "$@" "$BUILD_DIR/bin/ubusd" >"$broker_log" 2>&1 &
    BROKER_PID=$!
    tries=0
    until [ -S "$SOCKET_DIR/ubus.sock" ]; do
        tries=$((tries + 1))
        [ "$tries" -gt 100 ] && { echo "the broker did not start" >&2; return 1; }
        sleep 0.05
    done
}

# Stops what the caller started (GATEWAY_PID, ONVIF_PID, DAEMON_PID,
# BROKER_PID), one after the other, so that none loses its bus while ending;
# for an EXIT trap.
stop_started() {
    for pid in "${GATEWAY_PID:-}" "${ONVIF_PID:-}" "${DAEMON_PID:-}" "${BROKER_PID:-}"; do
        [ -n "$pid" ] || continue
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    GATEWAY_PID="" ONVIF_PID="" DAEMON_PID="" BROKER_PID=""
}
