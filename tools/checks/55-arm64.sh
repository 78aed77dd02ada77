#!/usr/bin/env bash
# 64-bit Arm Linux:
#   1. GoogleTest and the C++ reader tests (tests/cpp) cross-built with
#      Debian's aarch64 toolchain and run under qemu-user (cross-cpp.sh);
#   2. the error texts of error_text.cpp with each strerror_r variant: glibc's
#      GNU one (x86_64 and arm64), the XSI one (glibc without _GNU_SOURCE) and
#      musl's (a static musl program; tools/target/strerror_check.cpp and
#      tools/target/musl_shims.cpp).
# The Python suite on 64-bit Arm runs on the target (60-target.sh).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
apt_install crossbuild-essential-arm64 qemu-user-static googletest musl-tools cmake ninja-build binutils

arm="$work/arm64"
mkdir -p "$arm"
sysroot=/usr/aarch64-linux-gnu
qemu=(qemu-aarch64-static -L "$sysroot")
warnings=(-Wall -Wextra -Wpedantic -Werror)

step_start=$SECONDS
step() {
    echo "--- $* (after $((SECONDS - step_start)) s)"
}
source "$repo/tools/checks/cross-cpp.sh"

# 1. GoogleTest and tests/cpp for aarch64, run under qemu.
cross_cpp_tests aarch64-linux-gnu

# 2. error_text.cpp with each strerror_r.
step "strerror_r variants"
checks="$arm/strerror"
mkdir -p "$checks"
check_source="$repo/tools/target/strerror_check.cpp"
sources=("$check_source" "$repo/src/error_text.cpp")
common_flags=(-std=c++20 "${warnings[@]}" -I"$repo/src")

g++ "${common_flags[@]}" -DPELVAR_EXPECT_STRERROR_R=2 "${sources[@]}" -o "$checks/gnu-x86_64"
printf "x86_64, glibc, g++ default: "
"$checks/gnu-x86_64"

# Without _GNU_SOURCE (which g++ defines for libstdc++) glibc declares the
# XSI strerror_r.
g++ "${common_flags[@]}" -U_GNU_SOURCE -D_POSIX_C_SOURCE=200809L -DPELVAR_EXPECT_STRERROR_R=1 \
    "${sources[@]}" -o "$checks/xsi-glibc"
nm "$checks/xsi-glibc" | grep '__xpg_strerror_r' >/dev/null || { echo "xsi-glibc does not call __xpg_strerror_r" >&2; exit 1; }
printf "x86_64, glibc without _GNU_SOURCE: "
"$checks/xsi-glibc"

aarch64-linux-gnu-g++ "${common_flags[@]}" -DPELVAR_EXPECT_STRERROR_R=2 "${sources[@]}" -o "$checks/gnu-aarch64"
printf "aarch64, glibc, under qemu: "
"${qemu[@]}" "$checks/gnu-aarch64"

# musl: Debian's musl-tools has a C compiler wrapper only. The C++ headers of
# g++ go in front of musl's C headers (two glibc names that libstdc++'s
# configuration uses are mapped), and the program is linked statically
# against musl's libc.a, with musl_shims.cpp for three glibc symbols of
# Debian's libstdc++.a.
musl_include=/usr/include/x86_64-linux-musl
musl_lib=/usr/lib/x86_64-linux-musl
gcc_version=$(g++ -dumpversion)
musl_flags=(-nostdinc
    -isystem "/usr/include/c++/$gcc_version"
    -isystem "/usr/include/x86_64-linux-gnu/c++/$gcc_version"
    -isystem "$(g++ -print-file-name=include)"
    -isystem "$musl_include"
    '-D__GLIBC_PREREQ(major,minor)=0' -D__locale_t=locale_t)
objects=()
for source in "${sources[@]}" "$repo/tools/target/musl_shims.cpp"; do
    object="$checks/musl-$(basename "$source" .cpp).o"
    g++ "${common_flags[@]}" "${musl_flags[@]}" -DPELVAR_EXPECT_STRERROR_R=1 -c "$source" -o "$object"
    objects+=("$object")
done
g++ -static -nostdlib -o "$checks/xsi-musl" \
    "$musl_lib/crt1.o" "$musl_lib/crti.o" "$(g++ -print-file-name=crtbeginT.o)" "${objects[@]}" \
    -Wl,--start-group "$(g++ -print-file-name=libstdc++.a)" "$(g++ -print-file-name=libgcc.a)" \
    "$(g++ -print-file-name=libgcc_eh.a)" "$musl_lib/libc.a" -Wl,--end-group \
    "$(g++ -print-file-name=crtend.o)" "$musl_lib/crtn.o"
# musl's own wording ("I/O error" where glibc says "Input/output error")
# shows that its strerror_r gave the text.
printf "x86_64, musl, static: "
"$checks/xsi-musl" | tee "$checks/xsi-musl.out"
grep -q '"I/O error"' "$checks/xsi-musl.out" || { echo "the musl program did not use musl's texts" >&2; exit 1; }

step "done"
