# Shared parts of the test scripts; sourced, not run:  . "$repo/scripts/lib.sh"
# Expects $repo (the checkout's absolute path) to be set by the caller.

# The CPython versions the package supports.
tavik_versions=(3.10 3.11 3.12 3.13)
tavik_pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}

# Prints the interpreter for version $1 (e.g. 3.12), or nothing: the newest
# pyenv release build ($PYENV_ROOT/versions/3.X.N), then python3.X on PATH.
tavik_find_python() {
  local v=$1 cand
  # Release builds only (3.13.0, not 3.13.0t or 3.13-dev), newest first.
  for cand in $(ls -d "$tavik_pyenv_root"/versions/"$v".* 2>/dev/null \
                | grep -E "/${v//./\\.}\.[0-9]+$" | sort -rV); do
    if [ -x "$cand/bin/python$v" ]; then
      echo "$cand/bin/python$v"
      return
    fi
  done
  # A pyenv shim answers for versions that pyenv lacks too: ask the
  # interpreter what it is before using it.
  cand=$(command -v "python$v" 2>/dev/null) || return 0
  if "$cand" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$v'.split('.'))))" \
       2>/dev/null; then
    echo "$cand"
  fi
}

# Runs the test suite with the virtualenv interpreter $2 against the package
# installed into that virtualenv:  tavik_run_suite <label> <venv python> [pytest args...]
# PYTHONPATH is unset and the working directory is kept off sys.path, so that
# neither src/ nor in-place builds next to the sources can be imported
# instead (tests/conftest.py refuses to run if one was).  Returns pytest's
# status, except that "no tests collected" counts as a failure.
tavik_run_suite() {
  local label=$1 vpy=$2 site rc
  shift 2
  site=$("$vpy" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
  (
    cd "$repo" &&
    env -u PYTHONPATH -u PYTHONHOME -u PYTHONSTARTUP PYTHONSAFEPATH=1 \
        TAVIK_EXPECT_INSTALLED="$site" \
        "$vpy" -m pytest "$repo/tests" --rootdir="$repo" \
        --hypothesis-profile=ci "$@"
  )
  rc=$?
  if [ "$rc" -eq 5 ]; then
    echo "$label: no tests were collected: counted as a failure" >&2
    return 1
  fi
  return "$rc"
}
