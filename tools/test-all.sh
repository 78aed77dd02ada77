#!/usr/bin/env bash
# Sets up everything the checks need and runs them all, in order: the
# checks are the scripts in tools/checks/, each runnable on its own.
# Virtual environments and other build products live outside the work tree,
# under $PELVAR_WORK (default ~/.cache/pelvar), and are reused when present.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
status=0
failed=()
for check in "$here"/checks/[0-9]*.sh; do
    name="$(basename "$check")"
    echo "::: $name"
    start=$SECONDS
    if bash "$check"; then
        echo "::: $name passed in $((SECONDS - start)) s"
    else
        echo "::: $name FAILED in $((SECONDS - start)) s"
        failed+=("$name")
        status=1
    fi
done
if [ "$status" -ne 0 ]; then
    echo "failed checks: ${failed[*]}"
fi
exit "$status"
