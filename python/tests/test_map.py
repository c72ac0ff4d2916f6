import os
import re
import struct

import numpy as np
import pytest

import fieldscan
from conftest import SYMMETRIES, bits, points_around, random_map


@pytest.mark.parametrize("kind", SYMMETRIES)
def test_field_equals_the_console_evaluation(kind, console_fields, tmp_path):
    angle, reflection = SYMMETRIES[kind]
    m = random_map(angle, reflection)
    points = points_around(m, 3000)
    want_b, want_status = console_fields(m, points)
    assert {0, 1, 4} <= set(want_status), "the points should reach every kind of answer"

    m.save(tmp_path / "m.map")
    loaded = fieldscan.load(tmp_path / "m.map")
    # The same points in the layouts and precisions a caller may hand over:
    # doubles, singles, column-major, every other row of a larger array.
    wide = np.repeat(points, 2, axis=0)
    cases = {
        "float64": (m, points, {}),
        "loaded map, two threads": (loaded, points, {"threads": 2}),
        "float32": (m, points.astype(np.float32), {}),
        "column-major": (m, np.asfortranarray(points), {"threads": 2}),
        "strided rows": (m, wide[::2], {}),
        "reversed columns": (m, np.ascontiguousarray(points[:, ::-1])[:, ::-1], {}),
        "reversed rows": (m, np.ascontiguousarray(points[::-1])[::-1], {"threads": 2}),
        "list": (m, points.tolist(), {"threads": 3}),
    }
    for name, (field_map, given, options) in cases.items():
        b, status = field_map.field(given, **options)
        assert b.dtype == np.float32 and b.shape == (len(points), 3), name
        np.testing.assert_array_equal(status, want_status, err_msg=name)
        np.testing.assert_array_equal(bits(b), bits(want_b), err_msg=name)

    for n in range(0, len(points), 97):
        b, status = m.field(*points[n])
        assert status == want_status[n]
        np.testing.assert_array_equal(bits(b), bits(want_b[n]))


def test_points_that_are_not_numbers_are_outside():
    m = random_map(30.0, (2, 2, 2))
    # The console's order of tests: z, then x against its lower limit, then
    # y; an infinite x passes its lower limit, so a NaN y is reported first.
    b, status = m.field([[np.nan, 0, 1], [0, np.inf, 1], [0, 0, -np.inf], [np.inf, np.inf, 1],
                         [np.inf, np.nan, 1], [-np.inf, np.nan, 1]])
    np.testing.assert_array_equal(status, [1, 2, 3, 1, 2, 1])
    assert np.isnan(b).all()
    assert m.field(np.nan, 0, np.nan)[1] == 3
    with pytest.raises(ValueError, match=r"\(N, 3\)"):
        m.field(np.zeros((4, 2)))
    assert m.field(np.zeros((0, 3)))[0].shape == (0, 3)


def records(data):
    """(start, end) byte offsets of each length-framed record."""
    bounds, at = [], 0
    while at < len(data):
        (length,) = struct.unpack_from("<I", data, at)
        bounds.append((at, at + 8 + length))
        at += 8 + length
    return bounds


def test_each_load_failure_raises_with_the_loaders_status_and_message(tmp_path):
    good = tmp_path / "good.map"
    random_map(90.0, (0, 0, 0)).save(good)
    data = good.read_bytes()
    ends = [end for _, end in records(data)]
    cut = {2: 0, 3: ends[0], 4: ends[1], 5: ends[2], 6: ends[3], 8: ends[5] + 20}
    cases = {1: (tmp_path / "missing.map", {}), 7: (good, {"capacity": 3 * 6 * 7 * 5 - 1})}
    for status, length in cut.items():
        path = tmp_path / f"cut{status}.map"
        path.write_bytes(data[:length])
        cases[status] = (path, {})
    messages = {
        1: "Cannot open the MAP file",
        2: "Reading error: TITLE",
        3: "Reading error: DATE",
        4: "Reading error: AX~A/B/C, ANGLE",
        5: "Reading error: X/Y/Z~MIN",
        6: "Reading error: D~X/Y/Z, N~X/Y/Z",
        7: "Change the program parameter MXS to         630",
        8: "Reading error: FIELDs",
    }
    for status, (path, options) in sorted(cases.items()):
        with pytest.raises(fieldscan.MapError) as caught:
            fieldscan.load(path, **options)
        assert caught.value.status == status
        assert messages[status] in str(caught.value), status
        assert str(caught.value) == caught.value.message
    with pytest.raises(fieldscan.MapError) as caught:
        fieldscan.load(tmp_path)
    assert caught.value.status in (1, 2)


