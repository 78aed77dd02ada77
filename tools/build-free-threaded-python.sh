#!/usr/bin/env bash
# Build a free-threaded (no-GIL, "3.13t") CPython 3.13 from Debian trixie's
# python3.13 source package and install NumPy, pytest and hypothesis into it.
#
# Meant for Debian 12 (bookworm) x86_64, run as root (CI runs as root).
# Only Debian's archive and PyPI are used.
#
#   source + build tree : /opt/ft-build         (override: FT_BUILD_DIR)
#   install prefix      : /opt/cpython-3.13t    (override: FT_PREFIX)
#   parallel jobs       : nproc                 (override: FT_JOBS)
#
# Idempotent: if the interpreter already exists and imports numpy, exits 0.
# FT_SOURCE_ONLY=1 only fetches and unpacks the source (for the cross build
# of tools/target/build.sh, which reuses it), whether or not it is built.
# Upstream ./configure is used (not debian/rules). The tree is unpacked with
# Debian's patch series skipped, then only the upstream backports Debian
# carries (CVE fixes, crash/leak fixes in dict and ssl, OpenSSL 3.4 support,
# GC alignment) are applied. Debian's layout patches (dist-packages,
# deb_system scheme, multiarch, "ensurepip disabled") are left out, so the
# result is a plain upstream install (lib/python3.13t/site-packages) with a
# working ensurepip.
set -euo pipefail

BUILD_DIR="${FT_BUILD_DIR:-/opt/ft-build}"
PREFIX="${FT_PREFIX:-/opt/cpython-3.13t}"
JOBS="${FT_JOBS:-$(nproc)}"
PY="$PREFIX/bin/python3.13t"
# One apt at a time on the machine (the checks take the same lock).
APT=(flock /var/lock/pelvar-apt.lock apt-get -o DPkg::Lock::Timeout=900)
SRC_LIST=/etc/apt/sources.list.d/trixie-src.sources
PY_PKGS=("numpy>=2.1" pytest hypothesis)

log() { printf '[ft-python] %s\n' "$*" >&2; }

# ---- 0. already done? ---------------------------------------------------
# One build at a time: a second caller (check 50 beside the target's build)
# waits for the first and then finds the interpreter there.
mkdir -p "$(dirname "$BUILD_DIR")"
exec 9>"$BUILD_DIR.lock"
flock 9
SOURCE_ONLY="${FT_SOURCE_ONLY:-0}"
if [[ "$SOURCE_ONLY" != 1 ]] && [[ -x "$PY" ]] && "$PY" -c 'import numpy' >/dev/null 2>&1; then
    log "already installed: $PY"
    echo "$PY"
    exit 0
fi

if [[ $EUID -ne 0 ]]; then
    SUDO=(sudo)
else
    SUDO=()
fi

start=$(date +%s)

# ---- 1. deb-src for trixie (own file; debian.sources is left alone) --------
if [[ ! -f "$SRC_LIST" ]]; then
    log "adding $SRC_LIST"
    "${SUDO[@]}" tee "$SRC_LIST" >/dev/null <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: trixie
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
fi

# ---- 2. build dependencies (by name: build-dep of a trixie package does not
#         resolve on bookworm) ---------------------------------------------
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" "${APT[@]}" update
"${SUDO[@]}" "${APT[@]}" install -y --no-install-recommends \
    build-essential dpkg-dev pkg-config xz-utils ca-certificates \
    libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev \
    libsqlite3-dev libreadline-dev uuid-dev \
    libncurses-dev libgdbm-dev libgdbm-compat-dev patch

# ---- 3. fetch + unpack python3.13 source from trixie -----------------------
"${SUDO[@]}" mkdir -p "$BUILD_DIR"
cd "$BUILD_DIR"
if ! compgen -G "python3.13_*.dsc" >/dev/null; then
    log "downloading python3.13 source package"
    # (as root apt warns that it downloads unsandboxed; harmless)
    "${APT[@]}" source --download-only -t trixie python3.13 \
        || "${APT[@]}" source --download-only python3.13
