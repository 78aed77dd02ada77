#!/usr/bin/env bash
# Debian packages that the checks build with.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
apt_install build-essential cmake ninja-build libgtest-dev googletest clang libclang-rt-14-dev
