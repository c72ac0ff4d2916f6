"""The command line and Python ask the same C++ functions: harmonics, check
and the gradient of the demo map give the same numbers, bit for bit."""

import csv
import io
import json
import os
import subprocess

import numpy as np
import pytest

import fieldscan

POINTS = [[0, 0, 0], [2.5, -1.25, 3], [-7, 4.5, -2.25], [19.5, 9, 9.5], [40, 0, 0]]
GRADIENT = [f"db{a}_d{b}" for a in "xyz" for b in "xyz"]


def fieldmap(*args, stdin=None):
    program = os.environ.get("FIELDSCAN_FIELDMAP")
    if not program:
        pytest.skip("FIELDSCAN_FIELDMAP is not set: run the tests through ctest")
    done = subprocess.run([program, *args], input=stdin, capture_output=True, text=True)
    assert done.returncode in (0, 1) and done.stdout, done.stderr
    return done.stdout


def bits(values):
    """Numbers as the float32 bits they stand for (None, JSON's null, as NaN)."""
    return np.array([np.nan if v is None else v for v in values], dtype=np.float32).view(np.int32)


def harmonics_cli(path, *args):
    orders = json.loads(fieldmap("harmonics", path, *args, "--format", "json"))["orders"]
    return [bits([o[key] for o in orders]) for key in "BAba"]


def harmonics_py(m, **kwargs):
    h = m.harmonics(**kwargs)
    return [bits(getattr(h, key)) for key in "BAba"]


def check_figures(report):
    figures = [report[name][key] for name in ("divergence", "curl")
               for key in ("max", "rms", "relative", "rms_relative")]
    figures += [p["relative"] for p in report["planes"]]
    return [bits(figures), report["passed"], report["unmeasured"]["count"]]


def gradient_cli(path, *args):
    text = "".join(" ".join(map(str, p)) + "\n" for p in POINTS)
    rows = csv.DictReader(io.StringIO(fieldmap("sample", path, "--points", "-", "--gradient",
                                               *args, stdin=text)))
    return [bits([float(r[k]) if r[k] else None for k in GRADIENT]) for r in rows]


def gradient_py(m, **kwargs):
    g, _ = m.gradient(np.array(POINTS, dtype=np.float32), **kwargs)
    return [bits(row.ravel()) for row in g]


ROWS = {
    "harmonics at a place": (
        lambda p: harmonics_cli(p, "--radius", "5", "--axis", "x", "--at", "2", "--order", "8"),
        lambda m: harmonics_py(m, radius=5, axis="x", at=2, order=8)),
    "integrated harmonics": (
        lambda p: harmonics_cli(p, "--radius", "4", "--axis", "x", "--along", "-12:15",
                                "--center", "0.5,1", "--numbering", "us"),
        lambda m: harmonics_py(m, radius=4, axis="x", along=(-12, 15), center=(0.5, 1),
                               numbering="us")),
    "check": (
        lambda p: check_figures(json.loads(fieldmap("check", p, "--format", "json"))),
        lambda m: check_figures(m.check())),
    "gradient": (gradient_cli, gradient_py),
    "cubic harmonics": (
        lambda p: harmonics_cli(p, "--radius", "5", "--axis", "x", "--at", "2", "--order", "8",
                                "--interpolation", "cubic"),
        lambda m: harmonics_py(m, radius=5, axis="x", at=2, order=8, method="cubic")),
    "cubic gradient": (
        lambda p: gradient_cli(p, "--interpolation", "cubic"),
        lambda m: gradient_py(m, method="cubic")),
}


@pytest.mark.parametrize("name", ROWS)
def test_command_line_and_python_agree(name):
    path = os.environ.get("FIELDSCAN_DEMO_MAP")
    if not path or not os.path.exists(path):
        pytest.skip("the demo map is built with the project")
    cli, py = ROWS[name]
    cli_values, py_values = cli(path), py(fieldscan.load(path))
    assert len(cli_values) == len(py_values)
    for a, b in zip(cli_values, py_values):
        np.testing.assert_array_equal(a, b)
