#!/bin/sh
# A site on one PC: N simulated heads, each with its own bus broker, its own
# gimbalhub on the simulated driver and its own gimbalhub-mqtt, all on one
# mosquitto. `scripts/demo.sh --fleet N` builds what it needs and runs this.
# Prints the lines to watch and steer the heads; on a terminal it waits for
# Enter or Ctrl-C, otherwise it sends one group command and shows the replies.
# Then it stops the bridges, the daemons, their buses and the broker, in order.
set -eu
. "$(dirname "$0")/common.sh"
N=${1:?usage: fleet-demo.sh N}
PORT=${MQTT_PORT:-18830}
BIN="$BUILD_DIR/bin"
SIM="$BUILD_DIR/lib/libsspsim.so"
MOSQUITTO=$(command -v mosquitto || echo /usr/sbin/mosquitto)
[ -x "$MOSQUITTO" ] || { echo "mosquitto is not installed (scripts/deps.sh mosquitto)" >&2; exit 1; }
[ -x "$BIN/gimbalhub-mqtt" ] || { echo "$BIN/gimbalhub-mqtt is not built" >&2; exit 1; }
USERNS=""
[ "$(id -u)" -eq 0 ] || USERNS=-r

SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/gimbalhub-fleet.XXXXXX")
PIDS_BRIDGES="" PIDS_DAEMONS="" PIDS_BUSES="" BROKER=""
stop_all() {
    trap - EXIT INT TERM
    echo
    echo "Stopping the bridges, the daemons, their buses and the broker"
    for pid in $PIDS_BRIDGES $PIDS_DAEMONS $PIDS_BUSES $BROKER; do kill "$pid" 2>/dev/null || true; done
    for pid in $PIDS_BRIDGES $PIDS_DAEMONS $PIDS_BUSES $BROKER; do wait "$pid" 2>/dev/null || true; done
    echo "Scratch folder (configurations, logs, driver traces): $SCRATCH"
}
trap stop_all EXIT
trap 'exit 0' INT TERM

OP="-h 127.0.0.1 -p $PORT -u operator -P operator"
# Broker: a password per head (its device id) and an ACL that keeps each head
# under its own prefix.
printf 'operator:operator\n' >"$SCRATCH/passwd"
i=1
while [ "$i" -le "$N" ]; do printf 'head%d:pw-head%d\n' "$i" "$i" >>"$SCRATCH/passwd"; i=$((i + 1)); done
mosquitto_passwd -U "$SCRATCH/passwd"
cat >"$SCRATCH/acl" <<ACL
user operator
topic readwrite #

pattern write gimbalhub/%u/#
pattern read gimbalhub/%u/cmd/#
pattern read gimbalhub/all/cmd/#
ACL
{
    echo "listener $PORT 127.0.0.1"
    echo "allow_anonymous false"
    echo "password_file $SCRATCH/passwd"
    echo "acl_file $SCRATCH/acl"
    [ "$(id -u)" -eq 0 ] && echo "user root"
} >"$SCRATCH/mosquitto.conf"
"$MOSQUITTO" -c "$SCRATCH/mosquitto.conf" 2>"$SCRATCH/mosquitto.log" &
BROKER=$!
tries=0
# shellcheck disable=SC2086
until mosquitto_pub $OP -t demo/ping -n 2>/dev/null; do
    tries=$((tries + 1))
    if [ $tries -gt 100 ] || ! kill -0 "$BROKER" 2>/dev/null; then
        cat "$SCRATCH/mosquitto.log" >&2; echo "the broker did not start on port $PORT (MQTT_PORT picks another)" >&2; exit 1
    fi
    sleep 0.1
done
echo "mosquitto on 127.0.0.1:$PORT (pid $BROKER)"

i=1
while [ "$i" -le "$N" ]; do
    dir=$SCRATCH/head$i
    mkdir -p "$dir/bus"
    write_daemon_files "$dir" 0 0
    "$BIN/ubusd" -s "$dir/bus/ubus.sock" >"$dir/ubusd.log" 2>&1 &
    PIDS_BUSES="$PIDS_BUSES $!"
    cat >"$dir/mqtt.json" <<JSON
{"Host": "127.0.0.1", "Port": $PORT, "Username": "head$i", "Password": "pw-head$i", "DeviceId": "head$i"}
JSON
    i=$((i + 1))
