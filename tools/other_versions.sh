#!/usr/bin/env bash
# Builds and tests the package on every other CPython 3.x (3.12 and newer)
# that pyenv holds, each in a fresh virtual environment.
set -euo pipefail
cd "$(dirname "$0")/.."
root=${PYENV_ROOT:-$HOME/.pyenv}
found=0
for py in "$root"/versions/3.1[2-9]*/bin/python3; do
  [ -x "$py" ] || continue
  found=1
  version=$("$py" -c 'import platform; print(platform.python_version())')
  venv=$(mktemp -d)
  echo "== CPython $version"
  "$py" -m venv "$venv"
  "$venv/bin/pip" install -q -r tests/requirements.txt .
  "$venv/bin/python" -m pytest -q -m "not slow"
  rm -rf "$venv"
done
[ "$found" = 1 ] || echo "no other CPython versions found; skipped"
