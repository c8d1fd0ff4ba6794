#!/usr/bin/env bash
# Builds a wheel per interpreter and tests each in a fresh virtualenv:
#   scripts/wheels.sh [python...]
#
# Without arguments it takes every supported CPython this machine has (found
# as scripts/test-all-pythons.sh finds them); otherwise the interpreters named.
# For each: `pip wheel .` into build/ci/wheels-3.X/dist/, then a fresh
# virtualenv that installs that wheel file with its `test` extra, binaries
# only (`--only-binary :all:`, so nothing is compiled at install time), and
# runs the whole test suite against it.  Fails when any interpreter fails, or
# when none was found.
set -uo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/scripts/lib.sh"
logs=$repo/build/ci/logs
mkdir -p "$logs"

pythons=("$@")
if [ "${#pythons[@]}" -eq 0 ]; then
  for v in "${tavik_versions[@]}"; do
    py=$(tavik_find_python "$v")
    if [ -n "$py" ]; then pythons+=("$py"); else echo "=== Python $v: SKIPPED (not found)"; fi
  done
fi

# Builds and tests the wheel of interpreter $1; $ver is set by the caller.
wheel_and_test() {
  local py=$1 work=$repo/build/ci/wheels-$ver wheels vpy
  local venv=$work/venv dist=$work/dist
  mkdir -p "$work"
  rm -rf "$dist" "$venv"
  echo "wheels.sh: pip wheel . (build log: ${work#$repo/}/wheel.log)"
  local start=$SECONDS
  # build-dir: this script's own CMake tree per interpreter (incremental on
  # re-runs); the wheel itself only holds what the build installs.
  if ! env -u PYTHONPATH "$py" -m pip wheel --no-deps --no-input -w "$dist" \
        --config-settings=build-dir="$work/cmake" "$repo" >"$work/wheel.log" 2>&1; then
    tail -n 60 "$work/wheel.log"
    echo "wheels.sh: building the wheel failed (Python $ver)" >&2
    return 1
  fi
  wheels=("$dist"/*.whl)
  if [ "${#wheels[@]}" -ne 1 ] || [ ! -f "${wheels[0]}" ]; then
    echo "wheels.sh: expected one wheel in ${dist#$repo/}, found: ${wheels[*]}" >&2
    return 1
  fi
  echo "wheels.sh: built $(basename "${wheels[0]}") in $((SECONDS - start)) s"

  "$py" -m venv "$venv" || return 1
  vpy=$venv/bin/python
  echo "wheels.sh: fresh virtualenv ${venv#$repo/}: pip install --only-binary :all: <wheel>[test]"
  # No compiler on PATH either: installing must not need one.
  if ! env -u PYTHONPATH CC=false CXX=false "$vpy" -m pip install --no-input \
        --only-binary :all: "${wheels[0]}[test]" >"$work/install.log" 2>&1; then
    tail -n 60 "$work/install.log"
    echo "wheels.sh: installing the wheel failed (Python $ver)" >&2
    return 1
  fi
  tavik_run_suite "wheels.sh (Python $ver)" "$vpy"
}

declare -A result detail
order=()
for py in "${pythons[@]}"; do
  if ! cmd=$(command -v "$py") || ! ver=$("$cmd" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null); then
    echo "wheels.sh: no working interpreter '$py'" >&2
    result[$py]=FAILED detail[$py]="no working interpreter"
    order+=("$py")
    continue
  fi
  key="$ver ($cmd)"
  order+=("$key")
  echo "=== Python $ver: $cmd"
  start=$SECONDS
  wheel_and_test "$cmd" 2>&1 | tee "$logs/wheels-$ver.log"
  rc=${PIPESTATUS[0]}
  line=$(grep -E '^=+ .* in [0-9.]+s.* =+$' "$logs/wheels-$ver.log" | tail -n 1 \
         | sed -E 's/^=+ //; s/ =+$//')
  detail[$key]="${line:-no pytest summary (see build/ci/logs/wheels-$ver.log)} [$((SECONDS - start)) s]"
  if [ "$rc" -eq 0 ]; then result[$key]=passed; else result[$key]=FAILED; fi
done

echo
echo "Wheels:"
failed=0
for key in "${order[@]}"; do
  printf '  %-50s %-8s %s\n' "$key" "${result[$key]}" "${detail[$key]}"
  [ "${result[$key]}" = passed ] || failed=$((failed + 1))
done
if [ "${#order[@]}" -eq 0 ]; then
  echo "wheels.sh: no supported interpreter was found" >&2
  exit 1
fi
if [ "$failed" -gt 0 ]; then exit 1; fi
