# SPDX-License-Identifier: GPL-2.0-or-later
# pip builds and installs the module from the source alone, offline, with
# Debian's setuptools: the same extension CMake builds.
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[2]


def source_files():
    """The files a fresh clone has (with any changes not yet committed)."""
    try:
        listed = subprocess.run(
            ["git", "-C", str(SOURCE), "ls-files", "-z", "--cached", "--others",
             "--exclude-standard"], check=True, stdout=subprocess.PIPE).stdout
    except (OSError, subprocess.CalledProcessError):
        pytest.skip("the source is not a git checkout")
    return [name for name in listed.decode().split("\0")
            if name and (SOURCE / name).is_file()]


@pytest.mark.slow
def test_pip_installs_the_module_from_a_fresh_clone(tmp_path):
    for module in ("pip", "setuptools", "wheel"):
        if subprocess.run([sys.executable, "-c", "import " + module]).returncode:
            pytest.skip("%s is not installed for %s" % (module, sys.executable))
    clone = tmp_path / "clone"
    for name in source_files():
        (clone / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(SOURCE / name, clone / name)
    environment = dict(os.environ, PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1",
                       KOB_BUILD_JOBS="2")
    environment.pop("PYTHONPATH", None)
    if shutil.which("ccache"):
        environment["CMAKE_ARGS"] = "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
        environment["CCACHE_BASEDIR"] = str(clone)
    target = tmp_path / "site"
    built = subprocess.run(
        [sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-deps",
         "--target", str(target), str(clone)],
        env=environment, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    assert built.returncode == 0, built.stdout[-3000:]
    assert not (clone / "build").exists()  # make's build folder is left alone
    check = (
        "import kob, sys\n"
        "assert kob.__file__.startswith(sys.argv[1]), kob.__file__\n"
        "data = b'pip ' * 10000\n"
        "assert kob.decompress(kob.compress(data)) == data\n"
        "print(kob.__version__)\n")
    ran = subprocess.run([sys.executable, "-c", check, str(target)],
                         env=dict(environment, PYTHONPATH=str(target)), cwd=tmp_path,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    assert ran.returncode == 0, ran.stdout
    version = re.search(r"project\(kob VERSION ([0-9.]+)",
                        (SOURCE / "CMakeLists.txt").read_text()).group(1)
    assert ran.stdout.strip() == version
    assert (target / "kob" / "__init__.pyi").is_file()
    assert (target / "kob" / "py.typed").is_file()
    assert (target / ("kob-%s.dist-info" % version)).is_dir()
