"""Builds the tessera extension with the project's CMake (the library's sources, libtessera_io, the
jobs library and pybind11), then lets setuptools package it with the Python files."""
import os
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext


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
