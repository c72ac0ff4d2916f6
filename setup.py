"""The build behind pip install .: the extension fieldscan._fieldscan is built
by the project's own CMake build (Release, without the tests) for the Python
that runs pip, and put beside the package's Python files.  The version comes
from project(... VERSION ...) in CMakeLists.txt, like fieldscan.__version__,
which CMake writes into fieldscan/_version.py."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    match = re.search(r"project\(\s*fieldscan\s+VERSION\s+([0-9][0-9.]*)", text)
    if not match:
        sys.exit("setup.py: no project(fieldscan VERSION ...) in CMakeLists.txt")
    return match.group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = Path(self.build_temp).resolve() / "cmake"
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build),
            "-DCMAKE_BUILD_TYPE=Release", "-DFIELDSCAN_TESTS=OFF",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ]
        subprocess.run(configure, check=True)
        package = build / "python" / "fieldscan"
        if not (build / "python" / "CMakeFiles").is_dir():
            sys.exit("setup.py: CMake left the Python module out (see its message above); it needs "
                     "pybind11 (pybind11-dev) and Python's headers and NumPy (python3-dev, "
                     "python3-numpy)")
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(["cmake", "--build", str(build), "--target", "fieldscan_python",
                        "--parallel", jobs], check=True)

        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(package / target.name, target)
        shutil.copyfile(package / "_version.py", target.parent / "_version.py")


setup(
    version=project_version(),
    packages=["fieldscan"],
    package_dir={"fieldscan": "python/fieldscan"},
    ext_modules=[Extension("fieldscan._fieldscan", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    # Away from build/, the CMake build folder of the development recipes.
    options={"build": {"build_base": "build-pip"}},
)
