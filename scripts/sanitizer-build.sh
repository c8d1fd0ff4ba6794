# Sourced by scripts/sanitize.sh and scripts/fuzz.sh: builds the extension
# modules with -DTAVIK_SANITIZE=ON into a fresh virtualenv of the default
# python3 and finds the sanitizer runtimes to preload.
#   in:  repo, work (build directory), tag (message prefix), optional $1: the
#        pip requirement extras to install, e.g. "[test]"
#   out: asan, ubsan (runtime paths), venv, vpy, site
PY=${PYTHON:-python3}
py=$(command -v "$PY")
CXX=${CXX:-g++}

# The runtimes of the compiler that CMake uses for the build.
runtime() {
  local f
  f=$("$CXX" -print-file-name="$1")
  if [ "$f" = "$1" ] || [ ! -e "$f" ]; then
    echo "$tag: $CXX has no $1" >&2
    exit 2
  fi
  readlink -f "$f"
}
asan=$(runtime libasan.so)
ubsan=$(runtime libubsan.so)

mkdir -p "$work"
venv=$work/venv
echo "$tag: $("$py" -c 'import sys; print(sys.version.split()[0])') ($py): fresh virtualenv in ${venv#$repo/}"
rm -rf "$venv"
"$py" -m venv "$venv"
vpy=$venv/bin/python
echo "$tag: pip install .${1:-} with TAVIK_SANITIZE=ON (build log: ${work#$repo/}/pip.log)"
start=$SECONDS
# A Debug build: -O1 -g from the sanitizer option, and assert() kept.
if ! env -u PYTHONPATH CXX="$CXX" TAVIK_SANITIZE=ON "$vpy" -m pip install --no-input \
      --config-settings=build-dir="$work/cmake" \
      --config-settings=cmake.build-type=Debug \
      "$repo${1:-}" >"$work/pip.log" 2>&1; then
  tail -n 60 "$work/pip.log"
  echo "$tag: installing the package failed" >&2
  exit 1
fi
echo "$tag: installed in $((SECONDS - start)) s"

# Every installed extension module must carry the instrumentation.
site=$("$vpy" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
for so in "$site"/tavik/datastructures/*.so; do
  if ! nm -D "$so" | grep -q ' U __asan_init' || ! nm -D "$so" | grep -q ' U __ubsan_handle'; then
    echo "$tag: $so was built without the sanitizers" >&2
    exit 1
  fi
done
