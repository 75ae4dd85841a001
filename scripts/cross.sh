#!/bin/sh
# Builds everything for the device's 32-bit ARM (hard-float) and checks it,
# with glibc (Debian's cross compiler) and with musl (the device's C library):
# zero warnings, unit and end-to-end tests under qemu-arm, 64-bit time_t,
# the install layout and the stripped sizes; then the OpenWrt package.
#
#   scripts/cross.sh [TARGET...]   default: arm-linux-gnueabihf arm-linux-musleabihf
#
# Knobs (environment): CROSS_BUILD_DIR (default build-cross; the musl
# toolchain is kept in it), JOBS, CTEST_JOBS (parallel tests under
# emulation, default 2), CTEST_ARGS (extra ctest arguments, e.g. "-R Relay").
set -eu
. "$(dirname "$0")/common.sh"
. "$ROOT/scripts/cross/steps.sh"

CROSS_BUILD_DIR=${CROSS_BUILD_DIR:-$ROOT/build-cross}
CTEST_JOBS=${CTEST_JOBS:-2}
CTEST_ARGS=${CTEST_ARGS:-}
TARGETS=${*:-arm-linux-gnueabihf arm-linux-musleabihf}
CROSS_PACKAGES="g++-arm-linux-gnueabihf qemu-user qemu-user-static binfmt-support googletest jq file patchelf"
# Any npm will do for fetching the musl toolchain; Debian's only if there is none.
command -v npm >/dev/null 2>&1 || CROSS_PACKAGES="$CROSS_PACKAGES npm"

step "Packages"
# shellcheck disable=SC2086
"$ROOT/scripts/deps.sh" $BASE_PACKAGES $CROSS_PACKAGES
step "ARM executables through binfmt_misc"
setup_binfmt

for target in $TARGETS; do
    select_target "$target"
    for name in fetch_toolchain probe_target build_googletest stage_libraries build_project check_binaries \
        run_tests check_time64 check_install report_sizes; do
        step "$TARGET: $name"
        $name
    done
done

step "OpenWrt package (stand-in evaluation, device build on $TARGET)"
"$ROOT/scripts/cross/openwrt-package.sh" "$TARGET" "$OUT"

echo
echo "cross.sh: $TARGETS: build, tests under emulation, time64, install, sizes and package checks passed"
