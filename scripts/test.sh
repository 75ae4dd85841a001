#!/bin/sh
# Builds everything and runs every test (unit and end-to-end).
set -eu
. "$(dirname "$0")/common.sh"
"$ROOT/scripts/deps.sh" $BASE_PACKAGES $BROWSER_PACKAGES
configure_and_build -DGIMBAL_BUILD_TESTS=ON
cd "$BUILD_DIR"
ctest --output-on-failure -j "$JOBS" --timeout 300
