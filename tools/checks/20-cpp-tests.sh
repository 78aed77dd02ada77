#!/usr/bin/env bash
# The readers and the buffered file reader, driven over scripted in-memory files.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
build="$builds/cpp-tests"
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DPELVAR_BUILD_MODULE=OFF -DPELVAR_BUILD_TESTS=ON -DPELVAR_WERROR=ON -DPELVAR_SANITIZE=address,undefined >/dev/null
cmake --build "$build"
# A build that registers no test fails instead of passing empty.
ctest --test-dir "$build" --output-on-failure --no-tests=error
