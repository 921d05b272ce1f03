"""Text forms of objects, NUL-terminated texts, function objects and __all__."""

import sys
import types

import pytest

import _krenn_testing as t


@pytest.mark.parametrize(
    "text, owned, in_place",
    [
        (b"name\0", False, True),  # stored with its NUL: used in place
        (b"name", True, False),  # copied with a NUL added
        (b"", False, False),  # the static empty text
        (b"\0", False, True),
    ],
)
def test_c_text(text, owned, in_place):
    got_owned, got_in_place, value = t.make_c_text(text, "msg")
    assert (got_owned, got_in_place) == (owned, in_place)
    assert value == text.rstrip(b"\0")


@pytest.mark.parametrize("text", [b"na\0me\0", b"na\0me", b"\0\0"])
def test_c_text_refuses_inner_nul(text):
    with pytest.raises(ValueError, match="^the message$"):
        t.make_c_text(text, "the message")


@pytest.mark.parametrize(
    "name, doc, message",
    [
        (b"f\0x", b"doc\0", "function name cannot contain NUL byte."),
        (b"f\0x", b"d\0oc", "function name cannot contain NUL byte."),  # name goes first
        (b"f", b"d\0oc", "function doc cannot contain NUL byte."),
    ],
)
def test_function_texts_with_nul(name, doc, message):
    with pytest.raises(ValueError) as info:
        t.new_function(name, doc, sys.modules[__name__])
    assert str(info.value) == message


def test_new_function_binds_to_module_and_adds_to_all():
    module = types.ModuleType("fresh")
    f = t.new_function(b"g", b"g(x)\n--\n\nDoc of g.", module)
    assert f.__self__ is module and f.__module__ == "fresh" and f.__doc__ == "Doc of g."
    assert f.__text_signature__ == "(x)"
    t.add_function(module, f)
    assert module.__all__ == ["g"] and module.g is f
    f2 = t.new_function(b"h\0", b"", module)
    assert f2.__doc__ is None
    t.add_function(module, f2)
    assert module.__all__ == ["g", "h"]


def test_module_all():
    module = types.ModuleType("m")
    created = t.module_all(module)
    assert created == [] and module.__all__ is created
    module.__all__ = ("x",)
    with pytest.raises(TypeError) as info:
        t.module_all(module)
    assert str(info.value) == "'tuple' object cannot be converted to 'PyList'"

    class Strict(types.ModuleType):
        def __getattr__(self, name):
            raise KeyError(name)

    with pytest.raises(KeyError):
        t.module_all(Strict("s"))


def test_module_name():
    assert t.module_name(types.ModuleType("caf\u00e9")) == "caf\u00e9"
    with pytest.raises(TypeError, match="bad argument type"):
        t.module_name(object())


@pytest.mark.parametrize(
    "text, expected, owned",
    [
        ("plain", "plain", False),
        ("a\ud800b", "a\ufffd\ufffd\ufffdb", True),
        ("\udfff", "\ufffd" * 3, True),
        ("\U0001f600", "\U0001f600", False),
    ],
)
def test_text_lossy(text, expected, owned):
    assert t.text_lossy(text) == (expected, owned)


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize(
    "obj, target, message",
    [
        (5, "PyString", "'int' object cannot be converted to 'PyString'"),
        (Outer.Inner(), "PyList", "'Outer.Inner' object cannot be converted to 'PyList'"),
    ],
)
def test_conversion_error_text(obj, target, message):
    handle = t.err_new("conversion", type(obj), target)
    with pytest.raises(TypeError) as info:
        t.err_raise(handle)
    assert str(info.value) == message


def test_conversion_error_without_type_name():
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise RuntimeError("no name")
            return super().__getattribute__(name)

    handle = t.err_new("conversion", Meta("X", (), {}), "PyString")
    with pytest.raises(TypeError) as info:
        t.err_raise(handle)
    assert (
        str(info.value)
        == "'<failed to extract type name>' object cannot be converted to 'PyString'"
    )


def test_extract_text():
    assert t.extract_text("x") == "x"
    with pytest.raises(TypeError, match="'bytes' object cannot be converted to 'PyString'"):
        t.extract_text(b"x")
    with pytest.raises(UnicodeEncodeError):
        t.extract_text("\ud800")


class BadStr:
    def __str__(self):
        raise ValueError("no str")


def test_display_object(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    assert t.display_object(42) == "42"
    assert t.display_object("a\ud800") == "a\ufffd\ufffd\ufffd"
    assert t.display_object(BadStr()) == "<unprintable BadStr object>"
    assert len(seen) == 1 and type(seen[0].exc_value) is ValueError
    assert type(seen[0].object) is BadStr


def test_display_object_with_non_str_qualname(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)

    class Meta(type):
        def __getattribute__(cls, name):
            return 5 if name == "__qualname__" else super().__getattribute__(name)

    Odd = Meta("Odd", (), {"__str__": BadStr.__str__})
    assert t.display_object(Odd()) == "<unprintable object>"
    assert len(seen) == 1


def test_debug_object():
    assert t.debug_object("x") == "'x'"

    class BadRepr:
        def __repr__(self):
            raise ValueError

    with pytest.raises(RuntimeError, match="formatting failed"):
        t.debug_object(BadRepr())


def test_debug_error_forms():
    expected = (
        "PyErr { type: <class 'SystemError'>, value: SystemError('attempted to fetch "
        "exception but none was set'), traceback: None }"
    )
    assert t.err_debug(t.err_fetch()) == expected
    text, *states = t.err_debug_native_thread()
    assert text == expected
    assert states == [0, 0, 0, 0]  # the native thread is left as it was


def test_debug_error_with_traceback():
    try:
        raise KeyError("k")
    except KeyError as e:
        handle = t.err_new("from_value", e)
    assert t.err_debug(handle).startswith(
        "PyErr { type: <class 'KeyError'>, value: KeyError('k'), traceback: Some(<traceback object"
    )


@pytest.mark.parametrize("name", ["__name__", "__all__", "__qualname__"])
def test_interned_names_are_made_once(name):
    first = t.interned(name)
    assert first == name
    assert t.interned(name) is first
    assert sys.intern(name) is first
