# The target's platform built for x86-64 (Linux with musl, through Zig's
# clang as aarch64-linux-musl.cmake does for 64-bit Arm), to run natively
# here: musl's allocator measured without emulation.
#
#   PELVAR_TARGET_BIN=<folder of the cc, c++, ar and ranlib wrappers> \
#       cmake -DCMAKE_TOOLCHAIN_FILE=tools/target/x86_64-linux-musl.cmake ...
#
# PELVAR_TARGET_ARCH=x86_64 tools/target/build.sh makes the wrappers (each
# runs `zig c++ -target x86_64-linux-musl ...`) and passes their folder.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include("${CMAKE_CURRENT_LIST_DIR}/zig-musl.cmake")

# The target's programs run here as they are (their loader is musl's, named
# by full path). FindPython wants an emulator to ask the target's
# interpreter in cross-compiling mode (policy CMP0190); env runs it directly.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env)
