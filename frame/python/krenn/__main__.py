"""python -m krenn --cmake-dir: where the frame's CMake package is."""

import argparse

from krenn import __version__, cmake_dir, include_dir


def main() -> None:
    parser = argparse.ArgumentParser(
        prog="python -m krenn", description="Where the Krenn frame's files are."
    )
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument(
        "--cmake-dir", action="store_true", help="print the folder of krennConfig.cmake"
    )
    group.add_argument(
        "--include-dir", action="store_true", help="print the folder of krenn/krenn.hpp"
    )
    group.add_argument("--version", action="store_true", help="print the version")
    args = parser.parse_args()
    print(cmake_dir() if args.cmake_dir else include_dir() if args.include_dir else __version__)


if __name__ == "__main__":
    main()
