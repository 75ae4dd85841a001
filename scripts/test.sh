#!/bin/sh
# Builds everything and runs every test (unit and end-to-end).
set -eu
. "$(dirname "$0")/common.sh"
# The ONVIF end-to-end tests drive the endpoint with npm client libraries:
# any node and npm will do, Debian's where there are none.
NODE_PACKAGES=""
command -v node >/dev/null 2>&1 && command -v npm >/dev/null 2>&1 || NODE_PACKAGES="nodejs npm"
"$ROOT/scripts/deps.sh" $BASE_PACKAGES $BROWSER_PACKAGES $NODE_PACKAGES
configure_and_build -DGIMBAL_BUILD_TESTS=ON
cd "$BUILD_DIR"
ctest --output-on-failure -j "$JOBS" --timeout 300
