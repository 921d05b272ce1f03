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
    the list of names, a module's last, holds none."""
    records = []
    for raw in data.split(b"\0"):
        if not raw:
            continue
        text = raw.decode("utf-8", errors="backslashreplace")
        if text.startswith(("module" + FIELD, "submodule" + FIELD)):
            kind, name, rest = text.split(FIELD, 2)
            doc, names = rest.rsplit(FIELD, 1)
            records.append([kind, name, doc, names])
        else:
            records.append(text.split(FIELD, 4))
    return records


# Where a type names a bound class by its C++ name: "~geo::Vec2~".
CLASS_REF = re.compile(r"~([^~]*)~")
# A dotted prefix of a type that needs its module imported: "collections.abc.Sequence".
MODULE_REF = re.compile(r"\b((?:[A-Za-z_][A-Za-z_0-9]*\.)+)[A-Za-z_][A-Za-z_0-9]*")
# A default's string literal, whose dots name no module.
LITERAL = re.compile(r"'(?:[^'\\]|\\.)*'|\"(?:[^\"\\]|\\.)*\"")


# Kinds whose records name a C++ type in their third field, as "~cpp::Name~".
TYPE_KINDS = ("class", "enum", "exception")
ITEM_KINDS = ("function", "constant", *TYPE_KINDS)


def resolve(text: str, types: dict[str, str], module: str) -> str:
    """Types named by their C++ names, as the module's stub names them: its
    own by their names, another module's by their dotted paths."""

    def name(m: re.Match[str]) -> str:
        dotted = types.get(m.group(1))
        if dotted is None:
            return "typing.Any"
        owner, _, short = dotted.rpartition(".")
        return short if owner == module else dotted

    return CLASS_REF.sub(name, text)


def render_function(name: str, record: list[str], indent: str = "", first: str = "") -> str:
    _, _, params, result, doc = record
    params = first + (", " + params if first and params else params)
    out = f"{indent}def {name}({params}) -> {result}:"
    return out + ("\n" + docstring(doc, indent + "    ") if doc else " ...\n")


# Special methods that fill the interpreter's slots take their operands by
# position only.
SLOT_METHODS = {"__eq__", "__ne__", "__lt__", "__le__", "__gt__", "__ge__", "__getitem__",
                "__setitem__", "__contains__", "__add__", "__sub__", "__mul__",
                "__truediv__", "__iadd__"}  # fmt: skip


# A binary operator's slot gives the class the reflected method too.
REFLECTED = {"__add__": "__radd__", "__sub__": "__rsub__", "__mul__": "__rmul__",
             "__truediv__": "__rtruediv__"}  # fmt: skip


def render_class(name: str, record: list[str], members: list[list[str]]) -> str:
    _, _, _, bases, doc = record
    # Its instances hold a C++ object: no other such class can share a subclass.
    out = "\n@typing_extensions.disjoint_base\n"
    out += f"class {name}({bases}):\n" if bases else f"class {name}:\n"
    body = docstring(doc, "    ") if doc else ""
    has_eq = has_hash = False
    counts: dict[str, int] = {}
    reflected: list[str] = []  # after the rest, so that overloads stay together
    for m in members:
        counts[m[1]] = counts.get(m[1], 0) + 1
    for m in members:
        member = m[1].split(".", 1)[1]
        has_eq |= member == "__eq__"
        has_hash |= member == "__hash__"
        if m[0] == "property":
            _, _, kind, writable, mdoc = m
            body += f"    @property\n    def {member}(self) -> {kind}:"
            body += "\n" + docstring(mdoc, "        ") if mdoc else " ...\n"
            if writable == "1":
                body += (
                    f"    @{member}.setter\n    def {member}(self, value: {kind}) -> None: ...\n"
                )
            continue
        if member in ("__eq__", "__ne__"):
            # object's signature: a narrower one breaks the override rule.
            m = m[:2] + [m[2].split(":", 1)[0] + ": object"] + m[3:]
        if member in SLOT_METHODS and m[2] and "/" not in m[2]:
            m = m[:2] + [m[2] + ", /"] + m[3:]
        overload = "    @typing.overload\n" if counts[m[1]] > 1 else ""
        if m[0] == "staticmethod":
            body += overload + "    @staticmethod\n" + render_function(member, m, "    ")
        else:
            body += overload + render_function(member, m, "    ", "self")
        if member in REFLECTED:
            reflected.append(overload + render_function(REFLECTED[member], m, "    ", "self"))
        if member == "__setitem__" and f"{name}.__delitem__" not in counts:
            # The slot that sets an item deletes one too (here: refuses to).
            key = m[2].split(",", 1)[0]
            reflected.append(f"    def __delitem__(self, {key}, /) -> None: ...\n")
    orderings = ("__lt__", "__le__", "__gt__", "__ge__")
    if any(f"{name}.{o}" in counts for o in orderings):
        # The comparison slot gives all of them; those not bound take nothing.
        for o in orderings:
            if f"{name}.{o}" not in counts:
                reflected.append(f"    def {o}(self, other: typing.Never, /) -> bool: ...\n")
    body += "".join(reflected)
    if has_eq and not has_hash:
        body += "    __hash__: typing.ClassVar[None]  # type: ignore[assignment]\n"
    return out + (body or "    ...\n")


