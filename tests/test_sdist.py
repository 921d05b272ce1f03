"""The sdist alone is enough: it builds and installs into a fresh environment."""

import sys
import tarfile
import venv
from pathlib import Path, PurePosixPath

import pytest

from fresh_env import run

pytest.importorskip("build", reason="build is not installed: pip install -r tests/requirements.txt")

pytestmark = pytest.mark.slow

ROOT = Path(__file__).resolve().parents[1]


@pytest.fixture(scope="module")
def sdist(tmp_path_factory: pytest.TempPathFactory) -> Path:
    out = tmp_path_factory.mktemp("dist")
    run([sys.executable, "-m", "build", "--sdist", "--outdir", out, ROOT], out, timeout=300)
    (archive,) = out.glob("krenn_python-*.tar.gz")
    return archive


def test_sdist_carries_no_build_outputs(sdist: Path) -> None:
    with tarfile.open(sdist) as tar:
        members = [PurePosixPath(name) for name in tar.getnames()]
    # Paths inside the archive, below its top folder "krenn_python-<version>".
    inside = [PurePosixPath(*m.parts[1:]) for m in members if len(m.parts) > 1]
    stray = [
        str(p)
        for p in inside
        if p.suffix in (".so", ".o", ".a")
        or p.parts[0] in ("build", "dist")
        or "_build" in p.parts
        or "__pycache__" in p.parts
    ]
    assert not stray, f"build outputs in the sdist: {stray[:20]}"


def test_sdist_installs_into_a_fresh_venv(sdist: Path, tmp_path: Path) -> None:
    env_dir = tmp_path / "venv"
    venv.create(env_dir, with_pip=True)
    python = env_dir / "bin" / "python"
    run([python, "-m", "pip", "install", "--quiet", sdist], tmp_path, timeout=600)
    check = (
        "import importlib.metadata, krenn_python\n"
        "print(krenn_python.sum_as_string(1, 2))\n"
        "print(*sorted(f.as_posix() for f in importlib.metadata.files('krenn_python')"
        " if f.suffix == '.pyi' or f.name == 'LICENSE'), sep='\\n')\n"
    )
    lines = run([python, "-c", check], tmp_path, timeout=60).stdout.splitlines()
    assert lines[0] == "3"
    # The stub directory is installed only if present, so an sdist without it
    # would quietly give a wheel without types. The licence has to come through
    # the sdist into the wheel's metadata.
    assert [line.split(".dist-info/")[-1] for line in lines[1:]] == [
        "licenses/LICENSE",
        "krenn_python-stubs/__init__.pyi",
    ]
