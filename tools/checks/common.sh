# Shared by the checks: paths, interpreters, virtual environments.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
work="${PELVAR_WORK:-$HOME/.cache/pelvar}"
mkdir -p "$work"
# CMake build trees belong to one checkout: CMake refuses a tree configured
# from another source folder, and CI runs in a fresh clone.
builds="$work/builds/$(printf '%s' "$repo" | md5sum | cut -c1-12)"
mkdir -p "$builds"
export PIP_DISABLE_PIP_VERSION_CHECK=1

# The interpreter of a CPython minor version: pyenv's, or one on PATH.
python_for() {
    local version="$1" candidate
    for candidate in "$(pyenv root 2>/dev/null)"/versions/"$version".*/bin/python"$version" \
                     "$(command -v "python$version" 2>/dev/null)"; do
        if [ -x "$candidate" ] && "$candidate" -c 'import sys' 2>/dev/null; then
            echo "$candidate"
            return 0
        fi
    done
    echo "no CPython $version found" >&2
    return 1
}

# Installs Debian packages that are missing. One apt at a time on the
# machine: the target's build may be running apt beside a check (tools/test-all.sh).
apt_install() {
    local missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
    done
    if [ "${#missing[@]}" -ne 0 ]; then
        flock /var/lock/pelvar-apt.lock sh -c 'apt-get update -qq &&
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null' apt_install "${missing[@]}"
    fi
}

# make_venv DIR PYTHON PACKAGE...: a virtual environment with these packages.
make_venv() {
    local dir="$1" python="$2"
    shift 2
    if [ ! -x "$dir/bin/python" ]; then
        "$python" -m venv "$dir"
    fi
    "$dir/bin/python" -m pip install -q --upgrade pip >/dev/null
    "$dir/bin/python" -m pip install -q "$@"
}

# Builds and installs the module from the work tree into a venv, warnings as errors.
install_module() {
    local dir="$1"
    shift
    PELVAR_WERROR=ON "$dir/bin/python" -m pip install -q --no-deps --force-reinstall \
        --config-settings=build-dir="$builds/$(basename "$dir")" "$@" "$repo"
}

# pytest that fails when it collects no test (its exit code 5).
run_pytest() {
    local python="$1"
    shift
    local rc=0
    (cd "$repo" && "$python" -m pytest "$@") || rc=$?
    if [ "$rc" -eq 5 ]; then
        echo "pytest collected no tests" >&2
        return 1
    fi
    return "$rc"
}
