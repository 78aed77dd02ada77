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

# optional_packages DIR PACKAGE...: packages that some tests use (an HTTP
# source through fsspec, zstd), where this interpreter has wheels or builds
# for them; where it has none, those tests skip and name what is missing.
optional_packages() {
    local dir="$1" package missing=()
    shift
    for package in "$@"; do
        "$dir/bin/python" -m pip install -q --only-binary=:all: "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    if [ "${#missing[@]}" -ne 0 ]; then
        echo "optional packages not installed for $("$dir/bin/python" -c 'import sys; print(sys.version.split()[0])'): ${missing[*]}; the tests that need them skip"
    fi
}

# Builds and installs the module from the work tree into a venv, warnings as errors.
install_module() {
    local dir="$1"
    shift
    PELVAR_WERROR=ON "$dir/bin/python" -m pip install -q --no-deps --force-reinstall \
        --config-settings=build-dir="$builds/$(basename "$dir")" "$@" "$repo"
}

# run_pytest MINIMUM PYTHON ARGUMENTS...: pytest in the work tree, failing
# also when it collects no test (its exit code 5) and when fewer than MINIMUM
# tests pass, so that a suite that silently skips most of itself (a missing
# package, a wrong interpreter, a narrowed selection) does not pass. The count
# comes from pytest's closing line ("1 failed, 783 passed, 44 skipped in 55.25s").
run_pytest() {
    local minimum="$1" python="$2"
    shift 2
    case "$minimum" in
        '' | *[!0-9]*) echo "run_pytest: the first argument is the least number of tests, not '$minimum'" >&2; return 2 ;;
    esac
    local output="$work/pytest-output.$$.log" rc=1
    env -u LD_PRELOAD rm -f "$output.rc"
    # tee and rm run without the sanitizers' runtimes that a caller may preload
    # for the interpreter (their reports would be taken for its own).
    (
        cd "$repo"
        status=0
        "$python" -m pytest "$@" 2>&1 || status=$?
        echo "$status" >"$output.rc"
    ) | env -u LD_PRELOAD -u ASAN_OPTIONS -u UBSAN_OPTIONS tee "$output" || true
    [ -s "$output.rc" ] && rc="$(<"$output.rc")"
    # The last closing line, e.g. "= 783 passed, 44 skipped in 55.25s (0:00:55) =".
    local line summary="" passed=0
    local closing='^[= ]*(no tests ran|[0-9]+ [a-z]+(, [0-9]+ [a-z]+)*) in [0-9.]+s'
    while IFS= read -r line; do
        if [[ "$line" =~ $closing ]]; then
            summary="$line"
        fi
    done <"$output"
    env -u LD_PRELOAD rm -f "$output" "$output.rc"
    if [[ "$summary" =~ (^|[ =,])([0-9]+)\ passed ]]; then
        passed="${BASH_REMATCH[2]}"
    fi
    if [ "$rc" -eq 5 ]; then
        echo "pytest collected no tests" >&2
        return 1
    fi
    if [ "$rc" -ne 0 ]; then
        return "$rc"
    fi
    if [ "$passed" -lt "$minimum" ]; then
        echo "pytest ran $passed tests, fewer than the $minimum this check requires" >&2
        return 1
    fi
}
