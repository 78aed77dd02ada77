#!/usr/bin/env bash
# Sets up everything the checks need and runs them all, in order: the
# checks are the scripts in tools/checks/, each runnable on its own.
# Virtual environments and other build products live outside the work tree,
# under $PELVAR_WORK (default ~/.cache/pelvar), and are reused when present.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
status=0
failed=()
times=()
began=$SECONDS
# Most of a fresh run is the target's build: two CPython interpreters
# compiled from source. Once the system's packages are in (check 10), it
# starts in the background, beside the checks that do not need it; check 50
# and check 60 wait for it through its locks (check 60 runs it again, which
# shows a failure or finds everything done).
prebuild=
start_prebuild() {
    if [ -z "${PELVAR_NO_PREBUILD:-}" ] && [ -e "$here/checks/60-target.sh" ]; then
        local log="${PELVAR_WORK:-$HOME/.cache/pelvar}/target-build.log"
        mkdir -p "$(dirname "$log")"
        echo "::: the target's build goes on in the background (log: $log)"
        bash "$here/target/build.sh" >"$log" 2>&1 &
        prebuild=$!
    fi
}
for check in "$here"/checks/[0-9]*.sh; do
    name="$(basename "$check")"
    echo "::: $name"
    start=$SECONDS
    if bash "$check"; then
        echo "::: $name passed in $((SECONDS - start)) s"
        times+=("$name passed in $((SECONDS - start)) s")
    else
        echo "::: $name FAILED in $((SECONDS - start)) s"
        times+=("$name FAILED in $((SECONDS - start)) s")
        failed+=("$name")
        status=1
    fi
    if [ "$name" = 10-system-packages.sh ]; then
        start_prebuild
    fi
done
if [ -n "$prebuild" ]; then
    wait "$prebuild" || true  # what it built is checked by check 60
fi
# The run times that CONTRIBUTING.md quotes come from here.
echo "::: run times"
printf '%s\n' "${times[@]}"
echo "all checks: $((SECONDS - began)) s"
if [ "$status" -ne 0 ]; then
    echo "failed checks: ${failed[*]}"
fi
exit "$status"
