"""Builds the test-only extension `_krenn_testing` and puts it on sys.path.

The shipped `krenn_python` is tested as installed; the test module links the
same frame code but is never part of the wheel.
"""

import importlib
import os
import subprocess
import sys
import sysconfig
from collections.abc import Iterator
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / f"testmod-{sys.implementation.cache_tag}-{sysconfig.get_platform()}"


def _build_test_module() -> None:
    configured = (BUILD / "CMakeCache.txt").exists()
    configure = [
        "cmake",
        "-S",
        str(ROOT),
        "-B",
        str(BUILD),
        f"-DPython_EXECUTABLE={sys.executable}",
        "-DKRENN_TEST_MODULE=ON",
        "-DKRENN_SHIPPED_MODULE=OFF",
        "-DCMAKE_BUILD_TYPE=" + os.environ.get("KRENN_TEST_BUILD_TYPE", "Release"),
    ]
    generator = os.environ.get("CMAKE_GENERATOR")
    if not configured and not generator:
        try:
            subprocess.run(["ninja", "--version"], capture_output=True, check=True)
            configure += ["-G", "Ninja"]
        except (OSError, subprocess.CalledProcessError):
            pass
    build = ["cmake", "--build", str(BUILD), "--parallel", "2"]
    for command in (configure, build):
        # The compiler's errors, on stderr, reach the terminal as they come.
        try:
            status = subprocess.run(command, stdout=subprocess.DEVNULL, check=False).returncode
            failure = f"exited with status {status}" if status else None
        except OSError as e:
            failure = f"{e} (pip install -r tests/requirements.txt brings cmake)"
        if failure:
            pytest.exit(
                f"building the test module failed: {' '.join(command)} {failure}",
                returncode=pytest.ExitCode.USAGE_ERROR,
            )
    # A finder that listed the folder before the build would miss the module.
    importlib.invalidate_caches()


if os.environ.get("KRENN_TESTMOD_DIR"):
    TESTMOD_PATH = os.environ["KRENN_TESTMOD_DIR"]
else:
    # An import that looks at a missing folder on sys.path leaves it marked as
    # empty for the rest of the process.
    BUILD.mkdir(parents=True, exist_ok=True)
    TESTMOD_PATH = str(BUILD)
sys.path.insert(0, TESTMOD_PATH)
os.environ["KRENN_TESTMOD_PATH"] = TESTMOD_PATH


@pytest.hookimpl(wrapper=True)
def pytest_sessionstart(session: pytest.Session) -> Iterator[None]:
    # Built here rather than on import, while pytest captures nothing, so the
    # line below shows without -s, under the session's header; the tests import
    # the module on collection, which comes next.
    yield
    if os.environ.get("KRENN_TESTMOD_DIR"):
        return
    where = BUILD.relative_to(ROOT)
    if (BUILD / "CMakeCache.txt").exists():
        line = f"bringing the test module _krenn_testing in {where} up to date"
    else:
        line = f"building the test module _krenn_testing in {where} (first run takes ~10 s)"
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    if reporter is not None:
        reporter.write_line(line)
    else:
        print(line, file=sys.__stderr__, flush=True)
    _build_test_module()


def run_python(code: str, timeout: float = 60, flags=()) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter that sees the test module."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [TESTMOD_PATH, env.get("PYTHONPATH")]))
    return subprocess.run(
        [sys.executable, *flags, "-c", code],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
        cwd=str(ROOT / "tests"),
    )


@pytest.fixture
def python_run():
    return run_python
