#!/usr/bin/env bash
# Heap allocations per successful sum_as_string call, counted by valgrind with
# the interpreter's allocator routed to malloc. Expect 1, the result str, and
# 0 for a one-digit result, which is the interpreter's cached str.
# Uses the interpreter that `python3` names (an activated virtual environment's
# included), or $PYTHON; krenn_python must be importable there.
set -euo pipefail

die() { echo "heap_allocs.sh: $*" >&2; exit 1; }

command -v valgrind >/dev/null || die "valgrind not found; install it with: apt-get install -y valgrind"
# sys.executable as it stands: resolving a virtual environment's symlink would
# give the base interpreter, which does not see the environment's packages.
py=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)') ||
  die "cannot run ${PYTHON:-python3}"
where=$("$py" -c 'import krenn_python; print(krenn_python.__file__)' 2>&1) ||
  die "$py cannot import krenn_python (pip install . first):"$'\n'"$where"
echo "$py, krenn_python from $where"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
script=$tmp/calls.py
cat >"$script" <<'PY'
import itertools, sys
from krenn_python import sum_as_string as f
n, kind = int(sys.argv[1]), sys.argv[2]
a, b = 12345678901234567, 76543210987654321
call = {"pos": lambda: f(a, b), "kw": lambda: f(a=a, b=b), "mix": lambda: f(a, b=b),
        "digit": lambda: f(1, 2)}[kind]
for _ in itertools.repeat(None, n):
    call()
PY

allocs() {
  local log=$tmp/valgrind-$1-$2.log count
  if ! PYTHONMALLOC=malloc valgrind "$py" "$script" "$1" "$2" >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    die "valgrind run of $2 with $1 calls failed (above, the end of its output)"
  fi
  count=$(sed -n 's/.*total heap usage: \([0-9,]*\) allocs.*/\1/p' "$log" | tr -d ,)
  [[ -n $count ]] || { tail -n 20 "$log" >&2; die "no heap summary in valgrind's output"; }
  echo "$count"
}
for kind in pos kw mix digit; do
  low=$(allocs 1000 "$kind")
  high=$(allocs 3000 "$kind")
  awk -v k="$kind" -v d=$((high - low)) 'BEGIN { printf "%s: %.3f allocations per call\n", k, d / 2000 }'
done
