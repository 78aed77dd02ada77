#!/usr/bin/env bash
# The Python suite with NumPy 1.26 on CPython 3.12.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
venv="$work/venv-py3.12-numpy1"
make_venv "$venv" "$(python_for 3.12)" "numpy==1.26.*" pytest hypothesis
install_module "$venv"
run_pytest "$venv/bin/python" -q
