"""Builds the tessera extension with the project's CMake (the library's sources, libtessera_io, the
jobs library and pybind11), then lets setuptools package it with the Python files."""
import glob
import importlib.util
import os
import shutil
import subprocess
import sys


def missing_prerequisites():
    """What this interpreter lacks to build the package: numpy, pybind11's CMake files, wheel
    (pip's bdist_wheel), setuptools, cmake."""
    missing = [name for name in ("numpy", "setuptools", "wheel") if importlib.util.find_spec(name) is None]
    pybind11 = importlib.util.find_spec("pybind11") is not None or any(
        glob.glob(os.path.join(prefix, "*", "cmake", "pybind11", "pybind11Config.cmake"))
        + glob.glob(os.path.join(prefix, "lib", "*", "cmake", "pybind11", "pybind11Config.cmake"))
        for prefix in ("/usr", "/usr/local", sys.prefix))
    if not pybind11:
        missing.append("pybind11")
    if shutil.which("cmake") is None:
        missing.append("cmake")
    return missing


if __name__ == "__main__":
    lacking = missing_prerequisites()
    if lacking:
        sys.exit(f"tessera: {sys.executable} has no {', '.join(lacking)}: build with Debian's /usr/bin/python3 "
                 "and python3-numpy, python3-wheel, python3-setuptools, pybind11-dev and cmake (see the README)")

from setuptools import Extension, setup  # noqa: E402
from setuptools.command.build_ext import build_ext  # noqa: E402


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        source = os.path.dirname(os.path.abspath(__file__))
        build = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        target = os.path.abspath(os.path.dirname(self.get_ext_fullpath(ext.name)))
        configure = ["cmake", "-S", source, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DTESSERA_BUILD_PYTHON=ON",
                     "-DTESSERA_BUILD_TESTS=OFF", "-DTESSERA_BUILD_TOOLS=OFF", f"-DPython_EXECUTABLE={sys.executable}"]
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", build, "--target", "_tessera", "-j", str(os.cpu_count() or 1)], check=True)
        os.makedirs(os.path.join(target, "tessera"), exist_ok=True)
        built = os.path.join(build, "python", "tessera", os.path.basename(self.get_ext_fullpath(ext.name)))
        self.copy_file(built, self.get_ext_fullpath(ext.name))


setup(ext_modules=[CMakeExtension("tessera._tessera")], cmdclass={"build_ext": CMakeBuild})
