"""Fails a module's build when it leaves one of the frame's names undefined.

    python krenn_check_symbols.py <nm> <module file>

A shared object links with undefined symbols, to be found when it is loaded;
one of the frame's, or a declaration's that never got defined, would only show
as an ImportError. This names them at build time and removes the module.
"""

import os
import re
import subprocess
import sys

# A krenn:: name, the return type of a function template before it if any.
KRENN_NAME = re.compile(r"^(?:[^(]* )?krenn::")
# A declaration's object, named in a namespace: acc::twice_spec. Functions
# (their names end in a parameter list) are left to the libraries they link.
DECLARATION = re.compile(r"::\w*_(?:spec|item)$")


def undefined(nm: str, module: str, *flags: str) -> list[str]:
    # -p keeps the symbol table's order, so raw and demangled lines pair up.
    out = subprocess.run(
        [nm, "-u", "-p", *flags, module], capture_output=True, text=True, check=True
    ).stdout
    # Weak references ("w") may stay undefined: the code checks them first.
    return [line.split(maxsplit=1)[1] for line in out.splitlines() if line.split()[:1] == ["U"]]


def is_krenn(raw: str, name: str) -> bool:
    return (
        raw.startswith("krenn_")
        or KRENN_NAME.match(name) is not None
        or DECLARATION.search(name) is not None
    )


def main() -> None:
    nm, module = sys.argv[1:]
    raw = undefined(nm, module)
    names = undefined(nm, module, "-C")
    pairs = zip(raw, names, strict=True)
    missing = [(n, r) for r, n in pairs if is_krenn(r.split("@", 1)[0], n)]
    if not missing:
        return
    os.remove(module)
    lines = "\n".join(f"  {n}" + (f" ({r})" if r != n else "") for n, r in missing)
    sys.exit(
        f"krenn: {os.path.basename(module)} leaves undefined what no library will define, so it"
        f" could not be imported:\n{lines}\nEach name listed in KRENN_MODULE needs its"
        " KRENN_FUNCTION, visible from where KRENN_MODULE is written."
    )


if __name__ == "__main__":
    main()
