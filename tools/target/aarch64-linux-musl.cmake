# Cross-compiling for 64-bit Arm Linux with musl through Zig's clang, which
# brings musl and libc++ for the target and links libc++ statically, so the
# module needs nothing but musl's libc at run time.
#
#   PELVAR_TARGET_BIN=<folder of the cc, c++, ar and ranlib wrappers> \
#       cmake -DCMAKE_TOOLCHAIN_FILE=tools/target/aarch64-linux-musl.cmake ...
#
# tools/target/build.sh makes the wrappers (each runs `zig c++ -target
# aarch64-linux-musl ...`) and passes their folder.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include("${CMAKE_CURRENT_LIST_DIR}/zig-musl.cmake")

find_program(PELVAR_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(PELVAR_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PELVAR_QEMU_AARCH64})
endif()
