# The steps of scripts/cross.sh (sourced). select_target sets, for one target:
#   TARGET TOOLCHAIN SYSROOT OUT STAGE BIN CC_TARGET LIBC_NEEDED CXX_RUNTIME
# and every later step works on it.

step() { printf '\n=== %s (%s)\n' "$*" "$(date -u +%H:%M:%S)"; }
fail() { echo "cross.sh: $*" >&2; exit 1; }

# heartbeat <label> <command...>: runs the command and says every 10 s that
# it still does, since builds and tests under emulation can be quiet for long.
# It speaks on fd 3, the script's own output, even when the command's output
# goes to a log.
exec 3>&1
heartbeat() {
    label=$1
    shift
    started=$(date +%s)
    (while sleep 10 && kill -0 $$ 2>/dev/null; do echo "  ... $label, $(($(date +%s) - started)) s" >&3; done) &
    beat=$!
    status=0
    "$@" || status=$?
    kill "$beat" 2>/dev/null || true
    wait "$beat" 2>/dev/null || true
    return "$status"
}

select_target() {
    TARGET=$1
    OUT=$CROSS_BUILD_DIR/$TARGET
    STAGE=$OUT/stage
    BIN=$OUT/build/bin
    TOOLCHAIN=$ROOT/cmake/toolchain-$TARGET.cmake
    case $TARGET in
        arm-linux-gnueabihf)
            SYSROOT=/usr/$TARGET
            CC_TARGET="$TARGET-gcc"
            LIBC_NEEDED=libc.so.6
            CXX_RUNTIME=dynamic
            ;;
        arm-linux-musleabihf)
            GIMBAL_MUSL_TOOLCHAIN=$CROSS_BUILD_DIR/toolchains/$TARGET
            export GIMBAL_MUSL_TOOLCHAIN
            SYSROOT=$GIMBAL_MUSL_TOOLCHAIN/root
            CC_TARGET="$GIMBAL_MUSL_TOOLCHAIN/bin/cc"
            LIBC_NEEDED=libc.so
            CXX_RUNTIME=static
            ;;
        *) fail "unknown target $TARGET (arm-linux-gnueabihf or arm-linux-musleabihf)" ;;
    esac
    # ARM programs started by the tests find their loader and libraries here.
    export QEMU_LD_PREFIX=$SYSROOT
    mkdir -p "$OUT"
}

