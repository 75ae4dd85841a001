# Cross-build for 32-bit ARM (hard-float) against musl, the device's C
# library, with clang and libc++ from the Zig toolchain; programs and tests
# run on the PC through qemu-arm.
#
#   scripts/cross/musl-toolchain.sh        # fetches it once (npm and Debian)
#   cmake -S . -B build-musl -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm-linux-musleabihf.cmake
#
# GIMBAL_MUSL_TOOLCHAIN: where the toolchain was fetched (default
# build-cross/toolchains/arm-linux-musleabihf). GIMBAL_CROSS_EXTRA_ROOTS:
# further directories treated like the target's root (for example a prefix
# holding GoogleTest built for this target).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(GIMBAL_CROSS_TRIPLET arm-linux-musleabihf)

if(NOT GIMBAL_MUSL_TOOLCHAIN)
  if(DEFINED ENV{GIMBAL_MUSL_TOOLCHAIN})
    set(GIMBAL_MUSL_TOOLCHAIN "$ENV{GIMBAL_MUSL_TOOLCHAIN}")
  else()
    get_filename_component(GIMBAL_MUSL_TOOLCHAIN
      "${CMAKE_CURRENT_LIST_DIR}/../build-cross/toolchains/${GIMBAL_CROSS_TRIPLET}" ABSOLUTE)
  endif()
endif()
if(NOT EXISTS "${GIMBAL_MUSL_TOOLCHAIN}/bin/c++" OR NOT EXISTS "${GIMBAL_MUSL_TOOLCHAIN}/libc/libc.so")
  message(FATAL_ERROR "No musl toolchain in '${GIMBAL_MUSL_TOOLCHAIN}'. Fetch it with "
    "scripts/cross/musl-toolchain.sh [dir] and pass -DGIMBAL_MUSL_TOOLCHAIN=<dir> if it is elsewhere.")
endif()
# Also read by try_compile, which re-runs this file in a scratch project.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES GIMBAL_MUSL_TOOLCHAIN GIMBAL_CROSS_EXTRA_ROOTS)

set(CMAKE_C_COMPILER "${GIMBAL_MUSL_TOOLCHAIN}/bin/cc")
set(CMAKE_CXX_COMPILER "${GIMBAL_MUSL_TOOLCHAIN}/bin/c++")
set(CMAKE_AR "${GIMBAL_MUSL_TOOLCHAIN}/bin/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${GIMBAL_MUSL_TOOLCHAIN}/bin/ranlib" CACHE FILEPATH "")
# The wrappers link every program and library against the shared C library,
# as on the device (and the simulator is preloaded into the programs); the
# C++ runtime (libc++) is linked statically.

set(GIMBAL_CROSS_ROOT "${GIMBAL_MUSL_TOOLCHAIN}/root")
set(CMAKE_FIND_ROOT_PATH ${GIMBAL_CROSS_ROOT} ${GIMBAL_CROSS_EXTRA_ROOTS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;${GIMBAL_CROSS_ROOT})

set(ENV{PKG_CONFIG_LIBDIR} "${GIMBAL_CROSS_ROOT}/usr/lib/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
