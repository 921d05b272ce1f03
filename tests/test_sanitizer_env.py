"""Under tools/sanitize.sh the ASan runtime is in the interpreters under test
and never in the tools they start: compilers and shells leak at exit by design,
and a report from one would fail the run."""

import subprocess
import sys
from pathlib import Path

import pytest


def _has_runtime(maps: str) -> bool:
    return "libasan" in maps


pytestmark = pytest.mark.skipif(
    not _has_runtime(Path("/proc/self/maps").read_text()), reason="runs under tools/sanitize.sh"
)

SHOW_MAPS = "cat /proc/$$/maps"
PY_SHOW_MAPS = "import sys; sys.stdout.write(open('/proc/self/maps').read())"
# A Python child starting a tool, as python -m build starts cmake and g++.
PY_RUNS_TOOL = f"import subprocess; subprocess.run(['sh', '-c', {SHOW_MAPS!r}])"


@pytest.mark.parametrize(
    "args, preloaded",
    [
        pytest.param(["sh", "-c", SHOW_MAPS], False, id="tool"),
        pytest.param([sys.executable, "-c", PY_SHOW_MAPS], True, id="python"),
        pytest.param([sys.executable, "-c", PY_RUNS_TOOL], False, id="python-starts-tool"),
    ],
)
def test_runtime_only_in_python_under_test(args, preloaded):
    maps = subprocess.run(args, capture_output=True, text=True, check=True).stdout
    assert maps, "no memory map read"
    assert _has_runtime(maps) == preloaded
