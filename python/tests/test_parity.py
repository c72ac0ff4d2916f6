"""The fieldmap command line and Python ask the same C++ functions: each row
puts one question to both on the same inputs and requires the same numbers,
bit for bit (or the same bytes, for files and maps)."""

import csv
import io
import json
import os
import re
import subprocess
from pathlib import Path

import numpy as np
import pytest

import fieldscan
from conftest import SYMMETRIES, points_around, random_map

TESTDATA = Path(__file__).resolve().parents[2] / "fieldmap" / "testdata"
POINTS = [[0, 0, 0], [2.5, -1.25, 3], [-7, 4.5, -2.25], [19.5, 9, 9.5], [40, 0, 0]]
GRADIENT = [f"db{a}_d{b}" for a in "xyz" for b in "xyz"]
NUMBER = re.compile(r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?|nan|-?inf")


def fieldmap(*args, stdin=None):
    """The standard output of `fieldmap ARGS` (status 0, or 1 for maps that differ)."""
    program = os.environ.get("FIELDSCAN_FIELDMAP")
    if not program:
        pytest.skip("FIELDSCAN_FIELDMAP is not set: run the tests through ctest")
    # The shorter of each path and its relative form: the command line takes
    # map names of at most 80 characters, as the console does.
    args = [min(str(a), os.path.relpath(a), key=len) if isinstance(a, Path) else str(a)
            for a in args]
    done = subprocess.run([program, *args], input=stdin, capture_output=True, text=True)
    assert done.returncode in (0, 1), done.stderr
    return done.stdout


def numbers(text, label=None):
    """The numbers of a report (of its line starting with `label` only)."""
    if label is not None:
        text = next(line for line in text.splitlines() if line.startswith(label))[len(label):]
    return [float(t) for t in NUMBER.findall(text)]


def bits(values):
    """Numbers as the float32 bits they stand for (None, an empty cell, as NaN)."""
    return np.array([np.nan if v is None or v == "" else float(v) for v in values],
                    np.float32).view(np.int32)


def sample_rows(text):
    """x, y, z, bx, by, bz of each row of a sample table."""
    return [row[:6] for row in csv.reader(io.StringIO(text))][1:]


def py_rows(s):
    return [[*p, *b] for p, b in zip(s.points.reshape(-1, 3), s.b.reshape(-1, 3))]


def integral_cli(path, line, *args):
    out = fieldmap("integral", path, "--line", line, *args)
    skipped = numbers(out, "Skipped:") if "Skipped:" in out else [0, 0]
    return numbers(out, "Integral:") + numbers(out, "Points:") + skipped


def integral_py(m, a, b, **kwargs):
    r = m.integral(a, b, **kwargs)
    return [*r.integral, r.points, r.spacing, r.length, r.skipped, r.skipped_length]


def diff_cli(a, b):
    """Each component's largest difference and rms: the first and last number of its line."""
    lines = {line[:3]: numbers(line) for line in fieldmap("diff", a, b).splitlines()}
    return [v for c in ("bx:", "by:", "bz:") for v in (lines[c][0], lines[c][-1])]


def diff_py(a, b):
    d = a.diff(b)
    return [v for c in range(3) for v in (d.max_abs[c], d.rms[c])]


def harmonics_cli(path, *args):
    orders = json.loads(fieldmap("harmonics", path, *args, "--format", "json"))["orders"]
    return [o[key] for key in "BAba" for o in orders]


def harmonics_py(m, **kwargs):
    h = m.harmonics(**kwargs)
    return [v for key in "BAba" for v in getattr(h, key)]


def check_figures(report):
    figures = [report[name][key] for name in ("divergence", "curl")
               for key in ("max", "rms", "relative", "rms_relative")]
    return figures + [p["relative"] for p in report["planes"]] + [
        report["passed"], report["unmeasured"]["count"]]


def gradient_cli(path):
    text = "".join(" ".join(map(str, p)) + "\n" for p in POINTS)
    rows = csv.DictReader(io.StringIO(fieldmap("sample", path, "--points", "-", "--gradient",
                                               stdin=text)))
    return [r[k] for r in rows for k in GRADIENT]


def state(m):
    """All a map holds: the bytes of its map file."""
    return [m.__getstate__()]


def loaded_cli(table, tmp, *args):
    fieldmap("convert", table, tmp / "converted.map", *args)
    return state(fieldscan.load(tmp / "converted.map"))


def export_cli(path, tmp, to, *args):
    fieldmap("export", path, tmp / "cli.out", "--to", to, *args)
    return [(tmp / "cli.out").read_bytes()]


def export_py(m, tmp, to, **kwargs):
    m.export(tmp / "py.out", to, **kwargs)
    return [(tmp / "py.out").read_bytes()]


def csv_of(path, tmp):
    fieldmap("export", path, tmp / "demo.csv", "--to", "csv")
    return tmp / "demo.csv"


# name: (CLI, Python), each called with (map path, map, folder for files) and
# giving a list of numbers (or of bytes).  The map is the demo map, or a
# random map of the symmetry OWN_MAP names.
OWN_MAP = {"integral, cubic": "mixed mirrors", "resample, cubic": "mixed mirrors",
           "export bdsim --units cm,G": "cartesian"}
ROWS = {
    "integral, a step that does not divide the length": (
        lambda p, m, t: integral_cli(p, "0,0,0:10,0,0", "--step", 3),
        lambda p, m, t: integral_py(m, (0, 0, 0), (10, 0, 0), step=3)),
    "integral, the default step": (
        lambda p, m, t: integral_cli(p, "-3,1.5,0.5:12,-2,4"),
        lambda p, m, t: integral_py(m, (-3, 1.5, 0.5), (12, -2, 4))),
    "integral, trapezoid by points": (
        lambda p, m, t: integral_cli(p, "0,-4,1:3,8,2", "--points", 38, "--rule", "trapezoid"),
        lambda p, m, t: integral_py(m, (0, -4, 1), (3, 8, 2), points=38, rule="trapezoid")),
    "integral, simpson by step, skipping": (
        lambda p, m, t: integral_cli(p, "0,0,0:60,0,0", "--step", 0.35, "--skip-unevaluable"),
        lambda p, m, t: integral_py(m, (0, 0, 0), (60, 0, 0), step=0.35,
                                    skip_unevaluable=True)),
    "integral, cubic": (
        lambda p, m, t: integral_cli(p, "1.6,-1.9,0.3:2.9,1,5", "--points", 41,
                                     "--interpolation", "cubic", "--skip-unevaluable"),
        lambda p, m, t: integral_py(m, (1.6, -1.9, 0.3), (2.9, 1, 5), points=41,
                                    method="cubic", skip_unevaluable=True)),
    "sample, a line by points": (
        lambda p, m, t: sample_rows(fieldmap("sample", p, "--line", "-2,0,0:50,3,1",
                                             "--points", 57)),
        lambda p, m, t: py_rows(m.sample_line((-2, 0, 0), (50, 3, 1), points=57))),
    "sample, a line by a step that does not divide the length": (
        lambda p, m, t: sample_rows(fieldmap("sample", p, "--line", "0,1,0:10,1,2",
                                             "--step", 0.7)),
        lambda p, m, t: py_rows(m.sample_line((0, 1, 0), (10, 1, 2), step=0.7))),
    "sample, a grid": (
        lambda p, m, t: sample_rows(fieldmap("sample", p, "--grid", "--x", "-5:45:11",
                                             "--y", "0:6:4", "--z", "2")),
        lambda p, m, t: py_rows(m.sample_grid(x=(-5, 45, 11), y=(0, 6, 4), z=2))),
    "diff": (
        lambda p, m, t: diff_cli(p, saved(changed(m), t)),
        lambda p, m, t: diff_py(m, changed(m))),
    "info, the limits": (
        lambda p, m, t: numbers(fieldmap("info", p), "Limits:"),
        lambda p, m, t: [v for axis in m.limits for v in axis]),
    "harmonics at a place": (
        lambda p, m, t: harmonics_cli(p, "--radius", 5, "--axis", "x", "--at", 2, "--order", 8),
        lambda p, m, t: harmonics_py(m, radius=5, axis="x", at=2, order=8)),
    "integrated harmonics": (
        lambda p, m, t: harmonics_cli(p, "--radius", 4, "--axis", "x", "--along", "-12:15",
                                      "--center", "0.5,1", "--numbering", "us"),
        lambda p, m, t: harmonics_py(m, radius=4, axis="x", along=(-12, 15), center=(0.5, 1),
                                     numbering="us")),
    "check": (
        lambda p, m, t: check_figures(json.loads(fieldmap("check", p, "--format", "json"))),
        lambda p, m, t: check_figures(m.check())),
    "gradient": (
        lambda p, m, t: gradient_cli(p),
        lambda p, m, t: list(m.gradient(np.array(POINTS, np.float32))[0].ravel())),
    "resample, cubic": (
        lambda p, m, t: (fieldmap("resample", p, t / "r.map", "--step", "0.3,0.4,0.5", "--box",
                                  "1:3,-3:1,0.25:5", "--interpolation", "cubic"),
                         state(fieldscan.load(t / "r.map")))[1],
        lambda p, m, t: state(m.resample(step=(0.3, 0.4, 0.5), box=((1, 3), (-3, 1), (0.25, 5)),
                                         method="cubic"))),
    "load a G4beamline table": (
        lambda p, m, t: loaded_cli(TESTDATA / "lens.g4bl", t),
        lambda p, m, t: state(fieldscan.load(TESTDATA / "lens.g4bl"))),
    "load a CSV table in other units": (
        lambda p, m, t: loaded_cli(csv_of(p, t), t, "--units", "cm,G"),
        lambda p, m, t: state(fieldscan.load(os.fsencode(csv_of(p, t)), units="cm,G"))),
    "load a table of a forced format": (
        lambda p, m, t: loaded_cli(TESTDATA / "PurgMag3D.TABLE", t, "--from", "table"),
        lambda p, m, t: state(fieldscan.load(TESTDATA / "PurgMag3D.TABLE", format="table"))),
}
for kind in ("cartesian", "normal mirrors", "sector 45, x mirror"):
    for method in ("linear", "cubic"):
        ROWS[f"sample, a points file, {method}, {kind}"] = (
            lambda p, m, t, method=method: sample_rows(fieldmap(
                "sample", p, "--points", "-", "--interpolation", method, stdin=points_text(m))),
            lambda p, m, t, method=method: sampled_points(m, method))
        OWN_MAP[f"sample, a points file, {method}, {kind}"] = kind
for to, extra in [("table", ()), ("csv", ()), ("bdsim", ("--units", "cm,G")),
                  ("g4beamline", ("--units", "cm,G")), ("vti", ("--unfold",)),
                  ("table", ("--units", "cm,kG"))]:
    ROWS[f"export {to} {' '.join(extra)}".rstrip()] = (
        lambda p, m, t, to=to, extra=extra: export_cli(p, t, to, *extra),
        lambda p, m, t, to=to, extra=extra: export_py(
            m, t, to, unfold="--unfold" in extra,
            units=extra[1] if "--units" in extra else None))


def points_text(m):
    return "".join(" ".join(f"{v:.9g}" for v in p) + "\n" for p in points_around(m, 300))


def sampled_points(m, method):
    points = np.float32([line.split() for line in points_text(m).splitlines()])
    return [[*p, *b] for p, b in zip(points, m.field(points, method=method)[0])]


def changed(m):
    values = np.array(m.values)
    values[1::2, ::3] *= np.float32(1.001)
    return fieldscan.Map.from_arrays(values, origin=m.origin, steps=m.steps, angle=m.angle,
                                     reflection=m.reflection, title=m.title, date=m.date)


def saved(m, tmp):
    m.save(tmp / "changed.map")
    return tmp / "changed.map"


@pytest.mark.parametrize("name", ROWS)
def test_command_line_and_python_agree(name, demo_map_path, tmp_path):
    path = demo_map_path
    if name in OWN_MAP:
        path = saved(random_map(*SYMMETRIES[OWN_MAP[name]]), tmp_path)
    m = fieldscan.load(path)
    cli, py = ROWS[name]
    cli_values, py_values = cli(path, m, tmp_path), py(path, m, tmp_path)
    assert len(cli_values) == len(py_values) > 0
    for a, b in zip(cli_values, py_values):
        if isinstance(a, bytes):
            assert a == b
        else:
            np.testing.assert_array_equal(bits(np.ravel(a).tolist()), bits(np.ravel(b).tolist()))
