#!/usr/bin/env bash
# The main job: installs the package into a fresh virtual environment and runs
# a short tour that exercises every module and prints what it shows.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
venv=build/venv-tour
rm -rf "$venv"
"$PY" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
"$venv/bin/python" -m pip install -q . >/dev/null
cd build  # import the installed package, not the source tree
exec "../$venv/bin/python" ../scripts/tour.py