done
i=1
while [ "$i" -le "$N" ]; do
    dir=$SCRATCH/head$i
    until [ -S "$dir/bus/ubus.sock" ]; do sleep 0.05; done
    # The daemon always uses /var/run/ubus/ubus.sock: in a mount namespace of
    # its own, the head's bus folder is mounted there.
    HEAD_PRELOAD=$SIM SSP_SIM_SPEED=400 SSP_SIM_TRACE="$dir/trace" \
        unshare $USERNS -m --propagation private sh -c '
            d=/var/run/ubus
            mkdir -p $d 2>/dev/null || { mount -t tmpfs tmpfs /run && mkdir -p $d; }
            mount --bind "$1" $d; shift
            LD_PRELOAD="$HEAD_PRELOAD" exec "$@"' head "$dir/bus" "$BIN/gimbalhub" -c "$dir/gimbalhub.json" \
        2>"$dir/gimbalhub.log" &
    PIDS_DAEMONS="$PIDS_DAEMONS $!"
    "$BIN/gimbalhub-mqtt" -c "$dir/mqtt.json" -s "$dir/bus/ubus.sock" 2>"$dir/mqtt.log" &
    PIDS_BRIDGES="$PIDS_BRIDGES $!"
    i=$((i + 1))
done

echo "Starting $N heads (bus, gimbalhub, gimbalhub-mqtt each) ..."
online=0
tries=0
while [ "$online" -lt "$N" ]; do
    # shellcheck disable=SC2086
    online=$(mosquitto_sub $OP -t 'gimbalhub/+/availability' --retained-only -W 1 2>/dev/null | grep -c '^online$' || true)
    tries=$((tries + 1))
    [ $tries -gt 60 ] && { echo "only $online of $N heads came online; logs in $SCRATCH" >&2; exit 1; }
done
echo "All $N heads online."

cat <<HELP

Watch every head (availability, state, events, replies):
  mosquitto_sub $OP -v -t 'gimbalhub/#'
Steer one head, or all at once:
  mosquitto_pub $OP -q 1 -t gimbalhub/head1/cmd/moveTo -m '{"pan":30,"tilt":5}'
  mosquitto_pub $OP -q 1 -t gimbalhub/all/cmd/moveTo -m '{"pan":-45,"tilt":10}'
  mosquitto_pub $OP -q 1 -t gimbalhub/all/cmd/jog -m '{"pan":0.5}'
  mosquitto_pub $OP -q 1 -t gimbalhub/all/cmd/stop -n
  mosquitto_pub $OP -q 1 -t gimbalhub/head1/cmd/presetSet -m '{"name":"door"}'
  mosquitto_pub $OP -q 1 -t gimbalhub/head1/cmd/presetGoto -m '{"name":"door"}'
  mosquitto_pub $OP -q 1 -t gimbalhub/head2/cmd/status -n
A head's own credentials reach only its own topics:
  mosquitto_pub -h 127.0.0.1 -p $PORT -u head1 -P pw-head1 -q 1 -t gimbalhub/head2/cmd/stop -n   (dropped by the broker)
HELP

if [ -t 0 ]; then
    echo
    echo "Press Enter (or Ctrl-C) to stop everything."
    read -r _ || true
else
    echo
    echo "== One group command: every head turns to pan -45, tilt 10"
    # shellcheck disable=SC2086
    mosquitto_sub $OP -v -t 'gimbalhub/+/reply/moveTo' -C "$N" -W 20 >"$SCRATCH/replies" &
    watcher=$!
    sleep 0.3
    # shellcheck disable=SC2086
    mosquitto_pub $OP -q 1 -t gimbalhub/all/cmd/moveTo -m '{"pan":-45,"tilt":10}'
    wait "$watcher" || true
    cat "$SCRATCH/replies"
fi
