"""Declarations that must not compile, each stopped with a sentence naming the mistake."""

import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

pytestmark = pytest.mark.slow

ROOT = Path(__file__).resolve().parent.parent

SOURCE = """
#include <krenn/krenn.hpp>
#include <complex>
using namespace krenn::literals;
namespace inner {
int g() { return 0; }
KRENN_FUNCTION(g, "");
}  // namespace inner
int f() { return 0; }
KRENN_FUNCTION(f, "");
%s
"""


def one(param_type: str, declared: str, name: str = "h", doc: str = '""') -> str:
    return f"int {name}({param_type}) {{ return 0; }}\nKRENN_FUNCTION({name}, {doc}, {declared});"


FITS = "a default must fit its parameter's type: "

CASES = {
    "int default 1.5": (one("int", '"n"_a = 1.5'), FITS + "an integer parameter's default"),
    "int default true": (one("long", '"n"_a = true'), FITS + "an integer parameter's default"),
    "int out of range": (one("std::uint8_t", '"n"_a = 256'), FITS + "the integer is out"),
    "optional out of range": (
        one("std::optional<std::uint64_t>", '"n"_a = -1'),
        FITS + "the integer is out",
    ),
    "bool default 1": (one("bool", '"n"_a = 1'), FITS + "a bool parameter's default"),
    "float default 1e15": (one("float", '"n"_a = 1e15'), FITS + "the number does not survive"),
    "float default str": (one("double", '"n"_a = "1"'), FITS + "a float parameter's default"),
    "bytes default str": (one("krenn::Bytes", '"n"_a = "abc"'), FITS + "a string literal default"),
    "str default not utf8": (
        one("std::string_view", '"n"_a = "\\xff"'),
        FITS + "a string literal default is valid UTF-8",
    ),
    "name with space": (one("int", '"a b"_a'), "a parameter name must be a Python identifier"),
    "name first digit": (one("int", '"1a"_a'), "a parameter name must be a Python identifier"),
    "name not utf8": (one("int", '"a\\xc3"_a'), "a parameter name must be a Python identifier"),
    "name keyword": (one("int", '"lambda"_a'), "a parameter name must not be a Python keyword"),
    "name None": (one("int", '"None"_a'), "a parameter name must not be a Python keyword"),
    "name empty": (one("int", '""_a'), "a parameter name must not be empty"),
    "name twice": (
        'int h(int, int) { return 0; }\nKRENN_FUNCTION(h, "", "a"_a, "a"_a);',
        "a parameter name is declared twice",
    ),
    "function keyword": (one("int", '"x"_a', name="pass"), "must not be a Python keyword"),
    "doc with NUL": (one("int", '"x"_a', doc='"a\\0b"'), "a doc must not hold a NUL byte"),
    "doc not utf8": (one("int", '"x"_a', doc='"\\xe9t\\xe9"'), "a doc must be valid UTF-8"),
    "no param converter": (
        one("std::complex<double>", '"v"_a'),
        "no krenn::Converter for this parameter type; specialize krenn::Converter<T>",
    ),
    "no result converter": (
        'std::complex<double> h() { return {}; }\nKRENN_FUNCTION(h, "");',
        "no krenn::Converter for this result type",
    ),
    "enum value of another enum": (
        'enum class E { a };\nenum class F { b };\nKRENN_ENUM(E, E, "", krenn::value(F::b, "B"));',
        "KRENN_ENUM takes krenn::value(CppEnum::x",
    ),
    "exception not std": (
        'struct X {};\nKRENN_EXCEPTION(X, X, PyExc_ValueError, "");',
        "KRENN_EXCEPTION binds a class derived from std::exception",
    ),
    "listed twice": ('KRENN_MODULE(m, "", f, g, g);', "listed twice in KRENN_MODULE"),
    "listed qualified": ('KRENN_MODULE(m, "", inner::g);', "by their Python names"),
    "module doc NUL": ('KRENN_MODULE(m, "a\\0", f);', "a module doc must not hold a NUL byte"),
    "view without the GIL": (
        one("krenn::Sequence<int>", '"xs"_a, krenn::without_gil'),
        "krenn::without_gil cannot take a view of a Python container",
    ),
    "view of spans": (
        one("krenn::Sequence<std::span<const double>>", '"xs"_a'),
        "a type whose value lives in per-call storage (a span of a buffer) cannot be one",
    ),
    "view of views": (
        one("krenn::Sequence<krenn::Sequence<int>>", '"xs"_a'),
        "a view of a Python container (krenn::Sequence, krenn::Mapping) is a parameter",
    ),
    "fits": (
        "\n".join(
            [
                one("double", '"n"_a = 1e15'),
                one("std::string", '"s"_a = "é\\n"', name="k"),
                one("std::optional<bool>", '"b"_a = false', name="l"),
                one("int", '"é_1"_a = -3', name="q"),
                one("std::optional<krenn::Mapping<std::string_view, int>>", '"d"_a', name="r"),
                'KRENN_MODULE(m, "doc", f, g, h, k, l, q, r);',
            ]
        ),
        None,
    ),
}


@pytest.mark.parametrize("code, error", CASES.values(), ids=CASES.keys())
def test_declaration_mistakes_do_not_compile(tmp_path, code, error):
    compiler = shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    source = tmp_path / "m.cpp"
    source.write_text(SOURCE % code)
    include = [f"-I{ROOT / 'frame' / 'include'}", f"-I{sysconfig.get_paths()['include']}"]
    flags = ["-std=c++23", "-fsyntax-only", "-Wall", "-Wextra", "-Werror"]
    run = subprocess.run(
        [compiler, *flags, *include, str(source)], capture_output=True, text=True, check=False
    )
    if error is None:
        assert run.returncode == 0, run.stderr
    else:
        assert run.returncode != 0 and error in run.stderr, run.stderr
        if "Converter" in error:
            assert "ConverterFor<std::complex<double>" in run.stderr
