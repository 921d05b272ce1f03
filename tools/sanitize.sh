#!/usr/bin/env bash
# The whole pytest suite against AddressSanitizer + UBSan builds of krenn_python
# and _krenn_testing, run by the ordinary interpreter with the runtime preloaded.
# A report from any process, children of the tests included, fails the run.
# Usage: tools/sanitize.sh [pytest arguments]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
py=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')
build=$root/build/sanitize
gen=()
if [[ ! -f $build/CMakeCache.txt ]] && command -v ninja >/dev/null; then gen=(-G Ninja); fi

cmake -S "$root" -B "$build" "${gen[@]}" -DPython_EXECUTABLE="$py" \
  -DKRENN_SANITIZE=ON -DKRENN_TEST_MODULE=ON -DKRENN_SHIPPED_MODULE=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --parallel 2 >/dev/null

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/site" >/dev/null

# The runtime the instrumented modules were linked with; libstdc++ comes next
# so that its __cxa_throw interceptor finds the real one when panics are thrown.
asan=$(readlink -f "$(c++ -print-file-name=libasan.so)")
ubsan=$(readlink -f "$(c++ -print-file-name=libubsan.so)")
stdcxx=$(readlink -f "$(c++ -print-file-name=libstdc++.so)")
[[ -f $asan && -f $ubsan && -f $stdcxx ]] || {
  echo "sanitize.sh: no libasan/libubsan/libstdc++ found" >&2
  exit 2
}

# Only Python processes run under the runtime: compilers, shells and nm that
# tests start are not under test and leak at exit by design. Every Python
# process takes the preload out of its environment, and the interpreter under
# test starts further interpreters through a wrapper that puts it back. The
# hook is a sitecustomize on PYTHONPATH, which a virtual environment reads too
# (it skips the user site); the interpreter under test is told by its path.
mkdir -p "$tmp/bin" "$tmp/custom" "$tmp/reports"
# The wrapper names the hook's folder itself: a test may clear PYTHONPATH.
printf '#!/bin/sh\nPYTHONPATH="%s${PYTHONPATH:+:$PYTHONPATH}" LD_PRELOAD="$KRENN_SANITIZER_PRELOAD" exec "%s" "$@"\n' \
  "$tmp/custom" "$py" >"$tmp/bin/python"
chmod +x "$tmp/bin/python"
# orjson, which mypy takes when it is there, leaks its import-time objects;
# without it mypy falls back to json.
# UBSan's runtime sits beside ASan's, and its own log_path reaches ASan's copy
# of the setter: UBSan would report to stderr, where a test's child or a daemon
# thread at exit (exit status 0) hides it. The hook sets UBSan's own path.
cat >"$tmp/custom/sitecustomize.py" <<PY
import os, sys
if os.environ.pop("LD_PRELOAD", None) is not None and sys.executable == "$py":
    sys.executable = "$tmp/bin/python"
    sys.modules["orjson"] = None
    import ctypes, re
    _log = re.search(r"(?:^|:)log_path=([^:]*)", os.environ.get("UBSAN_OPTIONS", ""))
    if _log:
        ctypes.CDLL("$ubsan").__sanitizer_set_report_path(os.fsencode(_log[1]))
PY

reports=$tmp/reports
run=(env LD_PRELOAD="$asan:$stdcxx" KRENN_SANITIZER_PRELOAD="$asan:$stdcxx"
  PYTHONMALLOC=malloc
  ASAN_OPTIONS="detect_leaks=1:log_path=$reports/asan"
  LSAN_OPTIONS="suppressions=$root/tools/lsan.supp:print_suppressions=0"
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
  PYTHONPATH="$tmp/custom:$tmp/site${PYTHONPATH:+:$PYTHONPATH}" KRENN_TESTMOD_DIR="$build" "$py")

# The suite must see the instrumented builds, not the pip-installed module.
"${run[@]}" - "$tmp/site" "$build" <<'PY'
import sys
import krenn_python
sys.path.insert(0, sys.argv[2])
import _krenn_testing
assert krenn_python.__file__.startswith(sys.argv[1]), krenn_python.__file__
assert _krenn_testing.__file__.startswith(sys.argv[2]), _krenn_testing.__file__
PY

status=0
"${run[@]}" -m pytest -p no:cacheprovider "$@" || status=$?

# Clean processes write no log: any file here is a finding.
if compgen -G "$reports/*" >/dev/null; then
  echo "sanitize.sh: sanitizer reports:" >&2
  cat "$reports"/* >&2
  exit 1
fi
echo "sanitize.sh: no sanitizer findings"
exit "$status"
