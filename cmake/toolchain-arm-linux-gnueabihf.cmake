# Cross-build for 32-bit ARM (hard-float) with Debian's arm-linux-gnueabihf
# toolchain; programs and tests run on the PC through qemu-arm.
#
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm-linux-gnueabihf.cmake
#
# GIMBAL_CROSS_EXTRA_ROOTS: further directories treated like the target's
# root (for example a prefix holding GoogleTest built for ARM).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(GIMBAL_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${GIMBAL_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${GIMBAL_CROSS_TRIPLET}-g++)
set(GIMBAL_CROSS_ROOT /usr/${GIMBAL_CROSS_TRIPLET})
# GCC notes that std::map iterators are passed differently than before GCC 7.1;
# everything here is built by one compiler, so that change cannot bite.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# Also read by try_compile, which re-runs this file in a scratch project.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES GIMBAL_CROSS_EXTRA_ROOTS)
set(CMAKE_FIND_ROOT_PATH ${GIMBAL_CROSS_ROOT} ${GIMBAL_CROSS_EXTRA_ROOTS})

# Programs (code generators, scripts) come from the PC; libraries, headers
# and CMake packages only from the target roots, so that the PC's x86
# GoogleTest and friends can never be linked in by accident.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest and gtest_discover_tests run the ARM test binaries through this.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;${GIMBAL_CROSS_ROOT})

# pkg-config must not hand out the PC's flags either.
set(ENV{PKG_CONFIG_LIBDIR} "${GIMBAL_CROSS_ROOT}/lib/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
