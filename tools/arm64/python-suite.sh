#!/usr/bin/env bash
# The Python suite on 64-bit Arm: a Debian bookworm arm64 tree made by
# mmdebstrap, holding Debian's CPython 3.11, NumPy, pytest and hypothesis and
# a compiler; the module is built and installed inside the tree, natively
# under qemu-user emulation (binfmt_misc), and the tests run there.
#
#   bash tools/arm64/python-suite.sh [PYTEST ARGUMENTS...]
#   PELVAR_ARM64_PYTHON=1 bash tools/checks/55-arm64.sh   (the same, after the C++ part)
#
# The tree is kept under $PELVAR_WORK/arm64/bookworm (default
# ~/.cache/pelvar) and reused; PELVAR_ARM64_FRESH=1 makes it anew.
# Needs root (chroot, mounts, binfmt_misc).
source "$(dirname "${BASH_SOURCE[0]}")/../checks/common.sh"
apt_install qemu-user-static mmdebstrap arch-test

arm="$work/arm64"
tree="$arm/bookworm"
packages=python3-dev,python3-venv,python3-pip,python3-numpy,python3-pytest,python3-hypothesis,g++,cmake,ninja-build
mirror=http://deb.debian.org/debian
started=$SECONDS
step() {
    echo "--- $* (after $((SECONDS - started)) s)"
}

# 1. Run arm64 programs through qemu, also inside the chroot ("F": the
# kernel keeps the emulator open, so the tree needs no copy of it).
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt"
fi
if [ ! -e "$binfmt/qemu-aarch64" ]; then
    step "registering qemu-aarch64 with binfmt_misc"
    cat /usr/lib/binfmt.d/qemu-aarch64.conf >"$binfmt/register"
fi
grep -q '^flags: .*F' "$binfmt/qemu-aarch64" || { echo "qemu-aarch64 is registered without the F flag" >&2; exit 1; }

# 2. The tree, made once.
stamp="bookworm arm64 $packages"
if [ "${PELVAR_ARM64_FRESH:-0}" = 1 ] || [ "$(cat "$tree.stamp" 2>/dev/null)" != "$stamp" ]; then
    step "mmdebstrap --arch=arm64 bookworm"
    rm -rf "$tree" "$tree.new" "$tree.stamp"
    mmdebstrap --arch=arm64 --variant=apt --include="$packages" bookworm "$tree.new" "$mirror" \
        >"$arm/mmdebstrap.log" 2>&1 || { tail -30 "$arm/mmdebstrap.log" >&2; exit 1; }
    mv "$tree.new" "$tree"
    echo "$stamp" >"$tree.stamp"
fi

# 3. The work tree, and the build backend's wheels (pure Python, fetched on
# the host so that the build in the tree needs no network).
step "copying the sources into the tree"
rm -rf "$tree/root/pelvar" "$tree/root/wheels"
mkdir -p "$tree/root/pelvar" "$tree/root/wheels"
tar -C "$repo" --exclude=./build --exclude=./.git --exclude='./.venv*' --exclude='*/__pycache__' -cf - . \
    | tar -C "$tree/root/pelvar" -xf -
host_python="$(python_for 3.11)"
build_requires=$("$host_python" -c 'import tomllib,sys; print("\n".join(tomllib.load(open(sys.argv[1], "rb"))["build-system"]["requires"]))' \
    "$repo/pyproject.toml")
# shellcheck disable=SC2086
"$host_python" -m pip download -q --only-binary=:all: --python-version 3.11 --implementation py --abi none \
    --platform any -d "$tree/root/wheels" $build_requires

# 4. Inside the tree: a venv over Debian's packages, the module built with
# warnings as errors, then pytest.
cat >"$tree/root/run-suite.sh" <<'EOF'
set -euo pipefail
cd /root/pelvar
python3 -c 'import platform, sys, numpy; print("inside:", platform.machine(), sys.version.split()[0], "numpy", numpy.__version__)'
[ -x /root/venv/bin/python ] || python3 -m venv --system-site-packages /root/venv
start=$SECONDS
PELVAR_WERROR=ON /root/venv/bin/python -m pip install -q --no-index --find-links /root/wheels \
    --no-deps --force-reinstall --config-settings=build-dir=/root/build /root/pelvar
echo "module built and installed in $((SECONDS - start)) s"
rc=0
/root/venv/bin/python -m pytest -p no:cacheprovider "$@" || rc=$?
if [ "$rc" -eq 5 ]; then
    echo "pytest collected no tests" >&2
    exit 1
fi
exit "$rc"
EOF

step "building the module and running pytest under qemu-aarch64"
# A private mount namespace: /proc and /dev go away with it.
unshare --mount --propagation private -- bash -c '
    set -e
    tree="$1"
    shift
    mount -t proc proc "$tree/proc"
    mount --rbind /dev "$tree/dev"
    mount -t tmpfs tmpfs "$tree/tmp"
    exec chroot "$tree" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
        PIP_DISABLE_PIP_VERSION_CHECK=1 /bin/bash /root/run-suite.sh "$@"
' pelvar-arm64 "$tree" "${@:--q}"
step "done"
