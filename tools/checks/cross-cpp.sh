# Sourced by the cross checks (55-arm64.sh, 56-s390x.sh): GoogleTest and the
# C++ reader tests (tests/cpp) cross-built with one of Debian's cross
# toolchains (tools/cross/debian-gnu.cmake) and run under qemu-user.
#
#   cross_cpp_tests TRIPLE      e.g. aarch64-linux-gnu, s390x-linux-gnu
#
# Expects common.sh to be sourced and a step function to be defined.

# Runs a command with its output in a log, shown only when it fails.
quiet() {
    local log="$1"
    shift
    if ! "$@" >"$log" 2>&1; then
        cat "$log" >&2
        echo "failed: $*" >&2
        return 1
    fi
}

cross_cpp_tests() {
    local triple="$1"
    local machine="${triple%%-*}"
    local toolchain="$repo/tools/cross/debian-gnu.cmake"
    local dir="$work/cross-$triple"
    local qemu=("qemu-$machine-static" -L "/usr/$triple")
    mkdir -p "$dir"

    # GoogleTest for the target from Debian's source package, installed under
    # $dir/gtest-root/usr; rebuilt when the package or the toolchain file changes.
    local gtest_root="$dir/gtest-root"
    local gtest_stamp
    gtest_stamp="$(dpkg-query -W -f='${Version}' googletest) $(sha256sum "$toolchain" | cut -c1-16)"
    if [ "$(cat "$dir/gtest.stamp" 2>/dev/null)" != "$gtest_stamp" ]; then
        step "GoogleTest for $triple"
        rm -rf "$dir/gtest-build" "$gtest_root"
        quiet "$dir/gtest.log" cmake -S /usr/src/googletest -B "$dir/gtest-build" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DPELVAR_CROSS_TRIPLE="$triple" \
            -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_POLICY_VERSION_MINIMUM=3.5
        quiet "$dir/gtest.log" cmake --build "$dir/gtest-build" -j2
        DESTDIR="$gtest_root" quiet "$dir/gtest.log" cmake --install "$dir/gtest-build"
        echo "$gtest_stamp" >"$dir/gtest.stamp"
    fi

    # The reader library and tests/cpp, optimised (-O2, asserts kept): other
    # machines have other char signedness, byte order and code paths.
    step "cross-building tests/cpp for $triple"
    local build="$builds/cross-cpp-tests-$triple"
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DPELVAR_CROSS_TRIPLE="$triple" \
        -DPELVAR_CROSS_PREFIXES="$gtest_root" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g" \
        -DPELVAR_BUILD_MODULE=OFF -DPELVAR_BUILD_TESTS=ON -DPELVAR_WERROR=ON >/dev/null
    cmake --build "$build" -j2
    local expected
    case "$machine" in
        aarch64) expected="AArch64" ;;
        s390x) expected="IBM S/390" ;;
        *) expected="$machine" ;;
    esac
    local program machine_seen
    for program in $(find "$build/tests" -path '*/CMakeFiles' -prune -o -type f -perm -u+x -print); do
        machine_seen=$(readelf -h "$program" | sed -n 's/^ *Machine: *//p')
        echo "$(basename "$program"): $machine_seen, $(readelf -h "$program" | sed -n 's/^ *Data: *//p')"
        [ "$machine_seen" = "$expected" ] || { echo "$program is not a $expected program" >&2; return 1; }
    done

    # ctest would start qemu once per test case; each GoogleTest program runs
    # once, whole, instead, and ctest runs only the tests that are not cases
    # of one (if any).
    step "running tests/cpp under qemu-$machine"
    ctest --test-dir "$build" --show-only=json-v1 >"$build/tests.json"
    local plan
    plan=$("$(python_for 3.11)" - "$build/tests.json" <<'EOF_PLAN'
import json, sys
tests = json.load(open(sys.argv[1]))["tests"]
programs, others = [], []
for test in tests:
    command = test.get("command", [])
    filters = [i for i, a in enumerate(command) if a.startswith("--gtest_filter=")]
    if filters:
        program = command[filters[0] - 1]  # the emulator and its options come before it
        if program not in programs:
            programs.append(program)
    else:
        others.append(test["name"])
if not tests:
    sys.exit("ctest knows no test")
for program in programs:
    print("program", program)
for name in others:
    print("test", name)
EOF_PLAN
    )
    local others=() kind value
    while read -r kind value; do
        if [ "$kind" = program ]; then
            echo "$(basename "$value") under qemu-$machine:"
            "${qemu[@]}" "$value" --gtest_brief=1 </dev/null
        else
            others+=("$value")
        fi
    done <<<"$plan"
    if [ "${#others[@]}" -ne 0 ]; then
        ctest --test-dir "$build" --output-on-failure --no-tests=error --timeout 600 \
            -R "^($(printf '%s\n' "${others[@]}" | sed 's/[][\\.*^$+?(){}|]/\\&/g' | paste -sd'|'))\$"
    fi
}
