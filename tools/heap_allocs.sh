#!/usr/bin/env bash
# Heap allocations per successful sum_as_string call, counted by valgrind with
# the interpreter's allocator routed to malloc. Expect 1, the result str, and
# 0 for a one-digit result, which is the interpreter's cached str.
set -euo pipefail
py=$(python3 -c 'import sys; print(sys.executable)')
py=$(readlink -f "$py")
script=$(mktemp --suffix=.py)
trap 'rm -f "$script"' EXIT
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
  PYTHONMALLOC=malloc valgrind "$py" "$script" "$1" "$2" 2>&1 |
    sed -n 's/.*total heap usage: \([0-9,]*\) allocs.*/\1/p' | tr -d ,
}
for kind in pos kw mix digit; do
  low=$(allocs 1000 "$kind")
  high=$(allocs 3000 "$kind")
  awk -v k="$kind" -v d=$(( high - low )) 'BEGIN { printf "%s: %.3f allocations per call\n", k, d / 2000 }'
done
