#!/usr/bin/env bash
# Builds the extension modules in place (next to the Python sources) for quick
# edit-build-test cycles:  scripts/dev-build.sh [python] [extra cmake args]
# Then: PYTHONPATH=src python -m pytest
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${1:-python3}
shift || true
tag=$("$PY" -c 'import sys; print("%d%d" % sys.version_info[:2])')
build=${BUILD_DIR:-build/dev-$tag}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-Release} \
      -DPython_EXECUTABLE="$(command -v "$PY" || echo "$PY")" "$@" >/dev/null
# TARGETS="rankmap logic" builds only those modules (default: all nine).
if [ -n "${TARGETS:-}" ]; then
  cmake --build "$build" --target $TARGETS
  for t in $TARGETS; do cp "$build"/$t.*.so src/tavik/datastructures/; done
else
  cmake --build "$build"
  cp "$build"/*.so src/tavik/datastructures/
fi
