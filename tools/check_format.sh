#!/usr/bin/env bash
# Checks the formatting of the C++ (clang-format) and the Python (ruff) without
# touching a file; with --fix it rewrites them instead. Every check runs, and the
# exit status is non-zero if any of them failed or a tool is missing.
set -uo pipefail
cd "$(dirname "$0")/.."

fix=0
case "${1:-}" in
  "") ;;
  --fix) fix=1 ;;
  *) echo "usage: $0 [--fix]" >&2; exit 2 ;;
esac

status=0
cxx_dirs=(frame ext tests/testmod examples)
py_dirs=(tests bench frame/python frame/cmake examples)

if command -v clang-format >/dev/null; then
  # Majors differ in small ways, so name the one that judged.
  echo "== $(clang-format --version)"
  dirs=()
  for d in "${cxx_dirs[@]}"; do [[ -d $d ]] && dirs+=("$d"); done
  mapfile -t files < <(find "${dirs[@]}" -type f \
    \( -name '*.c' -o -name '*.cc' -o -name '*.cpp' -o -name '*.h' -o -name '*.hpp' \) | sort)
  if ((fix)); then
    clang-format -i "${files[@]}" || status=1
  else
    flagged=()
    for f in "${files[@]}"; do
      # The change it wants, as a diff: shorter than its per-line warnings.
      if ! clang-format "$f" | diff -u --label "$f" --label "$f (clang-format)" "$f" -; then
        flagged+=("$f")
      fi
    done
    if ((${#flagged[@]})); then
      echo "clang-format would change ${#flagged[@]} file(s):"
      printf '  %s\n' "${flagged[@]}"
      status=1
    else
      echo "clang-format: ${#files[@]} files clean"
    fi
  fi
else
  echo "clang-format not found; install it with: apt-get install -y clang-format" >&2
  status=1
fi

if command -v ruff >/dev/null; then
  ruff=(ruff)
elif python3 -m ruff --version >/dev/null 2>&1; then
  ruff=(python3 -m ruff)
else
  ruff=()
  echo "ruff not found; install it with: pip install -r tests/requirements.txt" >&2
  status=1
fi
if ((${#ruff[@]})); then
  echo "== $("${ruff[@]}" --version)"
  if ((fix)); then
    "${ruff[@]}" check --fix "${py_dirs[@]}" || status=1
    "${ruff[@]}" format "${py_dirs[@]}" || status=1
  else
    "${ruff[@]}" check "${py_dirs[@]}" || status=1
    "${ruff[@]}" format --check "${py_dirs[@]}" || status=1
  fi
fi

exit "$status"
