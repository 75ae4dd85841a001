#!/bin/sh
# Runs the shell blocks of README.md and docs/*.md that are marked runnable,
# so a command that went stale fails the suite. A block is marked by the line
# "<!-- runnable -->" (invisible when rendered) right before its ```sh fence.
#
#   run_doc_blocks.sh <source dir> <build dir>
#
# Each block runs with sh -e from a stand-in of the repository root whose
# build/ is the given build tree, in a private mount namespace (a user
# namespace for a normal user) with its own /run and, where the trees allow
# it, its own /tmp. Exit 77 (skipped) where no such namespace can be had.
set -eu
SRC=$(cd "$1" && pwd)
BUILD=$(cd "$2" && pwd)
WORK=$BUILD/doc-blocks
rm -rf "$WORK"
mkdir -p "$WORK/root" "$WORK/blocks"

for entry in "$SRC"/* "$SRC"/.[!.]*; do
    [ -e "$entry" ] || continue
    name=${entry##*/}
    [ "$name" = build ] || ln -s "$entry" "$WORK/root/$name"
done
ln -s "$BUILD" "$WORK/root/build"

for doc in "$SRC/README.md" "$SRC"/docs/*.md; do
    rel=${doc#"$SRC"/}
    # One file per block, named after the document and the fence's line.
    awk -v out="$WORK/blocks" -v rel="$rel" '
        /^<!-- runnable -->[[:space:]]*$/ { marked = 1; next }
        marked && /^```sh[[:space:]]*$/ {
            file = rel ":" NR; gsub("/", "_", file); file = out "/" file
            inside = 1; marked = 0; next
        }
        inside && /^```[[:space:]]*$/ { inside = 0; close(file); next }
        inside { print > file; next }
        { marked = 0 }
    ' "$doc"
done
count=$(find "$WORK/blocks" -type f | wc -l)
if [ "$count" -eq 0 ]; then
    echo "no runnable blocks found: the marker or this script is broken" >&2
    exit 1
fi

if [ "$(id -u)" -eq 0 ]; then ns="unshare -m --propagation private"
else ns="unshare -r -m --propagation private"; fi
if ! $ns true 2>/dev/null; then
    echo "SKIPPED: no private mount namespace here ($ns failed)"
    exit 77
fi
private_tmp=1
case "$WORK/" in /tmp/*) private_tmp=0 ;; esac
case "$SRC/" in /tmp/*) private_tmp=0 ;; esac

failed=0
for block in "$WORK"/blocks/*; do
    name=${block##*/}
    start=$(date +%s)
    if $ns sh -c '
        mount -t tmpfs tmpfs /run || exit 1
        [ "$2" -eq 1 ] && { mount -t tmpfs tmpfs /tmp || exit 1; }
        cd "$1" && exec timeout 60 sh -e "$3"' sh "$WORK/root" "$private_tmp" "$block" \
        >"$block.out" 2>&1; then
        echo "ok    $name ($(( $(date +%s) - start )) s)"
    else
        echo "FAIL  $name (status $?); the block and its output:"
        sed 's/^/    | /' "$block"
        sed 's/^/    > /' "$block.out"
        failed=$((failed + 1))
    fi
done
echo "$count runnable blocks, $failed failed"
[ "$failed" -eq 0 ]
