#!/usr/bin/env bash
# The main job: installs the module with what the examples need into a
# virtual environment, makes the sample files if they are missing, and runs
# the examples on them: a summary of each bundled file, waveform plots (PNG),
# and the many-files job with worker processes, a thread pool and Dask.
#
#   bash tools/demo.sh
#
# Environment: PELVAR_WORK (default ~/.cache/pelvar) holds the virtual
# environment venv-demo, reused when present; PELVAR_DEMO_OUT (default
# examples/out) receives the plots; PYTHON picks the interpreter (default
# python3, 3.11 or later).
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
work="${PELVAR_WORK:-$HOME/.cache/pelvar}"
venv="$work/venv-demo"
out="${PELVAR_DEMO_OUT:-$repo/examples/out}"
python="${PYTHON:-python3}"
export PIP_DISABLE_PIP_VERSION_CHECK=1 MPLBACKEND=Agg

mkdir -p "$work" "$out"
if [ ! -x "$venv/bin/python" ]; then
    echo "== making the virtual environment $venv"
    "$python" -m venv "$venv"
fi
echo "== installing pelvar and the examples' packages (matplotlib, dask, tqdm)"
"$venv/bin/python" -m pip install -q --upgrade pip "scikit-build-core>=0.11"
# Built in place with a kept build folder, so that a second run only
# recompiles what changed.
"$venv/bin/python" -m pip install -q --no-build-isolation \
    --config-settings=build-dir="$work/build/venv-demo" "$repo[examples]"

cd "$repo"
echo "== sample files"
"$venv/bin/python" examples/make_samples.py --if-missing
data=(examples/data/pulses.wd1 examples/data/pulses_2ch.wd2 examples/data/pulses_1ch.wd2)

echo "== summary"
"$venv/bin/python" examples/summary.py "${data[@]}"

echo
echo "== waveform plots"
"$venv/bin/python" examples/plot_waveforms.py "${data[@]}" --events 10 --out "$out"

echo
echo "== many files: examples/data/run"
"$venv/bin/python" examples/many_files.py examples/data/run --workers 2
