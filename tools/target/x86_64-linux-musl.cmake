# The target's platform built for x86-64 (Linux with musl, through Zig's
# clang as tools/target/aarch64-linux-musl.cmake does for 64-bit Arm), to
# run natively here: musl's allocator measured without emulation.
#
#   PELVAR_TARGET_BIN=<folder of the cc, c++, ar and ranlib wrappers> \
#       cmake -DCMAKE_TOOLCHAIN_FILE=tools/target/x86_64-linux-musl.cmake ...
#
# PELVAR_TARGET_ARCH=x86_64 tools/target/build.sh makes the wrappers (each
# runs `zig c++ -target x86_64-linux-musl ...`) and passes their folder.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

if(NOT PELVAR_TARGET_BIN)
  set(PELVAR_TARGET_BIN "$ENV{PELVAR_TARGET_BIN}")
endif()
if(NOT PELVAR_TARGET_BIN OR NOT EXISTS "${PELVAR_TARGET_BIN}/c++")
  message(FATAL_ERROR "PELVAR_TARGET_BIN must name the folder of the x86_64-linux-musl compiler wrappers"
                      " (PELVAR_TARGET_ARCH=x86_64 tools/target/build.sh makes them)")
endif()
# Try-compiles read this file again and get the setting passed on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PELVAR_TARGET_BIN)

set(CMAKE_C_COMPILER "${PELVAR_TARGET_BIN}/cc")
set(CMAKE_CXX_COMPILER "${PELVAR_TARGET_BIN}/c++")
set(CMAKE_AR "${PELVAR_TARGET_BIN}/ar" CACHE FILEPATH "archiver")
set(CMAKE_RANLIB "${PELVAR_TARGET_BIN}/ranlib" CACHE FILEPATH "ranlib")

# Headers and libraries come from the toolchain and the given paths only;
# programs (the build's Python among them) from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The target's programs run here as they are (their loader is musl's, named
# by full path). FindPython wants an emulator to ask the target's
# interpreter in cross-compiling mode (policy CMP0190); env runs it directly.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env)
