"""The frame's layers: no include runs upward, and no public header includes a
private one."""

import re
from pathlib import Path

FRAME = Path(__file__).resolve().parents[1] / "frame"
# Bottom up; a file's layer is the one naming its stem.
LAYERS = [
    {"runtime", "text", "utf8"},
    {"pool"},
    {"strings", "once"},
    {"error_state", "error", "error_of", "format", "panic_exception"},
    {"arguments", "arguments_text"},
    {"converter", "boolean", "integers", "floats", "str", "bytes", "object", "objects"}
    | {"optional", "conversion", "checks", "buffer", "type_name"}
    | {"elements", "containers", "maps", "tuples", "variant", "filesystem", "chrono"},
    {"boundary", "cpp_exceptions", "without_gil", "callback", "python_error", "views"},
    {"module", "module_names", "decimal"},
    {"function"},
    {"class", "class_impl"},
    {"enum", "exception", "constant", "submodule"},
    {"krenn"},
]
INCLUDE = re.compile(r'^#include "(?:krenn/)?([\w]+)\.hpp"', re.MULTILINE)


def layer(stem: str) -> int:
    (index,) = [i for i, names in enumerate(LAYERS) if stem in names]
    return index


def test_includes_run_downward_and_public_headers_stay_public() -> None:
    files = sorted(FRAME.glob("include/krenn/*.hpp")) + sorted(FRAME.glob("src/*.[ch]pp"))
    assert {f.stem for f in files} == set().union(*LAYERS)
    wrong = []
    for f in files:
        for stem in INCLUDE.findall(f.read_text()):
            public = (FRAME / "include" / "krenn" / f"{stem}.hpp").exists()
            if layer(stem) > layer(f.stem) or (f.parent.name == "krenn" and not public):
                wrong.append(f"{f.relative_to(FRAME)} includes {stem}.hpp")
    assert not wrong
