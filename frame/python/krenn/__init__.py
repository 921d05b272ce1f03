"""The Krenn frame: headers, sources and the CMake package that modules build on.

``find_package(krenn CONFIG)`` finds the package through ``cmake_dir()``; a
scikit-build-core project that lists ``krenn`` in its build requirements needs
no settings for that.
"""

from pathlib import Path

__version__ = "0.1.0"
__all__ = ["cmake_dir", "include_dir"]

_ROOT = Path(__file__).resolve().parent


def cmake_dir() -> str:
    """The folder of krennConfig.cmake."""
    return str(_ROOT / "cmake")


def include_dir() -> str:
    """The folder that holds krenn/krenn.hpp."""
    return str(_ROOT / "include")
