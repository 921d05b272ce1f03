"""What a type checker sees of krenn_python: the stubs the wheel installs."""

import importlib.metadata
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is not installed: pip install -r tests/requirements.txt")

STUB_IN_WHEEL = "krenn_python-stubs/__init__.pyi"
ERROR_CODE = re.compile(r"^\S+:\d+: error: .*\[([a-z-]+)\]$", re.MULTILINE)


def run_module(cwd: Path, *args: str) -> subprocess.CompletedProcess[str]:
    # MYPYPATH would shadow the installed stubs with whatever it points at.
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )


@pytest.fixture
def empty_config(tmp_path: Path) -> Path:
    # Our own config, so none above the temp dir or in the home dir applies.
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\n")
    return config


def test_wheel_installs_the_stub_written_from_the_declarations() -> None:
    files = importlib.metadata.files("krenn_python") or []
    installed = [f for f in files if f.as_posix() == STUB_IN_WHEEL]
    assert installed, f"the installed krenn_python has no {STUB_IN_WHEEL}"
    assert Path(installed[0].locate()).read_text() == textwrap.dedent(
        '''\
        """A Python module implemented in C++."""

        __all__ = ["sum_as_string"]

        def sum_as_string(a: int, b: int) -> str:
            """Formats the sum of two numbers as string."""
        '''
    )


def test_stubtest_agrees_with_the_runtime(tmp_path: Path, empty_config: Path) -> None:
    proc = run_module(
        tmp_path, "mypy.stubtest", "--mypy-config-file", str(empty_config), "krenn_python"
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


@pytest.mark.parametrize(
    "body, expected_codes",
    [
        pytest.param(
            """
            first: str = sum_as_string(1, 2)
            second: str = sum_as_string(a=2**64 - 1, b=1)
            """,
            [],
            id="accepts-positional-and-keyword-calls",
        ),
        pytest.param('sum_as_string("1", 2)', ["arg-type"], id="rejects-str-argument"),
        pytest.param("total: int = sum_as_string(1, 2)", ["assignment"], id="result-is-str"),
        pytest.param("sum_as_string(1, 2, c=3)", ["call-arg"], id="rejects-unknown-keyword"),
        pytest.param(
            "from krenn_python import PanicException", ["attr-defined"], id="panic-not-exported"
        ),
    ],
)
def test_mypy_strict_on_user_code(
    tmp_path: Path, empty_config: Path, body: str, expected_codes: list[str]
) -> None:
    script = tmp_path / "user.py"
    script.write_text("from krenn_python import sum_as_string\n" + textwrap.dedent(body))
    proc = run_module(
        tmp_path,
        "mypy",
        "--strict",
        f"--config-file={empty_config}",
        f"--cache-dir={tmp_path / '.mypy_cache'}",
        str(script),
    )
    output = proc.stdout + proc.stderr
    assert ERROR_CODE.findall(proc.stdout) == expected_codes, output
    assert proc.returncode == (1 if expected_codes else 0), output
