# Cross-compiling for another Linux machine (glibc) with one of Debian's
# cross toolchains (crossbuild-essential-arm64, -s390x, ...), running the
# built programs under qemu-user.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=tools/cross/debian-gnu.cmake \
#         -DPELVAR_CROSS_TRIPLE=s390x-linux-gnu ...
#
# PELVAR_CROSS_TRIPLE defaults to aarch64-linux-gnu. Extra search roots (for
# instance a GoogleTest built for the target) go in PELVAR_CROSS_PREFIXES, a
# ;-list, before the first project() call.
if(NOT PELVAR_CROSS_TRIPLE)
  set(PELVAR_CROSS_TRIPLE aarch64-linux-gnu)
endif()
string(REGEX MATCH "^[^-]+" PELVAR_CROSS_MACHINE "${PELVAR_CROSS_TRIPLE}")

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${PELVAR_CROSS_MACHINE})
set(CMAKE_C_COMPILER ${PELVAR_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${PELVAR_CROSS_TRIPLE}-g++)

# Libraries and headers come from the target's tree and the extra prefixes
# only; programs (cmake helpers, python for the build) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${PELVAR_CROSS_TRIPLE} ${PELVAR_CROSS_PREFIXES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Try-compiles pass the settings above on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PELVAR_CROSS_TRIPLE PELVAR_CROSS_PREFIXES)

# ctest and gtest_discover_tests run the test programs through qemu; -L lets
# it find the target's dynamic loader and libraries.
find_program(PELVAR_QEMU NAMES qemu-${PELVAR_CROSS_MACHINE}-static qemu-${PELVAR_CROSS_MACHINE} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PELVAR_QEMU} -L /usr/${PELVAR_CROSS_TRIPLE})
