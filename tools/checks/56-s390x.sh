#!/usr/bin/env bash
# A big-endian machine: GoogleTest and the C++ reader tests (tests/cpp)
# cross-built for s390x with Debian's toolchain and run under qemu-user, so
# that the files' little-endian fields are decoded on a host whose own byte
# order is the other one.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
apt_install crossbuild-essential-s390x qemu-user-static googletest cmake ninja-build binutils

step_start=$SECONDS
step() {
    echo "--- $* (after $((SECONDS - step_start)) s)"
}
source "$repo/tools/checks/cross-cpp.sh"
cross_cpp_tests s390x-linux-gnu
step "done"
