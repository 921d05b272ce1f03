"""Writes a module's stub from the declarations compiled into it.

    python krenn_stub.py <objcopy> <module file> <stub file>

Each declaration leaves a record in the module's .krenn_stub section, which
is never loaded; this reads the records, writes the stub, and takes the
section out of the module.
"""

import os
import re
import subprocess
import sys
import tempfile

SECTION = ".krenn_stub"
FIELD = "\x1f"
# Type names are written with their module (collections.abc.Sequence[int]);
# defaults, which are literals, may hold dots of their own.
LITERAL = re.compile(r"'(?:[^'\\]|\\.)*'|\"(?:[^\"\\]|\\.)*\"")
DOTTED = re.compile(r"\b[A-Za-z_]\w*(?:\.[A-Za-z_]\w*)+")


def modules_named(annotations: list[str]) -> list[str]:
    found = set()
    for text in annotations:
        for name in DOTTED.findall(LITERAL.sub("", text)):
            found.add(name.rpartition(".")[0])
    return sorted(found)


def docstring(text: str, indent: str) -> str:
    body = text.replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
    if body.endswith('"'):
        body = body[:-1] + '\\"'
    return f'{indent}"""{body}"""\n'


def render(records: list[list[str]]) -> str:
    modules = [r for r in records if r[0] == "module"]
    functions = {r[1]: r for r in records if r[0] == "function"}
    if len(modules) > 1:
        sys.exit(f"krenn_stub: {len(modules)} KRENN_MODULEs in one module")
    _, _name, doc, names = modules[0]
    order = [n.strip() for n in names.split(",")] if names else []
    out = docstring(doc, "") if doc else ""
    named = modules_named([f for r in functions.values() if r[1] in order for f in r[2:4]])
    if named:
        out += "\n" + "".join(f"import {m}\n" for m in named)
    out += "\n__all__ = [" + ", ".join(f'"{n}"' for n in order) + "]\n"
    for name in order:
        if name not in functions:
            sys.exit(f"krenn_stub: no declaration of {name} reached the module")
        _, _, params, result, fdoc = functions[name]
        out += f"\ndef {name}({params}) -> {result}:"
        out += "\n" + docstring(fdoc, "    ") if fdoc else " ...\n"
    return out


def main() -> None:
    objcopy, module, stub = sys.argv[1:]
    with tempfile.TemporaryDirectory() as tmp:
        raw = os.path.join(tmp, "stub")
        subprocess.run([objcopy, f"--dump-section={SECTION}={raw}", module], check=True)
        with open(raw, "rb") as f:
            data = f.read().decode()
    records = [r.split(FIELD) for r in data.split("\0") if r]
    # A module without KRENN_MODULE (its own PyInit) gets no stub.
    if any(r[0] == "module" for r in records):
        os.makedirs(os.path.dirname(stub) or ".", exist_ok=True)
        with open(stub, "w") as f:
            f.write(render(records))
    subprocess.run([objcopy, f"--remove-section={SECTION}", module], check=True)


if __name__ == "__main__":
    main()
