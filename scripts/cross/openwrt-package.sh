#!/bin/sh
# Checks packaging/openwrt/gimbalhub/Makefile without an OpenWrt tree: it is
# evaluated against the stand-ins in scripts/cross/openwrt/, which record what
# it declares; a device build with its CMake options (the bundled bus
# libraries staged as the image's) must compile only what goes on the device;
# and its install steps, run on that build's `cmake --install` tree and the
# copied source, must find every file they name and leave out nothing of the
# install tree but documentation.
#   scripts/cross/openwrt-package.sh <target> <target build dir>
set -eu
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
TARGET=${1:?usage: openwrt-package.sh <target> <target build dir>}
OUT=${2:?usage: openwrt-package.sh <target> <target build dir>}
PACKAGE_DIR=$ROOT/packaging/openwrt/gimbalhub
CHECK=$OUT/openwrt
JOBS=${JOBS:-2}

fail() { echo "openwrt-package.sh: $*" >&2; exit 1; }
standin() { make -s -C "$PACKAGE_DIR" TOPDIR="$ROOT/scripts/cross/openwrt" STANDIN_OUT="$CHECK" "$@"; }
declared() { sed -n "s/^$1=//p" "$CHECK/declared"; }

rm -rf "$CHECK" && mkdir -p "$CHECK"
standin declared >"$CHECK/declared" || fail "the Makefile does not evaluate against the stand-ins"

# --- What it declares -----------------------------------------------------
packages=$(declared PACKAGES)
for package in gimbalhub gimbalhub-mqtt gimbalhub-onvif otarelay; do
    case " $packages " in
        *" $package "*) ;;
        *) fail "packages: '$packages', expected gimbalhub, gimbalhub-mqtt, gimbalhub-onvif and otarelay" ;;
    esac
done
for field in PKG_VERSION PKG_RELEASE PKG_LICENSE PKG_MAINTAINER; do
    [ -n "$(declared $field)" ] || fail "$field is empty"
done
for file in $(declared PKG_LICENSE_FILES); do
    [ -f "$ROOT/$file" ] || fail "PKG_LICENSE_FILES names $file, which the repository lacks"
done
[ -n "$(declared PKG_LICENSE_FILES)" ] || fail "PKG_LICENSE_FILES is empty"
[ "$(declared PKG_MIRROR_HASH)" != skip ] || fail "PKG_MIRROR_HASH:=skip"
version=$(declared PKG_SOURCE_VERSION)
if [ -n "$version" ]; then
    echo "$version" | grep -qE '^[0-9a-f]{40}$' || fail "PKG_SOURCE_VERSION is not a full commit hash: $version"
    git -C "$ROOT" cat-file -e "$version^{commit}" 2>/dev/null || fail "PKG_SOURCE_VERSION $version is no commit here"
    [ -n "$(declared PKG_SOURCE_DATE)" ] || fail "PKG_SOURCE_VERSION without PKG_SOURCE_DATE"
elif [ -n "$(declared PKG_SOURCE_URL)" ]; then
    fail "PKG_SOURCE_URL without PKG_SOURCE_VERSION"
else
    [ "$(declared GIMBALHUB_SOURCE_DIR)" = "$ROOT" ] ||
        fail "the package builds $(declared GIMBALHUB_SOURCE_DIR), not the checkout it sits in ($ROOT)"
fi
case " $(declared PKG_BUILD_DEPENDS) " in *" nlohmannjson "*) ;; *) fail "PKG_BUILD_DEPENDS lacks nlohmannjson" ;; esac
[ "$(declared PKG_INSTALL)" = 1 ] || fail "PKG_INSTALL is not 1: the install steps read PKG_INSTALL_DIR"
depends=" $(declared gimbalhub.DEPENDS) "
for dependency in +libubox +libubus +libstdcpp; do
    case $depends in *" $dependency "*) ;; *) fail "gimbalhub does not depend on $dependency" ;; esac
done
case $depends in *libpthread*) fail "+libpthread is part of the C library on musl" ;; esac
# The bus clients: the bus libraries, the C++ runtime and their own libraries.
for entry in "gimbalhub-onvif:+libmicrohttpd-no-ssl +pugixml +libmbedtls" "gimbalhub-mqtt:+libmosquitto"; do
    package=${entry%%:*}
    client_depends=" $(declared "$package.DEPENDS") "
    for dependency in +libubox +libubus +libstdcpp ${entry#*:}; do
        case $client_depends in *" $dependency "*) ;; *) fail "$package does not depend on $dependency" ;; esac
    done