def test_values_are_a_read_only_view_of_the_maps_own_storage():
    values = np.arange(4 * 3 * 2 * 3, dtype=np.float64).reshape(4, 3, 2, 3)
    values[3, 1, 0] = fieldscan.UNMEASURED
    values[0, 0, 1, :2] = fieldscan.UNMEASURED  # two components only: measured
    m = fieldscan.Map.from_arrays(values)
    view = m.values
    assert view.shape == (4, 3, 2, 3) and view.dtype == np.float32
    assert m.counts == (2, 3, 4)
    np.testing.assert_array_equal(view, values.astype(np.float32))
    assert view.__array_interface__["data"][0] == m.values.__array_interface__["data"][0]
    with pytest.raises(ValueError):
        view[0, 0, 0, 0] = 1
    with pytest.raises(ValueError):
        view.flags.writeable = True
    expected = np.zeros((4, 3, 2), bool)
    expected[3, 1, 0] = True
    np.testing.assert_array_equal(m.unmeasured, expected)
    # The node (i, j, k) = (2, 1, 1) (1-based) at x = XMIN + DX is values[0, 0, 1].
    np.testing.assert_array_equal(m.field(1.0, 0.0, 0.0)[0], values[0, 0, 1].astype(np.float32))
    del m
    np.testing.assert_array_equal(view, values.astype(np.float32))


def test_from_arrays_save_load_round_trip(tmp_path):
    rng = np.random.default_rng(5)
    values = rng.standard_normal((3, 4, 5, 3))
    header = dict(origin=(-1.5, 2.25, -7.0), steps=(0.5, 0.25, 2.0), angle=22.5,
                  reflection=(1, 2, 0), title="Dipole D7, run 12 \u00e9", date="07-DEC-2026",
                  axis_texts=("X [cm]", "Y [cm]", "Z"), is_indices=(3, 4, 5),
                  im_indices=(-1, 0, 7))
    m = fieldscan.Map.from_arrays(values, **header)
    path = tmp_path / "round.map"
    path.write_bytes(b"an older file")
    m.save(path)
    assert os.listdir(tmp_path) == ["round.map"]
    back = fieldscan.load(str(path))
    for item, value in header.items():
        assert getattr(back, item) == value, item
    assert back.counts == (5, 4, 3)
    assert back.limits == m.limits
    np.testing.assert_array_equal(bits(back.values), bits(values))

    with pytest.raises(IsADirectoryError):
        m.save(tmp_path)
    with pytest.raises(FileNotFoundError):
        m.save(tmp_path / "no such folder" / "x.map")
    assert os.listdir(tmp_path) == ["round.map"]
    with pytest.raises(ValueError, match="at most 80"):
        fieldscan.Map.from_arrays(values, title="t" * 81)
    with pytest.raises(ValueError, match=r"\(NZ, NY, NX, 3\)"):
        fieldscan.Map.from_arrays(np.zeros((3, 4, 5)))


def test_limits_are_the_last_coordinates_evaluated():
    # -30 + 9 * 6.1 is 24.9 in single precision, but a point there folds
    # past the last node: the upper limit is the float below it.
    m = fieldscan.Map.from_arrays(np.ones((1, 1, 10, 3)), origin=(-30, 0, 0), steps=(6.1, 1, 1))
    (xlow, xhigh), _, _ = m.limits
    assert (xlow, xhigh) == (-30, float(np.nextafter(np.float32(24.9), np.float32(0))))
    assert m.field(xhigh, 0, 0)[1] == 0
    assert m.field(float(np.float32(24.9)), 0, 0)[1] == 1


def test_field_on_a_large_map_equals_the_console_evaluation(console_fields):
    # Large enough (over a mebibyte of values, over 65,536 points to a thread)
    # that the points are evaluated in the order of the grid rows they fall in.
    m = random_map(90.0, (1, 2, 1), shape=(45, 45, 46), unmeasured=50)
    points = points_around(m, 140_000)
    want_b, want_status = console_fields(m, points)
    for threads in (1, 2):
        b, status = m.field(points, threads=threads)
        np.testing.assert_array_equal(status, want_status)
        np.testing.assert_array_equal(bits(b), bits(want_b))


def test_paths_are_taken_as_open_takes_them(tmp_path):
    m = random_map(90.0, (0, 0, 0))
    folder = os.fsencode(tmp_path)

    class BytesPath:
        def __fspath__(self):
            return folder + b"/like.map"

    cases = [(str(tmp_path / "str.map"), b"str.map"), (folder + b"/bytes.map", b"bytes.map"),
             (tmp_path / "pathlib.map", b"pathlib.map"), (BytesPath(), b"like.map"),
             (folder + b"/latin\xe9.map", b"latin\xe9.map"),
             (os.fsdecode(folder + b"/undecodable\xff.map"), b"undecodable\xff.map")]
    for path, name in cases:
        m.save(path)
        assert name in os.listdir(folder), path
        np.testing.assert_array_equal(bits(fieldscan.load(path).values), bits(m.values))
    assert len(os.listdir(folder)) == len(cases)
    with pytest.raises(ValueError, match="null"):
        m.save(folder + b"/a\0b.map")
    with pytest.raises(TypeError):
        fieldscan.load(3.5)


VALUES = np.zeros((2, 2, 2, 3))


