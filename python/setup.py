"""The wheel: scikit-build runs the project's CMake build with only the library and the Python
package, and installs the package at the root of the wheel."""
import re
from pathlib import Path

from skbuild import setup

version = re.search(r"project\(veltra VERSION ([0-9.]+)", (Path(__file__).resolve().parent.parent / "CMakeLists.txt").read_text())
setup(
    name="veltra",
    version=version.group(1),
    description="The veltra protocol library for Python: parse, build and frame commands, a client session",
    packages=["veltra"],
    package_data={"veltra": ["*.pyi", "py.typed"]},
    python_requires=">=3.9",
    cmake_source_dir="..",
    cmake_args=["-DVELTRA_PYTHON=ON", "-DVELTRA_TOOLS=OFF", "-DVELTRA_TESTS=OFF", "-DVELTRA_BENCH=OFF",
                "-DVELTRA_FUZZ=OFF", "-DVELTRA_INSTALL=OFF", "-DCMAKE_BUILD_TYPE=Release"],
)