fi
DSC=$(ls -1 python3.13_*.dsc | sort -V | tail -n1)
SRC="$BUILD_DIR/src"
if [[ ! -f "$SRC/.ft-patched" ]]; then
    rm -rf "$SRC" "$BUILD_DIR/build"
    log "unpacking $DSC (Debian patch series skipped)"
    dpkg-source --skip-patches -x "$DSC" "$SRC"
    # Upstream backports only; series order is kept.
    grep -v '^[[:space:]]*#' "$SRC/debian/patches/series" | awk '{print $1}' \
        | grep -E '(\.patch$|^gchead-alignment\.diff$|^issue127330\.diff$|^revert-logger-disable\.diff$)' \
        | while read -r p; do
              log "applying debian/patches/$p"
              patch -d "$SRC" -p1 -N -s --no-backup-if-mismatch < "$SRC/debian/patches/$p" || exit 1
          done
    touch "$SRC/.ft-patched"
fi

# Of CPython's test modules the suite needs only _testcapi (set_nomemory);
# the others are not built and Lib/test is not installed (make install
# TEST_MODULES=no), which saves minutes of compiling. The cross build of
# tools/target/build.sh reads the same answers.
cat >"$BUILD_DIR/test-modules.site" <<'EOF_SITE'
py_cv_module__testclinic=n/a
py_cv_module__testclinic_limited=n/a
py_cv_module__testlimitedcapi=n/a
py_cv_module__testinternalcapi=n/a
py_cv_module__testbuffer=n/a
py_cv_module__testimportmultiple=n/a
py_cv_module__testmultiphase=n/a
py_cv_module__testsinglephase=n/a
py_cv_module__testexternalinspection=n/a
py_cv_module_xxsubtype=n/a
py_cv_module__xxtestfuzz=n/a
py_cv_module__ctypes_test=n/a
py_cv_module_xxlimited=n/a
py_cv_module_xxlimited_35=n/a
EOF_SITE

if [[ "$SOURCE_ONLY" == 1 ]]; then
    log "source ready: $SRC"
    exit 0
fi

# ---- 4. configure / make / make install (out-of-tree build) ----------------
OBJ="$BUILD_DIR/build"
mkdir -p "$OBJ"
cd "$OBJ"
if [[ ! -f Makefile ]]; then
    log "configuring"
    CONFIG_SITE="$BUILD_DIR/test-modules.site" "$SRC/configure" \
        --prefix="$PREFIX" \
        --disable-gil \
        --with-ensurepip=install
fi
log "make -j$JOBS"
make -j"$JOBS"
log "make install"
"${SUDO[@]}" make install TEST_MODULES=no

[[ -x "$PY" ]] || { log "missing $PY after install"; exit 1; }

# ---- 5. Python packages from PyPI (cp313t wheels) --------------------------
if ! "$PY" -m pip --version >/dev/null 2>&1; then
    "$PY" -m ensurepip --upgrade
fi
PIP=("$PY" -m pip --disable-pip-version-check)
"${PIP[@]}" install --root-user-action=ignore --upgrade pip
# Wheels only: recent hypothesis releases ship as an sdist with a Rust part
# whose build fetches crates (unreachable here); --only-binary picks the
# newest release that has a wheel.
"${PIP[@]}" install --root-user-action=ignore --only-binary=:all: "${PY_PKGS[@]}"

# ---- 6. check ------------------------------------------------------------
"$PY" - <<'EOF'
import sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1, "not a free-threaded build"
import numpy
print(sys.version, "Py_GIL_DISABLED=1", "gil_enabled=%s" % sys._is_gil_enabled(),
      "numpy", numpy.__version__, file=sys.stderr)
assert not sys._is_gil_enabled(), "GIL was re-enabled at runtime (an extension without Py_mod_gil?)"
EOF

log "done in $(( $(date +%s) - start )) s"
echo "$PY"
