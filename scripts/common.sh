# Shared settings for the scripts in this folder (sourced, not run).
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
# What building and testing on a PC needs.
BASE_PACKAGES="cmake make g++ pkg-config nlohmann-json3-dev libgtest-dev libgmock-dev util-linux procps"

configure_and_build() {
    cmake -S "$ROOT" -B "$BUILD_DIR" "$@"
    cmake --build "$BUILD_DIR" -j "$JOBS"
}
