#!/usr/bin/env bash
# The Python suite with NumPy 1.26 on CPython 3.12, with the Arrow consumers
# (pyarrow 21 and later need NumPy 2).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
venv="$work/venv-py3.12-numpy1"
make_venv "$venv" "$(python_for 3.12)" "numpy==1.26.*" pytest hypothesis "pyarrow<21" polars duckdb
install_module "$venv"
run_pytest "$venv/bin/python" -q
