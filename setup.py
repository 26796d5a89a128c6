"""Builds polarmosaic._polarmosaic with the project's CMake files, so that
the extension gets the module's compile flags (-ffp-contract=off) exactly as
the tool does. Metadata is in pyproject.toml; the version is the project's."""
import os
import re
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(polarmosaic VERSION ([0-9.]+)", text).group(1)


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        out_dir = Path(self.get_ext_fullpath(ext.name)).resolve().parent
        build_dir = Path(self.build_temp).resolve() / "cmake"
        try:  # pybind11 from pip (a build requirement) when it is there
            import pybind11
            found = [f"-Dpybind11_DIR={pybind11.get_cmake_dir()}"]
        except ImportError:  # Debian's pybind11-dev
            found = []
        subprocess.run(
            ["cmake", "-S", str(ROOT), "-B", str(build_dir),
             "-DCMAKE_BUILD_TYPE=Release",
             "-DPOLARMOSAIC_BUILD_PYTHON=ON",
             "-DPOLARMOSAIC_BUILD_TESTS=OFF",
             "-DPOLARMOSAIC_BUILD_TOOL=OFF",
             f"-DPython_EXECUTABLE={sys.executable}",
             f"-DPOLARMOSAIC_PYTHON_OUTPUT_DIR={out_dir}", *found],
            check=True)
        subprocess.run(
            ["cmake", "--build", str(build_dir), "--target", "_polarmosaic",
             "-j", os.environ.get("POLARMOSAIC_BUILD_JOBS", "2")],
            check=True)


setup(version=project_version(),
      ext_modules=[CMakeExtension("polarmosaic._polarmosaic")],
      cmdclass={"build_ext": CMakeBuild})
