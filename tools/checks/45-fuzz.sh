#!/usr/bin/env bash
# The libFuzzer target over both readers (fuzz/), with ASan and UBSan, for
# a bounded time: PELVAR_FUZZ_SECONDS (default 60). Fails on any crash,
# sanitizer report, failed differential check, time-out or memory blow-up.
# The corpus that it grows is kept under $work and reused by later runs;
# an input that fails is left in $work/fuzz-artifacts/.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
seconds="${PELVAR_FUZZ_SECONDS:-60}"
build="$builds/fuzz"
seeds="$work/fuzz-seeds"
corpus="$work/fuzz-corpus"
artifacts="$work/fuzz-artifacts"
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPELVAR_BUILD_FUZZ=ON -DPELVAR_BUILD_MODULE=OFF -DPELVAR_WERROR=ON >/dev/null
cmake --build "$build" -j2 --target fuzz_readers
rm -rf "$seeds"
python3 "$repo/fuzz/make_corpus.py" "$seeds"
mkdir -p "$corpus" "$artifacts"
log="$work/fuzz.log"
# Blocks of 16 KiB and more are read straight into their buffer: allow them.
status=0
"$build/fuzz/fuzz_readers" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -max_len=20000 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "$seeds" >"$log" 2>&1 || status=$?
# The progress lines are many; the rest (start, crash report, statistics) is shown.
grep -v -E -e '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)' -e '# Uses: [0-9]+$' "$log" || true
if [ "$status" -ne 0 ]; then
    echo "the fuzzer failed (exit $status); inputs in $artifacts:" >&2
    ls -l "$artifacts" >&2
fi
exit "$status"
