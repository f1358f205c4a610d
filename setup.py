"""`pip install .`: the package korvane from python/, its native part _korvane built by this
repository's CMake (only that target and the layers it links) for the Python that runs pip."""

import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = os.path.join(os.path.abspath(self.build_temp), "cmake")
        subprocess.check_call([
            "cmake", "-S", HERE, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
            f"-DPython3_EXECUTABLE={sys.executable}",
            "-DKORVANE_BUILD_TESTS=OFF", "-DKORVANE_BUILD_BENCH=OFF",
            "-DKORVANE_BUILD_FREI0R=OFF", "-DKORVANE_BUILD_GIMP=OFF",
        ])
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(min(2, os.cpu_count() or 1)))
        subprocess.check_call(["cmake", "--build", build, "--target", "_korvane", "-j", jobs])
        built = os.path.join(build, "python", "korvane")
        name = next(f for f in os.listdir(built) if f.startswith("_korvane") and f.endswith(".so"))
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(os.path.join(built, name), target)


setup(ext_modules=[Extension("korvane._korvane", sources=[])], cmdclass={"build_ext": CMakeBuild})