@pytest.mark.parametrize("call, error, words", [
    (lambda m: fieldscan.field_message(99), ValueError, "status: 99 is not from 0 to 4"),
    (lambda m: fieldscan.field_message(-1), ValueError, "status: -1 is not from 0 to 4"),
    (lambda m: m.sample_grid(x=(0, 1, 2.5), y=0, z=0), ValueError, "x: 2.5 is not a whole number"),
    (lambda m: m.sample_grid(x=0, y="1", z=0), TypeError, "y: '1' is not a number"),
    (lambda m: m.sample_grid(x=0, y=0, z=np.array([0, 1])), ValueError, "z: array([0, 1]) has 2"),
    (lambda m: m.sample_line(5, (1, 0, 0), points=3), TypeError, "start: 5 is not a sequence"),
    (lambda m: fieldscan.Map.from_arrays(VALUES, reflection=(2**40, 0, 0)), ValueError,
     "reflection: 1099511627776 is not from -2147483648 to 2147483647"),
    (lambda m: fieldscan.Map.from_arrays(VALUES, is_indices=[0, None, 2]), TypeError,
     "is_indices: None is not a number"),
    (lambda m: fieldscan.Map.from_arrays(VALUES, axis_texts=("X", 2, "Z")), TypeError,
     "axis_texts: 2 is not a text"),
    # What the command line refuses, in its words.
    (lambda m: m.sample_line((0, 0, 0), (1e40, 0, 0), points=3), ValueError,
     "end: 1e+40 is not a finite number in single precision"),
    (lambda m: m.sample_grid(x=(0, 3.5e38, 2), y=0, z=0), ValueError,
     "x: 3.5e+38 is not a finite number in single precision"),
    (lambda m: m.integral((0, 0, 90), (1, 1, 99), points=5, skip_unevaluable=True), ValueError,
     "no point of the line can be evaluated"),
    (lambda m: fieldscan.Map.from_arrays(VALUES, steps=(1, 0, 1)), ValueError,
     "steps: 0.0 is not positive; a step must be positive"),
    (lambda m: fieldscan.Map.from_arrays(VALUES, steps=(1, 1, -1)), ValueError,
     "steps: -1.0 is not positive"),
    (lambda m: fieldscan.Map.from_arrays(VALUES, steps=(np.nan, 1, 1)), ValueError,
     "steps: nan is not finite in single precision"),
    (lambda m: fieldscan.Map.from_arrays(VALUES, origin=(0, 1e40, 0)), ValueError,
     "origin: 1e+40 is not finite in single precision"),
    (lambda m: fieldscan.Map.from_arrays(VALUES, angle=1e40), ValueError,
     "angle: 1e+40 is not finite in single precision"),
])
def test_arguments_are_refused_by_name(call, error, words):
    with pytest.raises(error, match=re.escape(words)) as caught:
        call(random_map(90.0, (0, 0, 0)))
    if ": " in words:  # and what the argument takes
        assert f"({words.split(':')[0]} takes " in str(caught.value)


def _field_of(m, points):
    return m.field(points)


def test_a_pickled_map_evaluates_bit_for_bit_as_the_original():
    import multiprocessing
    import pickle
    m = random_map(*SYMMETRIES["sector -30, mirrors"])
    points = points_around(m, 2000)
    b, status = m.field(points)
    copy = pickle.loads(pickle.dumps(m))
    assert (copy.title, copy.date, copy.limits) == (m.title, m.date, m.limits)
    with multiprocessing.get_context("fork").Pool(1) as pool:
        shipped = pool.apply(_field_of, (m, points))
    for other_b, other_status in (copy.field(points), shipped):
        np.testing.assert_array_equal(bits(other_b), bits(b))
        np.testing.assert_array_equal(other_status, status)


@pytest.mark.parametrize("call, error, words", [
    (lambda m, t: fieldscan.load(t / "m.map", format="vti"), ValueError,
     "format: vti files are written, not read"),
    (lambda m, t: fieldscan.load(t / "m.map", units="mm,furlong"), ValueError, "units: "),
    (lambda m, t: fieldscan.load(t / "bad.txt"), fieldscan.MapError, "bad.txt:2:"),
    (lambda m, t: fieldscan.load(t / "m.map", format="csv"), fieldscan.MapError, "m.map"),
    (lambda m, t: m.export(t / "m.bds", "bdsim", units="cm,T"), ValueError, "mirror planes"),
    (lambda m, t: m.export(t / "m.txt", "comsol"), ValueError, "comsol files are read"),
    (lambda m, t: m.export(t / "m.txt", "csv", unfold=True), ValueError, "vti"),
    (lambda m, t: m.export(t, "csv"), IsADirectoryError, ""),
    (lambda m, t: m.export(t, "map"), IsADirectoryError, ""),
])
def test_load_and_export_refuse_with_the_command_lines_reasons(tmp_path, call, error, words):
    m = random_map(*SYMMETRIES["normal mirrors"])
    m.save(tmp_path / "m.map")
    (tmp_path / "bad.txt").write_text("x y z bx by bz\n0 0 zero 1 2 3\n")
    with pytest.raises(error) as caught:
        call(m, tmp_path)
    assert words in str(caught.value)
    assert sorted(os.listdir(tmp_path)) == ["bad.txt", "m.map"]  # nothing left behind
