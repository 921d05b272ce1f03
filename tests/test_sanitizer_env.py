"""Under tools/sanitize.sh the ASan runtime is in the interpreters under test
and never in the tools they start: compilers and shells leak at exit by design,
and a report from one would fail the run."""

import os
import re
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


def test_report_from_a_daemon_thread_at_exit_is_logged(tmp_path):
    # The job fails on any file in its report folder; this child's reports go
    # to a folder of its own.
    env = dict(os.environ)
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        env[name] = re.sub(r"log_path=[^:]*", f"log_path={tmp_path}/{name}", env[name])
    code = """if True:
        import atexit, os, sys, threading, time
        sys.path.insert(0, os.environ["KRENN_TESTMOD_PATH"])
        import _krenn_testing as t
        threading.Thread(target=t.overflow_without_gil, args=(0.2, 1), daemon=True).start()
        time.sleep(0.05)  # the thread is in the body, which faults as the process exits
        atexit.register(time.sleep, 1)
    """
    subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, timeout=60)
    reports = "".join(path.read_text() for path in tmp_path.iterdir())
    assert "runtime error: signed integer overflow" in reports
