# What the two toolchain files of the target's platform share: Zig's clang
# for <arch>-linux-musl, through the cc, c++, ar and ranlib wrappers that
# tools/target/build.sh makes in the folder PELVAR_TARGET_BIN. Included by
# aarch64-linux-musl.cmake and x86_64-linux-musl.cmake after they set
# CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Linux)

if(NOT PELVAR_TARGET_BIN)
  set(PELVAR_TARGET_BIN "$ENV{PELVAR_TARGET_BIN}")
endif()
if(NOT PELVAR_TARGET_BIN OR NOT EXISTS "${PELVAR_TARGET_BIN}/c++")
  message(FATAL_ERROR "PELVAR_TARGET_BIN must name the folder of the ${CMAKE_SYSTEM_PROCESSOR}-linux-musl"
                      " compiler wrappers (tools/target/build.sh makes them)")
endif()
# Try-compiles read the toolchain file again and get the setting passed on.
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
