#!/usr/bin/env bash
# The Python suite with the latest NumPy on CPython 3.11 and 3.13, with the
# Arrow consumers that read the batch reader's stream (pyarrow, polars,
# DuckDB).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
for version in 3.11 3.13; do
    venv="$work/venv-py$version-numpy2"
    make_venv "$venv" "$(python_for "$version")" "numpy>=2" pytest hypothesis pyarrow polars duckdb
    install_module "$venv"
    run_pytest "$venv/bin/python" -q
done
