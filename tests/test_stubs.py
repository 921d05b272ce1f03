"""Signatures and stubs written from declarations, read back as Python reads a def."""

import ast
import importlib.util
import inspect
import os
import pydoc
from pathlib import Path

import pytest

import _krenn_testing as t

ROOT = Path(__file__).resolve().parent.parent
STUB = Path(os.environ["KRENN_TESTMOD_PATH"]) / "_krenn_testing-stubs" / "__init__.pyi"


@pytest.fixture(scope="module")
def module():
    return t.stubbed_module()  # once per process


@pytest.fixture(scope="module")
def stub():
    # Signatures as the stub's defs have them; docs from its syntax tree, as
    # 3.13 and newer clean docstrings when compiling.
    text = STUB.read_text(encoding="utf-8")
    namespace: dict = {}
    exec(compile(text, str(STUB), "exec"), namespace)
    tree = ast.parse(text)
    docs = {n.name: ast.get_docstring(n, clean=False) for n in tree.body if hasattr(n, "name")}
    return namespace, docs | {"": ast.get_docstring(tree, clean=False)}


def untyped(signature):
    return signature.replace(
        parameters=[p.replace(annotation=p.empty) for p in signature.parameters.values()],
        return_annotation=inspect.Signature.empty,
    )


def test_stub_declares_what_the_module_has(module, stub):
    defs, docs = stub
    assert module.__all__ == defs["__all__"] == ["greet", "scale", "maybe_str", "twice"]
    assert module.__doc__ == docs[""] == 'A module """with""" a doc\x1f.'
    for name in module.__all__:
        ours, declared = getattr(module, name), inspect.signature(defs[name])
        if ours.__text_signature__:
            assert inspect.signature(ours) == untyped(declared)
            assert ours.__doc__ == docs[name]
        else:  # a name the text signature cannot carry: the doc's first line
            assert ours.__doc__ == f"{name}{untyped(declared)}\n\n{docs[name]}"
    assert docs["maybe_str"] == '"""quoted""" \\ \\n\ttab\r\x01\x1f\x7f end"'
    assert inspect.signature(defs["maybe_str"]).return_annotation == str | None
    assert module.maybe_str(False) is None and module.twice(4) == 8


def test_non_ascii_defaults_and_names_as_a_def_shows_them(module):
    def greet(who="wörld ☃ 😀\x1f'"):
        pass

    assert inspect.signature(module.greet) == inspect.signature(greet)
    assert str(inspect.signature(module.greet)) == str(inspect.signature(greet))
    assert module.greet() == "wörld ☃ 😀\x1f'"
    assert "scale(größe, faktor=0.5)\n" in pydoc.render_doc(module.scale, renderer=pydoc.plaintext)
    with pytest.raises(ValueError, match="no signature found"):
        inspect.signature(module.scale)
    assert module.scale(größe=4) == module.scale(4, 0.5) == 2.0


def load_stub_writer():
    spec = importlib.util.spec_from_file_location("krenn_stub", ROOT / "frame/cmake/krenn_stub.py")
    writer = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(writer)
    return writer


@pytest.mark.parametrize(
    "doc",
    [b'"""', b'a"', b'""x"', b"back\\slash\\", b"\r\n\t\x01\x1f\x7f", b"\xff\xfe not utf-8", b""],
)
def test_stub_writer_escapes_any_doc(doc):
    writer = load_stub_writer()
    data = b"module\x1fm\x1f" + doc + b"\x1f\0function\x1fg\x1fx: int\x1fint\x1f" + doc + b"\0"
    text = writer.render(writer.parse(data))
    tree = ast.parse(text)
    expected = doc.decode(errors="backslashreplace")
    assert ast.get_docstring(tree, clean=False) == (expected or None)
    assert "__all__: list[str] = []" in text
