#!/usr/bin/env bash
# Reference-leak check:  scripts/refleak.sh [pytest arguments...]
#
# Uses Debian's debug interpreter python3.11-dbg (installed with apt-get when
# missing; it is the system Python 3.11, apart from pyenv), builds and installs
# the package for it in a fresh virtualenv (a Debug build: the interpreter's
# own assertions in the C API's inline functions stay on), and runs every test
# file in tests/ several rounds in one process, failing when the total
# reference count keeps growing: the criterion is explained in refleak.py.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
work=$repo/build/ci/refleak
DBG=python3.11-dbg

# The debug interpreter, its headers (libpython3.11-dbg installs
# /usr/include/python3.11d) and venv support.  python3.11-dev is named too so
# that apt upgrades it with the interpreter when their versions must match.
need_install() {
  command -v "$DBG" >/dev/null || return 0
  local inc
  inc=$("$DBG" -c 'import sysconfig; print(sysconfig.get_paths()["include"])') || return 0
  [ -f "$inc/Python.h" ] || return 0
  "$DBG" -c 'import ensurepip, venv' 2>/dev/null || return 0
  return 1
}
if need_install; then
  echo "refleak.sh: installing $DBG with apt-get"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -q --no-install-recommends \
      python3.11-dbg libpython3.11-dbg python3.11-dev python3.11-venv
fi
py=$(command -v "$DBG")
"$py" -c 'import sys; sys.gettotalrefcount' || {
  echo "refleak.sh: $py is not a debug build" >&2; exit 2; }

mkdir -p "$work"
venv=$work/venv
echo "refleak.sh: $("$py" -c 'import sys; print(sys.version.split()[0])') debug build ($py): fresh virtualenv in ${venv#$repo/}"
rm -rf "$venv"
"$py" -m venv "$venv"
vpy=$venv/bin/python
echo "refleak.sh: pip install .[test] (build log: ${work#$repo/}/pip.log)"
start=$SECONDS
if ! env -u PYTHONPATH "$vpy" -m pip install --no-input \
      --config-settings=build-dir="$work/cmake" \
      --config-settings=cmake.build-type=Debug \
      "$repo[test]" >"$work/pip.log" 2>&1; then
  tail -n 60 "$work/pip.log"
  echo "refleak.sh: installing the package failed" >&2
  exit 1
fi
echo "refleak.sh: installed in $((SECONDS - start)) s"

site=$("$vpy" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
# Built for the debug ABI: Py_INCREF/Py_DECREF of the extension must update the
# interpreter's total reference count, or the figures below mean nothing.
for so in "$site"/tavik/datastructures/*.so; do
  if ! nm -D "$so" | grep -q -E ' U (_Py_RefTotal|_Py_IncRefTotal|_Py_NegativeRefcount)$'; then
    echo "refleak.sh: $so was built without Py_DEBUG" >&2
    exit 1
  fi
done
cd "$repo"
set +e
env -u PYTHONPATH -u PYTHONHOME -u PYTHONSTARTUP PYTHONSAFEPATH=1 \
    TAVIK_EXPECT_INSTALLED="$site" \
    "$vpy" "$repo/scripts/refleak.py" "$repo/tests" --rootdir="$repo" "$@"
rc=$?
set -e
if [ "$rc" -eq 5 ]; then
  echo "refleak.sh: no tests were collected: counted as a failure" >&2
  exit 1
fi
exit "$rc"
