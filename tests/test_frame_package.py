"""The frame as its own package: the krenn wheel, and the example modules built
on it out of tree in a fresh environment, as the README tells a user to."""

import venv
import zipfile
from pathlib import Path

import pytest

from fresh_env import run

pytestmark = pytest.mark.slow

ROOT = Path(__file__).resolve().parents[1]
DEMO = ROOT / "examples" / "demo"
GEO = ROOT / "examples" / "geo"


@pytest.fixture(scope="module")
def python(tmp_path_factory: pytest.TempPathFactory) -> Path:
    # The fresh environment's interpreter runs the tools too: under the
    # sanitizer job, sys.executable would load the sanitizer into pip.
    env_dir = tmp_path_factory.mktemp("venv")
    venv.create(env_dir, with_pip=True)
    return env_dir / "bin" / "python"


@pytest.fixture(scope="module")
def wheel_dir(python: Path, tmp_path_factory: pytest.TempPathFactory) -> Path:
    out = tmp_path_factory.mktemp("wheels")
    run([python, "-m", "pip", "wheel", "--quiet", "-w", out, ROOT / "frame"], out, 300)
    return out


def test_wheel_is_pure_and_holds_headers_sources_and_package(wheel_dir: Path) -> None:
    (wheel,) = wheel_dir.glob("krenn-*-py3-none-any.whl")
    names = set(zipfile.ZipFile(wheel).namelist())
    assert {
        "krenn/include/krenn/krenn.hpp",
        "krenn/src/CMakeLists.txt",
        "krenn/cmake/krennConfig.cmake",
        "krenn/cmake/krennConfigVersion.cmake",
    } <= names
    assert not [n for n in names if n.endswith((".so", ".o", ".a"))]


@pytest.fixture(scope="module")
def pip(python: Path, wheel_dir: Path, tmp_path_factory: pytest.TempPathFactory) -> list:
    # Both examples in one install: one resolve for the two builds.
    pip = [python, "-m", "pip", "install", "--quiet", "--find-links", wheel_dir]
    run([*pip, DEMO, GEO, "krenn", "pytest", "mypy"], tmp_path_factory.mktemp("pip"), 900)
    return pip


def test_example_builds_out_of_tree_and_passes_its_tests(
    python: Path, pip: list, tmp_path: Path
) -> None:
    run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider", DEMO / "tests"], tmp_path, 120)
    # The stub written from the declarations agrees with the module.
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\n")
    run([python, "-m", "mypy.stubtest", "--mypy-config-file", config, "demo"], tmp_path, 300)
    cmake_dir = run([python, "-m", "krenn", "--cmake-dir"], tmp_path, 60).stdout.strip()
    assert (Path(cmake_dir) / "krennConfig.cmake").is_file()
    # Two modules on the frame, each with its own copy of the frame's state.
    both = "import demo, krenn_python; print(demo.add(1, 2), krenn_python.sum_as_string(3, 4))"
    run([*pip, ROOT], tmp_path, timeout=600)
    assert run([python, "-c", both], tmp_path, 60).stdout.split() == ["3", "7"]


def test_class_example_builds_out_of_tree_and_passes_its_tests(
    python: Path, pip: list, tmp_path: Path
) -> None:
    # Its tests run stubtest and mypy --strict on a user's script too.
    run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider", GEO / "tests"], tmp_path, 300)
