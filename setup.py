# SPDX-License-Identifier: GPL-2.0-or-later
"""pip's way to the module kob: the extension kob._kob is built by CMake,
the same target -DKOB_PYTHON=ON builds (python/CMakeLists.txt), and the
version is the library's, read from CMakeLists.txt. CMAKE_ARGS adds options
to CMake's (a compiler launcher, say); KOB_BUILD_JOBS sets its jobs."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCE = Path(__file__).resolve().parent


def version():
    text = (SOURCE / "CMakeLists.txt").read_text()
    return re.search(r"project\(kob VERSION ([0-9.]+)", text).group(1)


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        target = Path(self.get_ext_fullpath(ext.name)).resolve()
        build = Path(self.build_temp).resolve() / "cmake"
        configure = [
            "cmake", "-S", str(SOURCE), "-B", str(build),
            "-DCMAKE_BUILD_TYPE=Release", "-DKOB_PYTHON=ON",
            "-DKOB_BUILD_TOOLS=OFF", "-DKOB_BUILD_TESTS=OFF",
            "-DKOB_BUILD_EXAMPLES=OFF", "-DKOB_INSTALL=OFF",
            "-DPython_EXECUTABLE=" + sys.executable,
        ] + os.environ.get("CMAKE_ARGS", "").split()
        subprocess.run(configure, check=True)
        jobs = os.environ.get("KOB_BUILD_JOBS", str(os.cpu_count() or 1))
        subprocess.run(["cmake", "--build", str(build), "--target", "kob_python",
                        "-j", jobs], check=True)
        built = list((build / "python" / "kob").glob("_kob*.so"))
        if len(built) != 1:
            raise RuntimeError("CMake built %d extensions: %s" % (len(built), built))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], target)


setup(
    version=version(),
    packages=["kob"],
    package_dir={"kob": "python/kob"},
    package_data={"kob": ["__init__.pyi", "py.typed"]},
    ext_modules=[CMakeExtension("kob._kob")],
    cmdclass={"build_ext": CMakeBuild},
    # Beside CMake's build/ of `make`, not in it.
    options={"build": {"build_base": "build-pip"}, "egg_info": {"egg_base": "build-pip"}},
    zip_safe=False,
)
