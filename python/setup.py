"""Installs the holorecon module with pip, built by CMake from this
repository with Debian's packages only, offline:

    python3 -m venv --system-site-packages ENV
    ENV/bin/pip install --no-build-isolation ./python

(Debian's own /usr/bin/pip refuses to install into the system's Python;
`scripts/build python` makes the module importable there instead.)
"""
import os
import pathlib
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent.parent


class CMakeBuild(build_ext):
    """Builds the module's CMake target instead of compiling sources."""

    def build_extension(self, ext):
        # Beside the other build trees, where a rebuild finds it again.
        build = ROOT / "build" / "pip"
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build),
                        "-DCMAKE_BUILD_TYPE=Release", "-DHOLORECON_TESTS=OFF",
                        "-DHOLORECON_BENCH=OFF",
                        f"-DPython3_EXECUTABLE={sys.executable}"], check=True)
        subprocess.run(["cmake", "--build", str(build), "--target",
                        "holorecon_python", "-j", str(os.cpu_count() or 1)],
                       check=True)
        built = next((build / "python").glob("holorecon*.so"))
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(name="holorecon", version="1.1.0",
      description="Digital holograms reconstructed by holorecon's numerics",
      license="GPL-3.0-or-later",
      ext_modules=[Extension("holorecon", sources=[])],
      cmdclass={"build_ext": CMakeBuild})
