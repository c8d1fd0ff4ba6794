#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer run:  scripts/sanitize.sh [pytest arguments...]
#
# Builds the extension modules with -DTAVIK_SANITIZE=ON into a fresh
# virtualenv of the default python3 and runs the whole suite there, with the
# sanitizer runtimes preloaded (the interpreter itself is not instrumented),
# PYTHONMALLOC=malloc so that every Python object is a malloc block that
# AddressSanitizer watches, and leak detection off (the interpreter does not
# free everything at exit).  The first report of either sanitizer aborts the
# process.  pytest captures output at the sys level only, so that what the
# runtimes write to the stderr descriptor reaches the output (and the log that
# is searched for reports) even when the process dies; AddressSanitizer also
# writes its reports, those of subprocesses that tests start included, to
# build/ci/sanitize/reports/, which are printed.  (UBSan of this GCC ignores
# log_path: its reports are only on stderr.)  Fails on any report and on any
# failing test.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
work=$repo/build/ci/sanitize
tag=sanitize.sh
# shellcheck source=scripts/sanitizer-build.sh
. "$repo/scripts/sanitizer-build.sh" "[test]"

reports=$work/reports
rm -rf "$reports"
mkdir -p "$reports"
common="abort_on_error=1:halt_on_error=1:print_stacktrace=1"
cd "$repo"
set +e
env -u PYTHONPATH -u PYTHONHOME -u PYTHONSTARTUP PYTHONSAFEPATH=1 \
    TAVIK_EXPECT_INSTALLED="$site" \
    LD_PRELOAD="$asan $ubsan" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:$common:log_path=$reports/asan" \
    UBSAN_OPTIONS="$common" \
    "$vpy" -m pytest "$repo/tests" --rootdir="$repo" \
    --capture=sys --hypothesis-profile=slow-interpreter "$@" 2>&1 | tee "$work/pytest.log"
rc=${PIPESTATUS[0]}
set -e

found=0
for f in "$reports"/*; do
  [ -e "$f" ] || continue
  found=1
  echo "=== sanitizer report ${f#$repo/}"
  cat "$f"
done
# A report that reached the output instead (a subprocess with its own
# settings, say).
if grep -E -q 'ERROR: AddressSanitizer|runtime error: |SUMMARY: (Address|UndefinedBehavior)Sanitizer' \
     "$work/pytest.log"; then
  found=1
fi
if [ "$found" -ne 0 ]; then
  echo "sanitize.sh: the sanitizers reported errors" >&2
  exit 1
fi
if [ "$rc" -eq 5 ]; then
  echo "sanitize.sh: no tests were collected: counted as a failure" >&2
  exit 1
fi
if [ "$rc" -ne 0 ]; then
  echo "sanitize.sh: pytest exited with status $rc" >&2
fi
exit "$rc"
