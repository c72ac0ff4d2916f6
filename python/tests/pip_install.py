"""Installs the package as a Python user would, offline, from Debian's
packages, and uses it:

    python3 -m venv --system-site-packages env
    env/bin/pip install --no-build-isolation .

in a scratch folder, on a copy of the source tree (pip builds in the tree it
is given, and the repository is kept clean).  Then the installed package,
imported from outside the source tree, must report the project's version
(as fieldscan.__version__ and in pip's metadata) and evaluate the demo map.

usage: pip_install.py SOURCE_DIR SCRATCH_DIR VERSION DEMO_MAP
Exits 77 (skipped) when venv or pip is missing.
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

SKIP = 77

CHECK = """
import importlib.metadata, sys
import fieldscan
m = fieldscan.load(sys.argv[1])
b, status = m.field([[0.0, 0.0, 0.0]])
print(fieldscan.__version__, importlib.metadata.version("fieldscan"), int(status[0]))
print(fieldscan.__file__)
"""


def run(command, cwd, env):
    print("$", " ".join(str(part) for part in command), flush=True)
    return subprocess.run(command, cwd=cwd, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True)


def skip(reason, output=""):
    print(output, end="")
    print(f"skipped: {reason}")
    sys.exit(SKIP)


def main():
    source, scratch, demo_map = (Path(sys.argv[i]).resolve() for i in (1, 2, 4))
    version = sys.argv[3]
    shutil.rmtree(scratch, ignore_errors=True)
    scratch.mkdir(parents=True)
    # Only what a fresh clone has: no build folders (nor this scratch folder
    # inside one), no pip leftovers.
    def leave_out(folder, names):
        top = Path(folder) == source
        return [n for n in names
                if (top and (n.startswith("build") or n == ".git"))
                or n == "__pycache__" or n.endswith(".egg-info")
                or (Path(folder, n) / "CMakeCache.txt").exists()]

    shutil.copytree(source, scratch / "src", ignore=leave_out)
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env.update(PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1", PYTHONDONTWRITEBYTECODE="1")

    made = run([sys.executable, "-m", "venv", "--system-site-packages", "env"], scratch, env)
    python = scratch / "env" / "bin" / "python"
    if made.returncode != 0 or not (scratch / "env" / "bin" / "pip").exists():
        skip("python3 -m venv cannot make an environment with pip here "
             "(Debian: apt-get install python3-venv python3-pip)", made.stdout)
    tools = run([python, "-c", "import setuptools, wheel"], scratch, env)
    if tools.returncode != 0:
        skip("setuptools or wheel is missing (Debian: apt-get install python3-setuptools "
             "python3-wheel)", tools.stdout)

    installed = run([scratch / "env" / "bin" / "pip", "install", "--no-build-isolation", "."],
                    scratch / "src", env)
    print(installed.stdout)
    if installed.returncode != 0:
        sys.exit("pip install failed")

    checked = run([python, "-c", CHECK, demo_map], scratch, env)
    print(checked.stdout)
    if checked.returncode != 0:
        sys.exit("the installed package does not work")
    answer, location = checked.stdout.splitlines()[-2:]
    if answer != f"{version} {version} 0":
        sys.exit(f"expected version {version} twice and status 0 at the origin, got: {answer}")
    if not Path(location).resolve().is_relative_to(scratch / "env"):
        sys.exit(f"fieldscan was imported from {location}, not from the environment")
    print("pip install: fieldscan", version, "installed and working")


if __name__ == "__main__":
    main()
