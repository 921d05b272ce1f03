#!/usr/bin/env bash
# Reference leaks: the suite on Debian's debug interpreter (python3.11-dbg),
# against krenn_python and _krenn_testing built for it, each test rerun by
# tools/refleak_plugin.py until its reference and block totals settle.
# Usage: tools/refleak.sh [pytest arguments]   (e.g. tests/test_stress.py)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dbg=${PYTHON_DBG:-python3.11-dbg}
if ! command -v "$dbg" >/dev/null; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3.11-dbg >/dev/null
fi

venv=$root/build/refleak-venv
if [[ ! -x $venv/bin/python ]]; then "$dbg" -m venv "$venv"; fi
if ! "$venv/bin/python" -c 'import pytest, hypothesis' 2>/dev/null; then
  "$venv/bin/python" -m pip install -q "pytest>=8" "hypothesis>=6"
fi

build=$root/build/refleak
gen=()
if [[ ! -f $build/CMakeCache.txt ]] && command -v ninja >/dev/null; then gen=(-G Ninja); fi
# CMakeLists.txt sees the debug interpreter and builds against its pyconfig.h;
# the check after the build makes sure both modules count references.
cmake -S "$root" -B "$build" "${gen[@]}" -DPython_EXECUTABLE="$venv/bin/python" \
  -DKRENN_TEST_MODULE=ON -DKRENN_SHIPPED_MODULE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --parallel 2 >/dev/null
for so in "$build"/*.so; do
  [[ $(nm -D "$so") == *" U _Py_RefTotal"* ]] ||
    { echo "refleak.sh: $so does not count references (built without Py_DEBUG)" >&2; exit 2; }
done

cd "$root"
exec env PYTHONPATH="$build:$root/tools" KRENN_TESTMOD_DIR="$build" \
  "$venv/bin/python" -P -m pytest -p refleak_plugin -p no:cacheprovider "$@"
