#!/bin/sh
# Size budget of the device programs: stripped copies of the ARM binaries,
# compared with what the device's flash allows.
#   scripts/size-report.sh <bin dir> [strip tool] [dynamic|static]
# The last argument tells how the toolchain's runtimes are linked (default
# dynamic, as on the device, which has them as shared libraries). The budgets
# are for that; with static ones (the musl toolchain links libc++ and its
# compiler runtime into every program) the figures are printed only.
# Exits 1 when a program is missing or over its budget.
set -eu
BIN_DIR=${1:?usage: size-report.sh <bin dir> [strip tool]}
STRIP=${2:-arm-linux-gnueabihf-strip}
CXX_RUNTIME=${3:-dynamic}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

status=0
echo "toolchain runtimes linked $CXX_RUNTIME"
printf '%-16s %10s %10s  %s\n' program stripped budget verdict
# program:budget in KiB
for entry in otarelay:16 gimbalhub:300 gimbalhub-mqtt:300 gimbalhub-onvif:400; do
    program=${entry%%:*}
    budget_kib=${entry#*:}
    budget=$((budget_kib * 1024))
    if [ ! -f "$BIN_DIR/$program" ]; then
        printf '%-16s %10s %10s  %s\n' "$program" - "$budget" "FAIL (not built)"
        status=1
        continue
    fi
    "$STRIP" -o "$work/$program" "$BIN_DIR/$program"
    size=$(wc -c < "$work/$program" | tr -d ' ')
    if [ "$CXX_RUNTIME" = static ]; then
        verdict="(runtimes inside: not budgeted)"
    elif [ "$size" -lt "$budget" ]; then
        verdict=PASS
    else
        verdict="FAIL (over by $((size - budget)) bytes)"
        status=1
    fi
    printf '%-16s %10s %10s  %s\n' "$program" "$size" "$budget" "$verdict"
done
exit $status
