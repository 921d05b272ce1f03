"""Builds the test-only extension `_krenn_testing` and puts it on sys.path.

The shipped `krenn_python` is tested as installed; the test module links the
same frame code but is never part of the wheel.
"""

import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / f"testmod-{sys.implementation.cache_tag}-{sysconfig.get_platform()}"


def _build_test_module() -> None:
    BUILD.mkdir(parents=True, exist_ok=True)
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
    if not (BUILD / "CMakeCache.txt").exists() and not generator:
        try:
            subprocess.run(["ninja", "--version"], capture_output=True, check=True)
            configure += ["-G", "Ninja"]
        except (OSError, subprocess.CalledProcessError):
            pass
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(
        ["cmake", "--build", str(BUILD), "--parallel", "2"], check=True, stdout=subprocess.DEVNULL
    )


if os.environ.get("KRENN_TESTMOD_DIR"):
    sys.path.insert(0, os.environ["KRENN_TESTMOD_DIR"])
else:
    _build_test_module()
    sys.path.insert(0, str(BUILD))
TESTMOD_PATH = sys.path[0]
os.environ["KRENN_TESTMOD_PATH"] = TESTMOD_PATH


def run_python(code: str, timeout: float = 60) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter that sees the test module."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [TESTMOD_PATH, env.get("PYTHONPATH")]))
    return subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
        cwd=str(ROOT / "tests"),
    )


@pytest.fixture
def python_run():
    return run_python
