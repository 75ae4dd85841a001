#!/bin/sh
# Installs the pinned npm clients of the end-to-end tests into a folder of the
# build tree: install.sh <target dir>. Nothing is done when that folder
# already holds exactly the locked versions. Exit status 77 (skipped) where
# node or npm is missing.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
target=${1:?usage: install.sh <target dir>}
command -v node >/dev/null 2>&1 && command -v npm >/dev/null 2>&1 || {
    echo "node/npm not found (Debian: apt-get install nodejs npm): the ONVIF client tests are skipped"
    exit 77
}
mkdir -p "$target"
cp "$here/client.js" "$target/"
if [ -f "$target/node_modules/.package-lock.json" ] && cmp -s "$here/package-lock.json" "$target/package-lock.json"; then
    echo "ONVIF test clients up to date in $target"
    exit 0
fi
cp "$here/package.json" "$here/package-lock.json" "$target/"
(cd "$target" && npm ci --no-audit --no-fund --loglevel=error)
echo "ONVIF test clients installed in $target"
