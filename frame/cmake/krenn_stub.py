"""Writes a module's stub from the declarations compiled into it.

    python krenn_stub.py <objcopy> <module file> <stub file>

Each declaration leaves a record in the module's .krenn_stub section, which
is never loaded; this reads the records, writes the stub, and takes the
section out of the module.
"""

import os
import subprocess
import sys
import tempfile

SECTION = ".krenn_stub"
FIELD = "\x1f"


def docstring(text: str, indent: str) -> str:
    """The doc as a triple-quoted literal whose value is the doc itself."""
    out = []
    for i, c in enumerate(text):
        if c == "\\":
            out.append("\\\\")
        elif c == '"' and (i + 1 == len(text) or text[i + 1] == '"'):
            # No three unescaped quotes in a row, and none before the closing ones.
            out.append('\\"')
        elif (c < " " and c != "\n") or c == "\x7f":
            out.append(f"\\x{ord(c):02x}")
        else:
            out.append(c)
    return f'{indent}"""{"".join(out)}"""\n'


def parse(data: bytes) -> list[list[str]]:
    """The records of a .krenn_stub section. A doc may hold any byte but NUL,
    the separator among them: it is the last field of a function's record, and
    the list of names, the module's last, holds none."""
    records = []
    for raw in data.split(b"\0"):
        if not raw:
            continue
        text = raw.decode("utf-8", errors="backslashreplace")
        if text.startswith("module" + FIELD):
            kind, name, rest = text.split(FIELD, 2)
            doc, names = rest.rsplit(FIELD, 1)
            records.append([kind, name, doc, names])
        else:
            records.append(text.split(FIELD, 4))
    return records


def render(records: list[list[str]]) -> str:
    modules = [r for r in records if r[0] == "module"]
    functions = {r[1]: r for r in records if r[0] == "function"}
    if len(modules) > 1:
        sys.exit(f"krenn_stub: {len(modules)} KRENN_MODULEs in one module")
    _, _name, doc, names = modules[0]
    # A listed name may be qualified (inner::g): its Python name is the last part.
    order = [n.strip().rsplit("::", 1)[-1] for n in names.split(",")] if names.strip() else []
    out = docstring(doc, "") if doc else ""
    if order:
        out += "\n__all__ = [" + ", ".join(f'"{n}"' for n in order) + "]\n"
    else:
        out += "\n__all__: list[str] = []\n"
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
            records = parse(f.read())
    # A module without KRENN_MODULE (its own PyInit) gets no stub.
    if any(r[0] == "module" for r in records):
        os.makedirs(os.path.dirname(stub) or ".", exist_ok=True)
        with open(stub, "w", encoding="utf-8") as f:
            f.write(render(records))
    subprocess.run([objcopy, f"--remove-section={SECTION}", module], check=True)


if __name__ == "__main__":
    main()
