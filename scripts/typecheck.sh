#!/usr/bin/env bash
# Checks the type stubs against the built modules and type-checks an example
# user of the package:  scripts/typecheck.sh
#
# Makes a fresh virtualenv under build/ci/ with the interpreter $PYTHON
# (default: python3), installs the package from this checkout (`pip install .`)
# and mypy, then runs
#   - mypy's stubtest on every extension module and on tavik.utils.strings:
#     each stub must match what the installed module really exports
#     (tests/typing/stubtest-allowlist.txt lists the few entries that cannot);
#   - mypy --strict on tests/typing/example.py, which uses every public name
#     the way a caller would, with the stubs taken from the installed package.
# Exits non-zero when either finds a problem.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
PY=${PYTHON:-python3}
# One mypy release: stubtest's checks change between releases.
MYPY=${MYPY:-mypy==2.4.1}
# configuration's stub names the yaml module it imports.
STUB_DEPS=${STUB_DEPS:-types-PyYAML}
if ! py=$(command -v "$PY") || ! "$py" -c 'import sys' 2>/dev/null; then
  echo "typecheck.sh: no working interpreter '$PY'" >&2
  exit 2
fi
ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
work=$repo/build/ci/typecheck-$ver       # build/ is ignored by git
venv=$work/venv
mkdir -p "$work"

echo "typecheck.sh: Python $ver ($py): fresh virtualenv in ${venv#$repo/}"
rm -rf "$venv"
"$py" -m venv "$venv"
vpy=$venv/bin/python

echo "typecheck.sh: pip install . $MYPY $STUB_DEPS (build log: ${work#$repo/}/pip.log)"
start=$SECONDS
if ! env -u PYTHONPATH "$vpy" -m pip install --no-input \
      --config-settings=build-dir="$work/cmake" "$repo" "$MYPY" $STUB_DEPS >"$work/pip.log" 2>&1; then
  tail -n 60 "$work/pip.log"
  echo "typecheck.sh: installing the package or mypy failed (Python $ver)" >&2
  exit 1
fi
echo "typecheck.sh: installed in $((SECONDS - start)) s"

modules=(wispseq pathrows rankmap fieldbag logic configuration ramus typefield factory)
modules=("${modules[@]/#/tavik.datastructures.}" tavik.utils.strings)

# Run from an empty directory, so that neither the checkout's src/ nor its
# in-place builds are found instead of the installed package.
cd "$work"
clean_env=(env -u PYTHONPATH -u PYTHONHOME -u MYPYPATH PYTHONSAFEPATH=1)
status=0
echo "typecheck.sh: stubtest ${modules[*]}"
"${clean_env[@]}" "$vpy" -m mypy.stubtest --mypy-config-file "$repo/tests/typing/mypy.ini" \
    --allowlist "$repo/tests/typing/stubtest-allowlist.txt" "${modules[@]}" || status=1
echo "typecheck.sh: mypy --strict tests/typing/example.py"
"${clean_env[@]}" "$vpy" -m mypy --strict --no-incremental --config-file "$repo/tests/typing/mypy.ini" \
    "$repo/tests/typing/example.py" || status=1
if [ "$status" -ne 0 ]; then
  echo "typecheck.sh: the stubs or the example do not check (Python $ver)" >&2
fi
exit "$status"
