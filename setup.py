"""The package kestrel's compiled part, _kestrel, built by the project's own CMake build
(the target kestrel_python) for the Python that runs this, then put beside the package's
__init__.py. The rest of the package's description is in pyproject.toml.

KESTREL_CMAKE_ARGS adds arguments to the configuration (e.g. -DKESTREL_WERROR=ON);
KESTREL_CMAKE_BUILD names a configured build folder to build the module in instead (its
Python of the same version as the one that runs this), as the tests do."""
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCE = pathlib.Path(__file__).resolve().parent


def version():
    found = re.search(r"project\(Kestrel VERSION ([0-9.]+)", (SOURCE / "CMakeLists.txt").read_text())
    if not found:
        raise RuntimeError("CMakeLists.txt names no version of Kestrel")
    return found.group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        given = os.environ.get("KESTREL_CMAKE_BUILD")
        build = pathlib.Path(given).resolve() if given else pathlib.Path(self.build_temp).resolve() / "cmake"
        build.mkdir(parents=True, exist_ok=True)
        configure = [os.environ.get("CMAKE", "cmake"), "-S", str(SOURCE), "-B", str(build),
                     "-DCMAKE_BUILD_TYPE=Release", "-DKESTREL_GUI=OFF", "-DKESTREL_BENCH=OFF",
                     f"-DKESTREL_PYTHON_INTERPRETER={sys.executable}"]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        configure += shlex.split(os.environ.get("KESTREL_CMAKE_ARGS", ""))
        if not (build / "CMakeCache.txt").exists():
            subprocess.run(configure, check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(len(os.sched_getaffinity(0)))
        subprocess.run([configure[0], "--build", str(build), "--target", "kestrel_python", "-j", jobs], check=True)
        built = next((build / "python/kestrel").glob("_kestrel*.so"))
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(version=version(),
      ext_modules=[Extension("kestrel._kestrel", sources=[])],
      cmdclass={"build_ext": CMakeBuild},
      # Beside a CMake build folder named build/, setuptools' own work goes elsewhere.
      options={"build": {"build_base": "build-python"}})
