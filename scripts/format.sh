#!/bin/sh
# Formats the project's C++ sources with .clang-format (ubus/ and sim/ have
# their own); the bundled C library and its unit tests keep their style.
#   scripts/format.sh           rewrite the files in place
#   scripts/format.sh --check   list the files that would change; status 1 if any
set -eu
cd "$(dirname "$0")/.."
CLANG_FORMAT=${CLANG_FORMAT:-clang-format}
command -v "$CLANG_FORMAT" >/dev/null 2>&1 || {
    echo "clang-format not found: apt-get install clang-format" >&2
    exit 2
}
check=0
[ "${1:-}" = "--check" ] && check=1

files=$(git ls-files -- 'src/*.cpp' 'src/*.h' 'sim/*.cpp' 'sim/*.h' 'tests/*.cpp' 'tests/*.h' \
    'busclient/*.cpp' 'busclient/*.h' 'bench/*.cpp' 'bench/*.h' 'fuzz/*.cpp' 'fuzz/*.h' 'otarelay/*.cpp' \
    'ubus/cli/*.cpp' 'ubus/cli/*.h' 'ubus/ubusd/*.cpp' 'ubus/ubusd/*.h' \
    'ubus/tests/*.cpp' 'ubus/tests/*.h' 'ubus/gateway/*.cpp' 'ubus/gateway/*.h' \
    'onvif/*.cpp' 'onvif/*.h' \
    'mqtt/*.cpp' 'mqtt/*.h')

changed=0
for f in $files; do
    if [ "$check" -eq 1 ]; then
        if ! "$CLANG_FORMAT" --style=file "$f" | cmp -s - "$f"; then
            echo "$f"
            changed=1
        fi
    else
        "$CLANG_FORMAT" --style=file -i "$f"
    fi
done
exit "$changed"
