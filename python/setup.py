"""Builds libkx_orvel with CMake from the source tree above this folder and puts it,
with the default model, inside the package (kx_orvel/_bundle/), so the installed
package needs nothing else. KX_ORVEL_CMAKE_BUILD names a CMake build folder to use
(configured if new, only the library built); by default a fresh one in build_temp."""

import glob
import os
import re
import shutil
import subprocess

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))
# KX_ORVEL_SOURCE: the source tree, where this folder was copied away from it.
REPO = os.environ.get("KX_ORVEL_SOURCE") or os.path.dirname(HERE)


def _version():
    with open(os.path.join(REPO, "CMakeLists.txt")) as f:
        return re.search(r"project\(kx_orvel\s+VERSION\s+([0-9.]+)", f.read()).group(1)


class BuildWithLibrary(build_py):
    def run(self):
        super().run()
        temp = self.get_finalized_command("build").build_temp
        build = os.environ.get("KX_ORVEL_CMAKE_BUILD") or os.path.join(os.path.abspath(temp), "cmake")
        if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
            subprocess.check_call(["cmake", "-S", REPO, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                                   "-DKX_BUILD_TESTS=OFF", "-DKX_BUILD_TOOLS=OFF", "-DKX_BUILD_EXAMPLES=OFF",
                                   "-DKX_INSTALL=OFF"])
        subprocess.check_call(["cmake", "--build", build, "--target", "kx_orvel",
                               "-j", os.environ.get("KX_ORVEL_BUILD_JOBS", str(os.cpu_count() or 1))])
        bundle = os.path.join(self.build_lib, "kx_orvel", "_bundle")
        os.makedirs(bundle, exist_ok=True)
        built = sorted(glob.glob(os.path.join(build, "libkx_orvel.so.*.*.*")))
        if not built:
            raise RuntimeError(f"no libkx_orvel.so.* in {build}")
        # One file under the SONAME, which is what the binding loads.
        major = os.path.basename(built[-1]).split(".")[2]
        shutil.copyfile(built[-1], os.path.join(bundle, f"libkx_orvel.so.{major}"))
        model = os.path.join(REPO, "models", "default.kx")
        if os.path.exists(model):
            shutil.copyfile(model, os.path.join(bundle, "default.kx"))
        with open(os.path.join(self.build_lib, "kx_orvel", "_install_paths.py"), "w") as f:
            f.write("# Written by setup.py: paths relative to this package.\n"
                    f'LIBRARY = "_bundle/libkx_orvel.so.{major}"\nMODEL = "_bundle/default.kx"\n')


class BinaryDistribution(Distribution):
    """The wheel carries a shared library: tag it for this platform."""

    def has_ext_modules(self):
        return True


setup(version=_version(), cmdclass={"build_py": BuildWithLibrary}, distclass=BinaryDistribution)