done
[ -z "$(declared otarelay.DEPENDS)" ] || fail "otarelay needs only the C library: DEPENDS=$(declared otarelay.DEPENDS)"
echo "declared: $packages, license $(declared PKG_LICENSE), gimbalhub DEPENDS:$depends"

# --- The CMake options it passes ------------------------------------------
options=$(declared CMAKE_OPTIONS)
for option in $options; do
    name=${option#-D}
    name=${name%%=*}
    grep -q "^$name:" "$OUT/build/CMakeCache.txt" || fail "the package passes -D$name, which the project does not define"
done

# --- A device build with those options ------------------------------------
# The bundled libubox/libubus stand in for the image's libraries, staged
# outside the source tree (the project never takes its own copies for those);
# the ARM libraries staged for the cross build stand in for the image's
# libmicrohttpd, pugixml, mbedtls and libmosquitto.
image_root=$(mktemp -d)
trap 'rm -rf "$image_root"' EXIT
image=$image_root/usr
mkdir -p "$image/lib" "$image/include"
cp "$OUT/build/ubus/libubox.a" "$OUT/build/ubus/libubus.a" "$image/lib/"
cp -r "$ROOT/ubus/include/." "$image/include/"
device=$CHECK/device-build
# shellcheck disable=SC2086
CFLAGS="-Werror" CXXFLAGS="-Werror" cmake -S "$ROOT" -B "$device" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-$TARGET.cmake" \
    -DGIMBAL_CROSS_EXTRA_ROOTS="$image_root;$OUT/stage" $options >"$CHECK/configure.log" ||
    { cat "$CHECK/configure.log"; fail "device configure failed"; }
grep -q 'using the real libubox/libubus' "$CHECK/configure.log" || fail "device build did not take the image's libraries"
cmake --build "$device" -j "$JOBS" >"$CHECK/build.log" 2>&1 || { tail -n 40 "$CHECK/build.log"; fail "device build failed"; }
built=$(cd "$device/bin" && ls | tr '\n' ' ')
[ "$built" = "gimbalhub gimbalhub-mqtt gimbalhub-onvif otarelay " ] ||
    fail "the device build made '$built'; only gimbalhub, gimbalhub-mqtt, gimbalhub-onvif and otarelay go on the device"
if [ -d "$device/lib" ] && [ -n "$(ls "$device/lib")" ]; then fail "the device build made libraries: $(ls "$device/lib")"; fi
echo "device build ($options): builds $built"

# --- Its source: the checkout, without build folders or git data -----------
standin prepare PKG_BUILD_DIR="$CHECK/source" >/dev/null
[ -f "$CHECK/source/CMakeLists.txt" ] || fail "Build/Prepare did not copy the checkout"
if [ -n "$(cd "$CHECK/source" && ls -d build* .git 2>/dev/null)" ]; then
    fail "Build/Prepare copied build folders or git data"
fi
echo "Build/Prepare: copies the checkout ($(cd "$CHECK/source" && find . -type f | wc -l) files)"

# --- Its install steps on the device build's install tree -----------------
DESTDIR=$CHECK/ipkg-install cmake --install "$device" --prefix /usr >/dev/null
# shellcheck disable=SC2046
standin $(for package in $packages; do echo "install-$package"; done) \
    PKG_INSTALL_DIR="$CHECK/ipkg-install" PKG_BUILD_DIR="$CHECK/source" >/dev/null ||
    fail "an install step names a file that neither cmake --install nor the source tree has"
(cd "$CHECK/ipkg-install" && find . -type f | sort) >"$CHECK/cmake.files"
for package in $packages; do
    (cd "$CHECK/root-$package" && find . -type f | sort)
done | sort >"$CHECK/packaged.files"
[ -z "$(sort "$CHECK/packaged.files" | uniq -d)" ] || fail "files in both packages: $(uniq -d "$CHECK/packaged.files")"
# Only documentation may stay out of the packages.
left_out=$(comm -23 "$CHECK/cmake.files" "$CHECK/packaged.files" | grep -v '\.md$' || true)
[ -z "$left_out" ] || fail "installed by cmake but in no package: $left_out"
for package in gimbalhub gimbalhub-mqtt gimbalhub-onvif; do
    [ -n "$(declared "$package.conffiles")" ] || fail "$package declares no conffiles"
    for conffile in $(declared "$package.conffiles"); do
        [ -f "$CHECK/root-$package$conffile" ] || fail "conffile $conffile is not installed by $package"
    done
    [ -x "$CHECK/root-$package/etc/init.d/$package" ] || fail "the init script of $package is not installed executable"
done
echo "install steps ($packages): $(tr '\n' ' ' <"$CHECK/packaged.files")"

