"""The build policy as a user's project meets it (tests/consumer: the frame
from the source tree under add_subdirectory): the user's build type and flags
stay theirs, and what builds can be imported."""

import json
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = pytest.mark.slow

ROOT = Path(__file__).resolve().parents[1]
CONSUMER = ROOT / "tests" / "consumer"
FRAME_SOURCES = ROOT / "frame" / "src"
MARKER = "-DKRENN_USER_MARKER=1"


def cmake(*args: str | Path, check: bool = True) -> subprocess.CompletedProcess[str]:
    proc = subprocess.run(
        ["cmake", *map(str, args)], capture_output=True, text=True, timeout=600, check=False
    )
    assert not check or proc.returncode == 0, f"{args}\n{proc.stdout}\n{proc.stderr}"
    return proc


def configure(build: Path, *defines: str) -> None:
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    cmake(
        "-S", CONSUMER, "-B", build, *generator, f"-DPython_EXECUTABLE={sys.executable}", *defines
    )


def last_level(args: list[str]) -> str | None:
    levels = [a for a in args if re.fullmatch(r"-O.?", a)]
    return levels[-1] if levels else None


@pytest.mark.parametrize("build_type", ["", "Release", "Debug"])
def test_the_users_flags_reach_the_frame_and_nothing_is_forced(
    build_type: str, tmp_path: Path
) -> None:
    # No build type counts as Release: the user's Release flags apply.
    config = build_type or "Release"
    own = {"Release": "-O3 -DNDEBUG", "Debug": "-g"}[config]
    build = tmp_path / "build"
    configure(
        build,
        f"-DCMAKE_CXX_FLAGS_{config.upper()}={own} {MARKER}",
        *([f"-DCMAKE_BUILD_TYPE={build_type}"] if build_type else []),
        "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON",
        "-DCMAKE_OBJCOPY=",
    )
    cache = (build / "CMakeCache.txt").read_text()
    assert re.findall(r"^CMAKE_BUILD_TYPE:\w+=(.*)$", cache, re.M) == [build_type]

    commands = json.loads((build / "compile_commands.json").read_text())
    frame: dict[str, list[list[str]]] = {"krenn_frame": [], "tuned_krenn_frame": []}
    for entry in commands:
        args = shlex.split(entry["command"])
        assert MARKER in args, entry["command"]
        assert "-Werror" not in args, entry["command"]
        if Path(entry["file"]).parent == FRAME_SOURCES:
            (library,) = [name for name in frame if f"/{name}.dir/" in entry["output"]]
            frame[library].append(args)
    sources = len(list(FRAME_SOURCES.glob("*.cpp")))
    assert [len(c) for c in frame.values()] == [sources, sources]
    optimised = config != "Debug"
    # The shared library for size after the user's level; the NOMINSIZE copy
    # at the user's level, with LTO.
    assert {last_level(a) for a in frame["krenn_frame"]} == {"-Oz" if optimised else None}
    assert {last_level(a) for a in frame["tuned_krenn_frame"]} == {"-O3" if optimised else None}
    assert all(any(a.startswith("-flto") for a in c) for c in frame["tuned_krenn_frame"])

    # Without objcopy no stub is written, and installing the folders still works.
    prefix = tmp_path / "prefix"
    cmake("--install", build, "--component", "stubs", "--prefix", prefix)
    assert sorted(p.name for p in prefix.iterdir()) == ["plain-stubs", "tuned-stubs"]


def test_modules_build_and_import_and_an_unresolved_name_fails_the_build(tmp_path: Path) -> None:
    build = tmp_path / "build"
    configure(build, "-DCMAKE_BUILD_TYPE=Release")
    cmake("--build", build, "--parallel", "2")
    cmake("--install", build, "--prefix", tmp_path / "prefix")
    # Each module's own function is called as C++ by its std::function parameter.
    call = (
        "import plain, tuned; print(plain.twice(21), tuned.twice(-4),"
        " *(m.apply_or(f, 3) for m in (plain, tuned) for f in (m.half, m.twice)))"
    )
    out = subprocess.run(
        [sys.executable, "-c", call], cwd=build, capture_output=True, text=True, check=True
    )
    assert out.stdout.split() == ["42", "-8", "-1", "6", "-1", "6"]
    assert "def twice(n: int) -> int" in (build / "plain-stubs" / "__init__.pyi").read_text()
    assert not list((build / "tuned-stubs").iterdir())  # NO_STUBS

    failed = cmake("--build", build, "--target", "broken", check=False)
    assert failed.returncode != 0
    assert "acc::twice_spec (_ZN3acc10twice_specE)" in failed.stdout
    assert "krenn::missing_helper() (_ZN5krenn14missing_helperEv)" in failed.stdout
    assert not list(build.glob("broken*.so"))
