#!/usr/bin/env bash
# Fuzzes every text-taking entry point on the sanitizer build:
#   scripts/fuzz.sh [seconds-per-target]      (default 60)
#
# Builds the package with AddressSanitizer and UndefinedBehaviorSanitizer into
# a fresh virtualenv (scripts/sanitizer-build.sh, shared with sanitize.sh),
# installs atheris there and runs each target of fuzz/ for the given time with
# the sanitizer runtimes preloaded.  Each target catches exactly the exception
# types the module raises for bad input, so any other exception, a crash or a
# sanitizer report fails the run; the input that did it is kept under
# build/ci/fuzz/artifacts/ (replay: <venv python> fuzz/<target> [mode] <file>).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
work=$repo/build/ci/fuzz
seconds=${1:-60}
tag=fuzz.sh
# shellcheck source=scripts/sanitizer-build.sh
. "$repo/scripts/sanitizer-build.sh" ""
echo "$tag: pip install atheris"
"$vpy" -m pip install --no-input atheris >>"$work/pip.log" 2>&1

targets=(
  "logic_str:fuzz_logic_str.py"
  "load_cfgs:fuzz_configuration.py cfg"
  "load_yamls:fuzz_configuration.py yaml"
  "NestedFieldBag.update:fuzz_update.py fieldbag"
  "RankMap.update:fuzz_update.py rankmap"
)
reports=$work/reports
artifacts=$work/artifacts
rm -rf "$reports" "$artifacts"
mkdir -p "$reports" "$artifacts"
common="abort_on_error=1:halt_on_error=1:print_stacktrace=1"
failed=()
cd "$repo/fuzz"
for entry in "${targets[@]}"; do
  name=${entry%%:*}
  read -r -a cmd <<<"${entry#*:}"
  log=$work/$name.log
  echo "$tag: $name for $seconds s (log: ${log#$repo/})"
  set +e
  env -u PYTHONPATH -u PYTHONHOME -u PYTHONSTARTUP \
      LD_PRELOAD="$asan $ubsan" PYTHONMALLOC=malloc \
      ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:$common:log_path=$reports/$name" \
      UBSAN_OPTIONS="$common" \
      "$vpy" "${cmd[@]}" -max_total_time="$seconds" -artifact_prefix="$artifacts/$name-" \
      -rss_limit_mb=4096 -print_final_stats=1 >"$log" 2>&1
  rc=$?
  set -e
  if [ "$rc" -ne 0 ] || ls "$reports/$name".* >/dev/null 2>&1 \
     || grep -E -q 'ERROR: AddressSanitizer|runtime error: |SUMMARY: (Address|UndefinedBehavior)Sanitizer' "$log"; then
    echo "$tag: $name FAILED (status $rc)" >&2
    tail -n 40 "$log" >&2
    cat "$reports/$name".* 2>/dev/null >&2 || true
    failed+=("$name")
  else
    grep -E '^Done [0-9]+ runs' "$log" | sed "s/^/$tag: $name: /" || true
  fi
done
if [ "${#failed[@]}" -ne 0 ]; then
  echo "$tag: failures: ${failed[*]} (inputs under ${artifacts#$repo/})" >&2
  exit 1
fi
echo "$tag: all ${#targets[@]} targets ran $seconds s each without a finding"