def render_enum(name: str, record: list[str]) -> str:
    _, _, _, members, doc = record
    base, _, pairs = members.partition(":")
    out = f"\nclass {name}({base}):\n" + (docstring(doc, "    ") if doc else "")
    first: dict[str, str] = {}
    for pair in pairs.split(","):
        member, value = pair.split("=")
        # A value given twice is an alias of the first member with it.
        out += f"    {member} = {first.get(value, value)}\n"
        first.setdefault(value, member)
    return out


def render_exception(name: str, record: list[str]) -> str:
    _, _, _, base, doc = record
    out = f"\nclass {name}({base}):"
    return out + ("\n" + docstring(doc, "    ") if doc else " ...\n")


def listed(names: str) -> list[str]:
    return [n.strip() for n in names.split(",")] if names.strip() else []


def render_module(
    module: str, doc: str, order: list[str], items: dict[str, list[str]],
    members: dict[str, list[list[str]]], types: dict[str, str], submodules: set[str],
) -> str:  # fmt: skip
    body = ""
    used: list[list[str]] = []
    for name in order:
        if name in submodules:
            continue
        if name not in items:
            sys.exit(f"krenn_stub: no declaration of {name} reached the module")
        record = [resolve(field, types, module) for field in items[name]]
        kind = record[0]
        used.append(record)
        if kind == "function":
            body += "\n" + render_function(name, record)
        elif kind == "class":
            own = [[resolve(f, types, module) for f in m] for m in members.get(name, [])]
            used.extend(own)
            body += render_class(name, record, own)
        elif kind == "enum":
            body += render_enum(name, record)
        elif kind == "exception":
            body += render_exception(name, record)
        else:
            body += f"\n{name}: {record[2]}\n"
    typed = [f for r in used for f in r[2:4]]
    if "typing." in body:
        typed.append("typing.ClassVar")
    if any(r[0] == "class" for r in used):
        typed.append("typing_extensions.disjoint_base")
    imports = sorted(
        {m.group(1)[:-1] for f in typed for m in MODULE_REF.finditer(LITERAL.sub("", f))}
    )
    out = docstring(doc, "") if doc else ""
    lines = [f"import {m}" for m in imports]
    lines += [f"from . import {n} as {n}" for n in order if n in submodules]
    out += "".join(f"\n{line}" for line in lines) + ("\n" if lines else "")
    if order:
        out += "\n__all__ = [" + ", ".join(f'"{n}"' for n in order) + "]\n"
    else:
        out += "\n__all__: list[str] = []\n"
    return out + body


def render(records: list[list[str]]) -> str:
    """The module's own stub."""
    return render_package(records)["__init__.pyi"]


def render_package(records: list[list[str]]) -> dict[str, str]:
    """Each module's stub by its path in the stub package: the module's own
    at __init__.pyi, a submodule's at sub.pyi, or sub/__init__.pyi when it
    has submodules of its own."""
    modules = [r for r in records if r[0] == "module"]
    if len(modules) > 1:
        sys.exit(f"krenn_stub: {len(modules)} KRENN_MODULEs in one module")
    submodules = {r[1]: r for r in records if r[0] == "submodule"}
    items = {r[1]: r for r in records if r[0] in ITEM_KINDS}
    members: dict[str, list[list[str]]] = {}
    for r in records:
        if r[0] in ("method", "staticmethod", "property"):
            members.setdefault(r[1].split(".", 1)[0], []).append(r)

    # Each module's dotted name and listing, and the module each item is in.
    tree: list[tuple[str, str, list[str]]] = []
    owner: dict[str, str] = {}

    def walk(dotted: str, doc: str, order: list[str]) -> None:
        tree.append((dotted, doc, order))
        for name in order:
            owner[name] = dotted
            if name in submodules:
                sub = submodules[name]
                walk(f"{dotted}.{name}", sub[2], listed(sub[3]))

    _, root, doc, names = modules[0]
    walk(root, doc, listed(names))
    types = {r[2][1:-1]: f"{owner.get(r[1], root)}.{r[1]}" for r in items.values()
             if r[0] in TYPE_KINDS}  # fmt: skip
    parents = {dotted.rpartition(".")[0] for dotted, _, _ in tree}
    out = {}
    for dotted, doc, order in tree:
        parts = dotted.split(".")[1:]
        if parts and dotted not in parents:
            path = "/".join(parts) + ".pyi"
        else:
            path = "/".join([*parts, "__init__.pyi"])
        out[path] = render_module(dotted, doc, order, items, members, types, set(submodules))
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
        folder = os.path.dirname(stub) or "."
        os.makedirs(folder, exist_ok=True)
        # The folder is the build's: an earlier build's submodules go.
        for here, _, files in os.walk(folder):
            for name in files:
                if name.endswith(".pyi") and os.path.join(here, name) != stub:
                    os.remove(os.path.join(here, name))
        for path, text in render_package(records).items():
            target = stub if path == "__init__.pyi" else os.path.join(folder, path)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "w", encoding="utf-8") as f:
                f.write(text)
    subprocess.run([objcopy, f"--remove-section={SECTION}", module], check=True)


if __name__ == "__main__":
    main()
