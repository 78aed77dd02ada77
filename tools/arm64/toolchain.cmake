# Cross-compiling for 64-bit Arm Linux (glibc) with Debian's
# crossbuild-essential-arm64, running the built programs under qemu-user.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=tools/arm64/toolchain.cmake ...
#
# Extra search roots (for instance a GoogleTest built for arm64) go in
# PELVAR_ARM64_PREFIXES, a ;-list, before the first project() call.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(PELVAR_ARM64_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${PELVAR_ARM64_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${PELVAR_ARM64_TRIPLE}-g++)

# Libraries and headers come from the arm64 tree and the extra prefixes only;
# programs (cmake helpers, python for the build) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${PELVAR_ARM64_TRIPLE} ${PELVAR_ARM64_PREFIXES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Try-compiles pass the settings above on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PELVAR_ARM64_PREFIXES)

# ctest and gtest_discover_tests run the test programs through qemu; -L lets
# it find the arm64 dynamic loader and libraries.
find_program(PELVAR_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PELVAR_QEMU_AARCH64} -L /usr/${PELVAR_ARM64_TRIPLE})
