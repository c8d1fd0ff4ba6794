#!/usr/bin/env bash
# Sets up and runs the whole test suite against the installed package:
#   scripts/test.sh [pytest arguments...]
#
# Makes a fresh virtualenv under build/ci/ with the interpreter $PYTHON
# (default: python3), installs the package from this checkout with a real
# `pip install .` (scikit-build-core + CMake build) together with its `test`
# extra (pytest, hypothesis), and runs pytest on tests/ with PYTHONPATH unset
# and without the working directory on sys.path, so that neither src/ nor
# in-place builds next to the sources can be imported instead of the installed
# package (tests/conftest.py refuses to run if one was).  Exits non-zero when a
# test fails, and also when no test was collected at all.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/scripts/lib.sh"
PY=${PYTHON:-python3}
if ! py=$(command -v "$PY") || ! "$py" -c 'import sys' 2>/dev/null; then
  echo "test.sh: no working interpreter '$PY'" >&2
  exit 2
fi
ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
work=$repo/build/ci/test-$ver            # build/ is ignored by git
venv=$work/venv
mkdir -p "$work"

echo "test.sh: Python $ver ($py): fresh virtualenv in ${venv#$repo/}"
rm -rf "$venv"
"$py" -m venv "$venv"
vpy=$venv/bin/python

echo "test.sh: pip install .[test] (build log: ${work#$repo/}/pip.log)"
start=$SECONDS
# build-dir: this script's own CMake tree (incremental on re-runs), apart
# from the ones of dev-build.sh and of other interpreters.
if ! env -u PYTHONPATH "$vpy" -m pip install --no-input \
      --config-settings=build-dir="$work/cmake" "$repo[test]" >"$work/pip.log" 2>&1; then
  tail -n 60 "$work/pip.log"
  echo "test.sh: installing the package failed (Python $ver)" >&2
  exit 1
fi
echo "test.sh: installed in $((SECONDS - start)) s"

set +e
tavik_run_suite "test.sh (Python $ver)" "$vpy" "$@"
rc=$?
set -e
exit "$rc"
