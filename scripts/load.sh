#!/bin/sh
# Soak and flood of the running daemon (bench/load): builds a release tree
# with the benchmarks and runs load_soak as root. Prints figures and
# PASS/MISS per target; fails only on correctness (the daemon died, calls
# failed, the motors ended where the accepted commands do not put them),
# among the figures a legitimate client's getPosition p50/p99 alone, beside a
# flooder that never reads, beside its own calls to a stuck object and beside
# an event flood to 50 listeners that never read (with the broker's VmRSS).
#
#   LOAD_CALLS (100000)  LOAD_CLIENTS (4)  LOAD_FLOOD_CALLS (5000)
#   LOAD_LEGITIMATE_CALLS (2000)
# Then abuses of the HTTP gateway, each beside a legitimate client (cases of
# ubus/gateway/gateway_e2e_test.cpp; a few seconds each), and of the bus
# itself (cases of the bus and daemon end-to-end tests).
set -eu
. "$(dirname "$0")/common.sh"
BUILD_DIR=${LOAD_BUILD_DIR:-$ROOT/build-load}
"$ROOT/scripts/deps.sh" $BASE_PACKAGES
mkdir -p "$BUILD_DIR"
# shellcheck disable=SC2086
cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DGIMBAL_BUILD_TESTS=ON -DGIMBAL_BUILD_BENCH=ON >"$BUILD_DIR/configure.log" 2>&1 \
    || { cat "$BUILD_DIR/configure.log"; exit 1; }
cmake --build "$BUILD_DIR" -j "$JOBS" --target load_soak ubus_gateway_e2e_test \
    ubus_broker_e2e_test ubus_cli_events_e2e_test daemon_e2e_test
with_ticker 8 "load run" "" "$BUILD_DIR/bin/load_soak"

gateway_abuse() { "$BUILD_DIR/bin/ubus_gateway_e2e_test" --gtest_brief=1 --gtest_filter="Gateway.$1"; }
gateway_abuse SlowClientsGetADeadlineAndAFewSlots          # 70 tricklers beside a legitimate client
gateway_abuse ClosedPeersAreFreedAtOnce                    # 80 half requests hung up, then a legitimate one
gateway_abuse AStuckObjectHoldsUpOnlyItsOwnCallers         # a stopped object and 60 KiB calls beside the panel's files and calls
gateway_abuse AStoppedBrokerCostsEachRequestItsTimeLimit   # SIGSTOP on the broker, calls filling the socket, then SIGTERM
gateway_abuse BatchesAndListsAreBounded                    # a batch to a silent object, 8 lists of 16,000 patterns
gateway_abuse OversizedRepliesFailOnlyTheirCaller          # 480 KiB of reply data

bus_abuse() { "$BUILD_DIR/bin/$1" --gtest_brief=1 --gtest_filter="$2"; }
bus_abuse ubus_broker_e2e_test 'RawBroker.AStoppedOwner*'         # a stopped owner, 8 calls of 60 KiB, the caller served meanwhile
bus_abuse ubus_cli_events_e2e_test 'CliEventFlood.*'             # two senders flood a listener whose output has stalled
bus_abuse ubus_broker_e2e_test 'BrokerMemory.*'                  # 50 listeners that never read, three event flooders
bus_abuse daemon_e2e_test 'DaemonUnderFlood.SigtermEnds*'        # SIGSTOP on the broker while the daemon's answers fill its socket, then SIGTERM
