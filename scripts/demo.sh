#!/bin/sh
# Builds the daemon and shows it at work.
set -eu
. "$(dirname "$0")/common.sh"
"$ROOT/scripts/deps.sh" $BASE_PACKAGES
configure_and_build
echo "gimbalhub is not complete yet: the build succeeded, the demo comes with the daemon."
