#!/usr/bin/env bash
# Builds, installs and tests the package on every supported CPython that this
# machine has:  scripts/test-all-pythons.sh [pytest arguments...]
#
# For each of 3.10-3.13 it looks for the newest pyenv build
# ($PYENV_ROOT/versions/3.X.N) and then for python3.X on PATH, and runs
# scripts/test.sh with it (fresh virtualenv, `pip install .`, whole suite).
# A version that is not found is reported as SKIPPED and never counts as
# passed; the script fails when any version fails, or when none was tested.
set -uo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/scripts/lib.sh"
versions=("${tavik_versions[@]}")
logs=$repo/build/ci/logs
mkdir -p "$logs"

declare -A result interp detail
for v in "${versions[@]}"; do
  py=$(tavik_find_python "$v")
  if [ -z "$py" ]; then
    result[$v]=SKIPPED interp[$v]=- detail[$v]="no CPython $v on this machine"
    echo "=== Python $v: SKIPPED (not found)"
    continue
  fi
  interp[$v]=$py
  echo "=== Python $v: $py"
  start=$SECONDS
  PYTHON=$py bash "$repo/scripts/test.sh" "$@" 2>&1 | tee "$logs/test-$v.log"
  rc=${PIPESTATUS[0]}
  # pytest's closing line, e.g. "===== 3 failed, 120 passed in 4.2s ====="
  line=$(grep -E '^=+ .* in [0-9.]+s.* =+$' "$logs/test-$v.log" | tail -n 1 \
         | sed -E 's/^=+ //; s/ =+$//')
  detail[$v]="${line:-no pytest summary (see build/ci/logs/test-$v.log)} [$((SECONDS - start)) s]"
  if [ "$rc" -eq 0 ]; then result[$v]=passed; else result[$v]=FAILED; fi
done

failed=0 passed=0 skipped=0
echo
echo "Supported interpreters:"
printf '  %-7s %-8s %-45s %s\n' version result interpreter details
for v in "${versions[@]}"; do
  printf '  %-7s %-8s %-45s %s\n' "$v" "${result[$v]}" "${interp[$v]}" "${detail[$v]}"
  case ${result[$v]} in
    passed) passed=$((passed + 1)) ;;
    FAILED) failed=$((failed + 1)) ;;
    *) skipped=$((skipped + 1)) ;;
  esac
done
echo "interpreters: $passed of ${#versions[@]} passed ($failed failed, $skipped skipped)"
if [ "$failed" -gt 0 ]; then exit 1; fi
if [ "$passed" -eq 0 ]; then
  echo "test-all-pythons.sh: no supported interpreter was tested" >&2
  exit 1
fi
