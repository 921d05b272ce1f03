"""Commands run for the tests that build and install into fresh environments."""

import os
import subprocess
from pathlib import Path


def run(args: list[str | Path], cwd: Path, timeout: float) -> subprocess.CompletedProcess[str]:
    # Nothing from the outer interpreter's path may leak into the fresh one.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    proc = subprocess.run(
        [str(a) for a in args],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
        check=False,
    )
    assert proc.returncode == 0, f"{args}\n{proc.stdout}\n{proc.stderr}"
    return proc