fetch_toolchain() {
    case $TARGET in
        arm-linux-gnueabihf) echo "Debian's $TARGET-g++ $($TARGET-g++ -dumpversion)" ;;
        arm-linux-musleabihf)
            heartbeat "fetching" "$ROOT/scripts/cross/musl-toolchain.sh" "$GIMBAL_MUSL_TOOLCHAIN"
            # Tests that hide /tmp behind a private tmpfs would hide a loader
            # root kept there too: as root, give it the place the glibc one has.
            case $SYSROOT in
                /tmp/*)
                    if [ "$(id -u)" -eq 0 ]; then
                        mkdir -p "/usr/$TARGET" && cp -a "$SYSROOT/." "/usr/$TARGET/"
                        SYSROOT=/usr/$TARGET
                        export QEMU_LD_PREFIX=$SYSROOT
                    fi
                    ;;
            esac
            ;;
    esac
}

# Makes ARM executables start through qemu-arm (the end-to-end tests start
# ARM children themselves); RUN_E2E=0 when that is impossible here.
setup_binfmt() {
    RUN_E2E=1
    [ -e /proc/sys/fs/binfmt_misc/qemu-arm ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
            mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || true
        fi
        update-binfmts --import qemu-arm >/dev/null 2>&1 || true
        update-binfmts --enable qemu-arm || true
    fi
    if [ ! -e /proc/sys/fs/binfmt_misc/qemu-arm ]; then
        RUN_E2E=0
        echo "warning: ARM executables cannot be started directly (binfmt_misc for qemu-arm unavailable;" >&2
        echo "         needs root and a mountable /proc/sys/fs/binfmt_misc)." >&2
        echo "         The end-to-end tests (label e2e) are SKIPPED on ARM; unit tests still run." >&2
    fi
}

# The target's type sizes, and LD_PRELOAD of an ARM library into an ARM
# program: that is how the tests load the simulated driver into the daemon.
probe_target() {
    probe=$OUT/probe
    $CC_TARGET -O2 -Wall -Wextra -Werror -o "$probe" "$ROOT/scripts/cross/probe/probe.c"
    $CC_TARGET -O2 -Wall -Wextra -Werror -shared -fPIC -o "$OUT/libpreload.so" "$ROOT/scripts/cross/probe/preload.c"
    sizes=$(qemu-arm -L "$SYSROOT" "$probe")
    echo "$TARGET: $sizes"
    # 32-bit glibc keeps a 32-bit time_t by default; musl has a 64-bit one.
    case "$TARGET $sizes" in
        *musl*time_t=8*) ;;
        *musl*) fail "$TARGET: time_t is not 64 bits" ;;
    esac
    [ "$RUN_E2E" -eq 1 ] || return 0
    preload_out=$OUT/preload.out
    LD_PRELOAD=$OUT/libpreload.so "$probe" >"$preload_out" 2>&1 || true
    if ! grep -q 'preload=yes' "$preload_out"; then
        cat "$preload_out"
        fail "LD_PRELOAD does not reach ARM programs under qemu: the simulated driver cannot be loaded"
    fi
    if grep -q 'ld.so' "$preload_out"; then
        # A dynamically linked qemu sees LD_PRELOAD itself and complains on
        # stderr of every program started with the simulator preloaded.
        echo "warning: qemu-arm is registered as a dynamic executable; install qemu-user-static for quiet LD_PRELOAD" >&2
    fi
    echo "LD_PRELOAD of an ARM library into an ARM program started directly: works"
}

# Debian ships GoogleTest's sources; its packaged libraries are x86 only.
build_googletest() {
    if [ ! -f "$STAGE/lib/cmake/GTest/GTestConfig.cmake" ]; then
        cmake -S /usr/src/googletest -B "$OUT/googletest" \
            -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_INSTALL_PREFIX="$STAGE" -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
            -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON >/dev/null
        heartbeat "building GoogleTest" cmake --build "$OUT/googletest" -j "$JOBS" >"$OUT/googletest.log" ||
            { tail -n 40 "$OUT/googletest.log"; fail "GoogleTest for $TARGET did not build"; }
        cmake --install "$OUT/googletest" >/dev/null
    fi
    echo "GoogleTest: $STAGE"
}

# The target's libraries that programs here link, as libraries of the target
# in the stage. glibc: Debian's ARM packages unpacked, never installed (an
# installed armhf C library would be found by qemu before the cross
# toolchain's). musl: Debian has no build for it, so the source packages are
# built here, static, the library alone (no programs, tests or documents).
# json-c: the bus client tool. libmicrohttpd, pugixml, mbedcrypto: the ONVIF
# endpoint; libmicrohttpd from source on glibc too, since Debian's armhf
# build needs GnuTLS and its chain at run time and the endpoint needs no TLS.
# libmosquitto: the MQTT bridge; Debian's with TLS (and OpenSSL) on glibc,
# without TLS on musl: the two variants the device's feed has.
stage_libraries() {
    mkdir -p "$STAGE/include" "$STAGE/lib"
    case $TARGET in
        arm-linux-gnueabihf)
            stage_debs libjson-c.so libjson-c5 libjson-c-dev
            stage_debs libpugixml.so libpugixml1v5 libpugixml-dev
            stage_debs libmbedcrypto.so libmbedcrypto7 libmbedtls-dev
            stage_debs libmosquitto.so libmosquitto1 libmosquitto-dev libssl3
            ;;
        arm-linux-musleabihf)
            build_cmake_library json-c libjson-c.a "" -DBUILD_TESTING=OFF -DBUILD_APPS=OFF \
                -DDISABLE_EXTRA_LIBS=ON -DENABLE_THREADING=OFF -DDISABLE_WERROR=ON
            build_cmake_library pugixml libpugixml.a "" -DPUGIXML_BUILD_TESTS=OFF
            build_cmake_library mbedtls libmbedcrypto.a mbedcrypto -DENABLE_PROGRAMS=OFF -DENABLE_TESTING=OFF \
                -DMBEDTLS_FATAL_WARNINGS=OFF -DUSE_SHARED_MBEDTLS_LIBRARY=OFF -DUSE_STATIC_MBEDTLS_LIBRARY=ON
            build_cmake_library mosquitto libmosquitto.a=libmosquitto_static.a libmosquitto_static \
                -DWITH_STATIC_LIBRARIES=ON -DWITH_TLS=OFF -DWITH_TLS_PSK=OFF -DWITH_CJSON=OFF -DWITH_LIB_CPP=OFF \
                -DWITH_BROKER=OFF -DWITH_CLIENTS=OFF -DWITH_APPS=OFF -DWITH_PLUGINS=OFF -DDOCUMENTATION=OFF
            ;;
    esac
    build_microhttpd
    echo "libraries for $TARGET in $STAGE/lib: $(cd "$STAGE/lib" && ls libjson-c.* libpugixml.* libmbedcrypto.* \
        libmicrohttpd.* libmosquitto.* 2>/dev/null | tr '\n' ' ')"
}

# stage_debs <library file> <armhf package...>: headers and libraries of the
# packages into the stage, unless the library file is there already.
stage_debs() {
    library=$1
    shift
    [ -e "$STAGE/lib/$library" ] && return 0
    if ! dpkg --print-foreign-architectures | grep -qx armhf; then
        [ "$(id -u)" -eq 0 ] || fail "the ARM libraries need the armhf package lists: as root run dpkg --add-architecture armhf && apt-get update"
        dpkg --add-architecture armhf
    fi
    debs=$OUT/debs-$1
    rm -rf "$debs"
    mkdir -p "$debs/root"
    packages=""
    for package in "$@"; do packages="$packages $package:armhf"; done
    # shellcheck disable=SC2086
    fetch_debs() { (cd "$debs" && apt-get download -q $packages >"$debs/fetch.log" 2>&1); }
    fetch_debs || { [ "$(id -u)" -eq 0 ] && apt-get update -q && fetch_debs; } ||
        { cat "$debs/fetch.log"; fail "cannot download Debian's armhf packages:$packages"; }
    for deb in "$debs"/*.deb; do dpkg-deb -x "$deb" "$debs/root"; done
    if [ -d "$debs/root/usr/include" ]; then cp -r "$debs/root/usr/include/." "$STAGE/include/"; fi
    cp -P "$debs/root/usr/lib/$TARGET"/*.so* "$STAGE/lib/"
}

# fetch_source <source package>: Debian's source package unpacked in
# $OUT/src-<package>/tree. A private source list and apt state, read once
# for all packages: the PC's package configuration stays as it is; apt
# checks the files against Debian's signed index.
fetch_source() {
    src=$OUT/src-$1
    [ -d "$src/tree" ] && return 0
    apt_state=$OUT/apt-sources
    set -- "$1" -q -o Dir::Etc::SourceList="$apt_state/sources.list" -o Dir::Etc::SourceParts=/nonexistent \
        -o Dir::State::Lists="$apt_state/lists" -o Dir::State::status="$apt_state/status" \
        -o Dir::Cache="$apt_state/cache"
    package=$1
    shift
    if [ ! -f "$apt_state/updated" ]; then
        rm -rf "$apt_state"
        mkdir -p "$apt_state/lists/partial" "$apt_state/cache/archives/partial"
        : >"$apt_state/status"
        echo "deb-src http://deb.debian.org/debian bookworm main" >"$apt_state/sources.list"
        apt-get "$@" update >/dev/null || fail "cannot read Debian's source lists"
        touch "$apt_state/updated"
    fi
    rm -rf "$src"
    mkdir -p "$src"
    (cd "$src" && apt-get "$@" source --download-only "$package" >"$src/fetch.log" 2>&1) || true
    dsc=$(ls "$src/${package}"_*.dsc 2>/dev/null) ||
        { cat "$src/fetch.log"; fail "cannot download Debian's $package source package"; }
    dpkg-source --no-check -x "$dsc" "$src/tree" >/dev/null
}

# build_cmake_library <source package> <library file> <target or ""> <cmake options...>:
# a static library from Debian's source into the stage. With a target, only
# that library is built and its headers copied, not the whole install; the
# library file may then read <staged name>=<built name>, for a project that
# names its static library apart from the shared one.
build_cmake_library() {
    package=$1 library=${2%%=*} built=${2#*=} only=$3
    shift 3
    [ -e "$STAGE/lib/$library" ] && return 0
    fetch_source "$package"
    src=$OUT/src-$package
    cmake -S "$src/tree" -B "$src/build" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$STAGE" -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
        -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON "$@" >"$src/configure.log" 2>&1 ||
        { tail -n 40 "$src/configure.log"; fail "$package for $TARGET did not configure"; }
    heartbeat "building $package" cmake --build "$src/build" -j "$JOBS" ${only:+--target "$only"} \
        >"$src/build.log" 2>&1 || { tail -n 40 "$src/build.log"; fail "$package for $TARGET did not build"; }
    if [ -n "$only" ]; then
        cp -r "$src/tree/include/." "$STAGE/include/"
        find "$src/build" -name "$built" -exec cp {} "$STAGE/lib/$library" \;
    else
        cmake --install "$src/build" >/dev/null
    fi
    [ -e "$STAGE/lib/$library" ] || fail "$package for $TARGET: no $library staged"
}

# libmicrohttpd (autotools) without TLS: shared on glibc, as the device has
# it (and the size report measures it), static on musl like the others.
build_microhttpd() {
    case $TARGET in
        arm-linux-musleabihf)
            library=libmicrohttpd.a
            tools="CC=$CC_TARGET AR=$GIMBAL_MUSL_TOOLCHAIN/bin/ar RANLIB=$GIMBAL_MUSL_TOOLCHAIN/bin/ranlib"
            kind="--enable-static --disable-shared"
            ;;
        *)
            library=libmicrohttpd.so
            tools="CC=$CC_TARGET"
            kind="--disable-static --enable-shared"
            ;;
    esac
    [ -e "$STAGE/lib/$library" ] && return 0
    fetch_source libmicrohttpd
    src=$OUT/src-libmicrohttpd
    # shellcheck disable=SC2086
    (cd "$src/tree" && env $tools CFLAGS="-O2 -fPIC" ./configure --host="$TARGET" --prefix="$STAGE" \
        $kind --disable-https --without-gnutls --disable-curl --disable-doc \
        --disable-examples >"$src/configure.log" 2>&1) ||
        { tail -n 40 "$src/configure.log"; fail "libmicrohttpd for $TARGET did not configure"; }
    heartbeat "building libmicrohttpd" make -C "$src/tree/src/microhttpd" -j "$JOBS" >"$src/build.log" 2>&1 ||
        { tail -n 40 "$src/build.log"; fail "libmicrohttpd for $TARGET did not build"; }
    make -C "$src/tree/src/microhttpd" install >/dev/null 2>&1 || fail "libmicrohttpd for $TARGET did not install"
    make -C "$src/tree/src/include" install >/dev/null 2>&1 || fail "libmicrohttpd headers for $TARGET did not install"
}

# Everything, tests included, with warnings as errors. nlohmann::json is
# found by the project itself (header-only: copied into the build tree).
build_project() {
    build=$OUT/build
    # Through the environment, so the toolchain file's own flags stay in place.
    CFLAGS="-Werror" CXXFLAGS="-Werror" cmake -S "$ROOT" -B "$build" \
        -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DGIMBAL_CROSS_EXTRA_ROOTS="$STAGE" \
        -DGIMBAL_BUILD_TESTS=ON >"$OUT/configure.log" || { cat "$OUT/configure.log"; fail "configure failed"; }
    grep -q '^CMAKE_CXX_FLAGS:STRING=.*-Werror' "$build/CMakeCache.txt" ||
        fail "$build was configured without -Werror; remove it and run again"
    grep -q "^GTest_DIR:PATH=$STAGE/" "$build/CMakeCache.txt" ||
        fail "find_package(GTest) did not pick the ARM GoogleTest from $STAGE"
    heartbeat "building for $TARGET" cmake --build "$build" -j "$JOBS" >"$OUT/build.log" 2>&1 ||
        { grep -E 'error|warning' "$OUT/build.log" | head -n 40; fail "build for $TARGET failed (log: $OUT/build.log)"; }
    if grep -q 'warning:' "$OUT/build.log"; then
        grep 'warning:' "$OUT/build.log" | head -n 20
        fail "warnings in the $TARGET build"
    fi
    echo "built with zero warnings: $(ls "$BIN" | wc -l) programs in $BIN"
}

# 32-bit ARM, the C library linked dynamically, the C++ runtime as expected,
# otarelay needing the C library only; the bus clients load each library
# the stage has shared and carry those it has static.
check_binaries() {
    for program in gimbalhub gimbalhub-mqtt gimbalhub-onvif otarelay; do
        [ -f "$BIN/$program" ] || fail "$program was not built"
        file -b "$BIN/$program" | grep -q 'ELF 32-bit LSB.*ARM' || fail "$program is not a 32-bit ARM program"
        needed=$(readelf -d "$BIN/$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
        echo "$program needs: $needed"
        case " $needed" in *" $LIBC_NEEDED "*) ;; *) fail "$program is not linked dynamically against $LIBC_NEEDED" ;; esac
        case "$program $needed" in
            otarelay*++*) fail "otarelay must need nothing but the C library" ;;
            gimbalhub*libstdc++*) [ "$CXX_RUNTIME" = dynamic ] || fail "$program: unexpected shared C++ runtime" ;;
            gimbalhub*) [ "$CXX_RUNTIME" = static ] || fail "$program is not linked dynamically against the C++ runtime" ;;
        esac
        for library in $(program_libraries "$program"); do
            case " $needed" in
                *" $library.so"*) [ -e "$STAGE/lib/$library.so" ] || fail "$program loads $library, staged static" ;;
                *) [ -e "$STAGE/lib/$library.a" ] || fail "$program does not load $library" ;;
            esac
        done
    done
}

# program_libraries <program>: the staged libraries it links, which the
# device has as packages of their own.
program_libraries() {
    case $1 in
        gimbalhub-onvif) echo libmicrohttpd libpugixml libmbedcrypto ;;
        gimbalhub-mqtt) echo libmosquitto ;;
    esac
}

run_tests() {
    # Known not to work under qemu-user (each passes natively): tests reading
    # /proc/<pid>/syscall see the PC's syscall numbers, since the process
    # there is qemu itself, not the ARM numbers it uses; and the flood test
    # bounds each call's wall time, start of an emulated client included.
    skips='DaemonShutdown.SignalDuringStartUpIsNotLost|DaemonStartupFailure.SignalWhileWaitingForGreetingEndsAtOnce'
    skips="$skips|DaemonUnderFlood.EveryCallOfAnotherClientIsAnsweredWithinTwoSeconds"
    echo "SKIPPED under emulation (see run_tests in scripts/cross/steps.sh): $(echo "$skips" | tr '|' ' ')"
    filter=""
    if [ "$RUN_E2E" -eq 0 ]; then
        filter="-LE e2e"
        echo "SKIPPED: end-to-end tests (label e2e) need binfmt_misc for child processes."
    fi
    # Debian's libmosquitto (glibc) needs OpenSSL from the stage, which the
    # programs' run path does not reach: that covers their own libraries only.
    # shellcheck disable=SC2086
    (cd "$OUT/build" && LD_LIBRARY_PATH="$STAGE/lib" heartbeat "testing on $TARGET" ctest --output-on-failure -j "$CTEST_JOBS" \
        --timeout 600 -E "^($skips)\$" $filter $CTEST_ARGS)
}

# glibc's 32-bit ARM default is a 32-bit time_t, musl's is 64-bit (the musl
# build above is the check there): the programs build cleanly with either.
check_time64() {
    case $TARGET in *musl*) echo "time_t is 64-bit on musl: covered by the build above"; return 0 ;; esac
    flags="-Werror -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64"
    CFLAGS="$flags" CXXFLAGS="$flags" cmake -S "$ROOT" -B "$OUT/time64" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
        -DGIMBAL_BUILD_TESTS=OFF >/dev/null
    grep -q '^CMAKE_CXX_FLAGS:STRING=.*_TIME_BITS=64' "$OUT/time64/CMakeCache.txt" ||
        fail "$OUT/time64 was configured without 64-bit time_t; remove it and run again"
    heartbeat "building with 64-bit time_t" cmake --build "$OUT/time64" -j "$JOBS" --target gimbalhub otarelay \
        >"$OUT/time64.log" 2>&1 || { tail -n 40 "$OUT/time64.log"; fail "64-bit time_t build failed"; }
    ! grep -q 'warning:' "$OUT/time64.log" || { grep 'warning:' "$OUT/time64.log"; fail "warnings with 64-bit time_t"; }
    echo "gimbalhub and otarelay: clean with 64-bit time_t and file offsets"
}

check_install() {
    out=$OUT/install-check
    rm -rf "$out"
    cmake --install "$OUT/build" --prefix "$out/prefix" >/dev/null
    for program in gimbalhub gimbalhub-mqtt gimbalhub-onvif otarelay; do
        [ -x "$out/prefix/bin/$program" ] || fail "install: bin/$program missing"
    done
    for tool in ubusd ubus ubus_cli sspsim libsspsim.so; do
        if [ -e "$out/prefix/bin/$tool" ] || [ -e "$out/prefix/lib/$tool" ]; then
            fail "install: PC-only $tool must not be installed by default"
        fi
    done
    etc=$out/prefix/etc/gimbalhub
    jq -e '.MotorControl | (.PanMax, .PanMin, .TiltMax, .TiltMin, .StepsPerRev | type == "number")
           and (.PersistentFile | type == "string")' "$etc/gimbalhub.json" >/dev/null ||
        fail "install: $etc/gimbalhub.json is not a complete configuration"
    jq -e '(.Users | type == "array") and (.Listen | type == "string")' "$etc/gimbalhub-onvif.json" >/dev/null ||
        fail "install: $etc/gimbalhub-onvif.json is not the endpoint's configuration"
    jq -e '(.Host | type == "string") and (.Port | type == "number")' "$etc/mqtt.json" >/dev/null ||
        fail "install: $etc/mqtt.json is not the bridge's configuration"
    # Both hold passwords (the endpoint's users, the broker's).
    for conf in gimbalhub-onvif.json mqtt.json; do
        [ "$(stat -c %a "$etc/$conf")" = 600 ] || fail "install: $etc/$conf (passwords) is readable by others"
    done
    for service in gimbalhub:gimbalhub.json gimbalhub-onvif:gimbalhub-onvif.json gimbalhub-mqtt:mqtt.json; do
        program=${service%%:*}
        init=$out/prefix/etc/init.d/$program
        [ -x "$init" ] || fail "install: etc/init.d/$program missing or not executable"
        sh -n "$init" || fail "install: etc/init.d/$program is not valid shell"
        grep -qF "procd_set_param command $out/prefix/bin/$program -c $etc/${service#*:}" "$init" ||
            fail "install: the start script of $program does not name the installed program and configuration"
    done
    echo "prefix install: bin/{gimbalhub,gimbalhub-mqtt,gimbalhub-onvif,otarelay}" \
        "etc/gimbalhub/{gimbalhub,gimbalhub-onvif,mqtt}.json etc/init.d/{gimbalhub,gimbalhub-mqtt,gimbalhub-onvif}"

    # A device image (prefix /usr) keeps its configuration in /etc.
    DESTDIR=$out/root cmake --install "$OUT/build" --prefix /usr >/dev/null
    for file in usr/bin/gimbalhub usr/bin/gimbalhub-mqtt usr/bin/gimbalhub-onvif usr/bin/otarelay \
        etc/gimbalhub/gimbalhub.json etc/gimbalhub/gimbalhub-onvif.json etc/gimbalhub/mqtt.json; do
        [ -e "$out/root/$file" ] || fail "image install: $file missing"
    done
    files=$ROOT/packaging/openwrt/gimbalhub/files
    for service in gimbalhub gimbalhub-mqtt gimbalhub-onvif; do
        cmp "$files/$service.init" "$out/root/etc/init.d/$service" ||
            fail "image install: etc/init.d/$service differs from the OpenWrt package's"
    done
    cmp "$files/gimbalhub.json" "$out/root/etc/gimbalhub/gimbalhub.json" ||
        fail "image install: etc/gimbalhub/gimbalhub.json differs from the OpenWrt package's"
    echo "image install (DESTDIR, prefix /usr): usr/bin/{gimbalhub,gimbalhub-mqtt,gimbalhub-onvif,otarelay}" \
        "etc/gimbalhub/ etc/init.d/"
}

report_sizes() {
    "$ROOT/scripts/size-report.sh" "$BIN" arm-linux-gnueabihf-strip "$CXX_RUNTIME"
    # The libraries the bus clients load on the device, each a package there,
    # and what those load from the stage in turn (OpenSSL for Debian's
    # libmosquitto). Static ones (musl) are inside the programs' figures.
    for program in gimbalhub-mqtt gimbalhub-onvif; do
        for library in $(program_libraries "$program"); do
            [ -e "$STAGE/lib/$library.so" ] || continue
            report_library "$library.so" "$program"
            for needed in $(readelf -d "$STAGE/lib/$library.so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
                [ ! -e "$STAGE/lib/$needed" ] || report_library "$needed" "$library"
            done
        done
    done
}

report_library() {
    arm-linux-gnueabihf-strip -o "$OUT/$1.stripped" "$(readlink -f "$STAGE/lib/$1")"
    printf '%-16s %10s  shared library of %s, stripped\n' "$1" "$(wc -c <"$OUT/$1.stripped")" "$2"
}
