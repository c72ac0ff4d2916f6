import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

from conftest import random_map

import fieldscan

matplotlib = pytest.importorskip(
    "matplotlib", reason="matplotlib (python3-matplotlib) is not installed: plots not tested")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from fieldscan import plot  # noqa: E402


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def test_line_plots_the_sampled_components():
    m = random_map(30.0, (2, 1, 1))
    start, end = (-3, -2.5, -1), (4, 3, 5.5)
    ax = plot.line(m, start, end, components="bz,bx,b", points=301)
    sample = m.sample_line(start, end, points=301)
    assert {0, 4} <= set(sample.status)
    lines = {line.get_label(): line for line in ax.get_lines()}
    expected = {"BZ": sample.b[:, 2], "BX": sample.b[:, 0],
                "B": np.sqrt((sample.b.astype(np.float64) ** 2).sum(axis=1))}
    for label, values in expected.items():
        np.testing.assert_array_equal(lines[label].get_ydata(), values, err_msg=label)
        np.testing.assert_array_equal(lines[label].get_xdata(), sample.distance)
    # Along an axis the abscissa is that coordinate.
    ax = plot.line(m, (0, 1, 2), (3, 1, 2), components=["by"], points=11)
    np.testing.assert_array_equal(ax.get_lines()[0].get_xdata(),
                                  np.linspace(0, 3, 11, dtype=np.float32))
    with pytest.raises(ValueError, match="unknown component"):
        plot.line(m, start, end, components="bq")


def test_harmonics_draws_the_relative_normal_and_skew_bars():
    # A quadrupole B = G (y, x, 0): b_n and a_n of every order but the main.
    x = np.arange(-10, 11, dtype=np.float64)
    values = np.zeros((3, 21, 21, 3))
    values[..., 0] = 0.01 * x[None, :, None]
    values[..., 1] = 0.01 * x[None, None, :]
    m = fieldscan.Map.from_arrays(values, origin=(-10, -10, -1))
    h = m.harmonics(5, order=6)
    ax = plot.harmonics(h)
    heights = [bar.get_height() for bar in ax.patches]
    np.testing.assert_array_equal(heights, np.concatenate([np.delete(h.b, 1), np.delete(h.a, 1)]))
    assert "B_2" in ax.get_ylabel()


def test_plane_shows_the_sampled_component_and_what_cannot_be_evaluated():
    m = random_map(90.0, (1, 2, 0))
    x, y, z = (-3.0, 4.5, 31), (-6.0, 3.5, 20), 1.3
    ax = plot.plane(m, z=z, component="by", x=x, y=y)
    sample = m.sample_grid(x=x, y=y, z=z)
    status = sample.status[0]
    assert {0, 1, 2, 4} <= set(status.ravel())
    field, regions = ax.get_images()
    data = field.get_array()
    np.testing.assert_array_equal(data.mask, status != 0)
    np.testing.assert_array_equal(data.data[status == 0], sample.b[0][status == 0][:, 1])
    np.testing.assert_array_equal(regions.get_array().filled(0),
                                  np.where(status == 4, 2, np.where(status != 0, 1, 0)))
    # Pixel centres at the sample points.
    np.testing.assert_allclose(field.get_extent(), (-3.125, 4.625, -6.25, 3.75))
    # The mirror planes x = XMIN and y = YMIN, and the grid's extent.
    xmin, ymin, _ = m.origin
    mirrors = [line.get_xdata()[0] if line.get_xdata()[0] == line.get_xdata()[1] else None
               for line in ax.get_lines()]
    assert xmin in mirrors
    assert any(line.get_ydata()[0] == line.get_ydata()[1] == ymin for line in ax.get_lines())
    (grid,) = [p for p in ax.patches if p.get_label() == "grid"]
    nx, ny, _ = m.counts
    assert grid.get_bbox().bounds == pytest.approx((xmin, ymin, (nx - 1) * 0.5, (ny - 1) * 0.75))


def test_plane_by_default_covers_the_limits_and_marks_sector_boundaries():
    m = random_map(30.0, (1, 1, 0))
    ax = plot.plane(m, z=2.0, resolution=50)
    (xlow, xhigh), (ylow, yhigh), _ = m.limits
    left, right, bottom, top = ax.get_images()[0].get_extent()
    assert left < xlow < xhigh < right and bottom < ylow < yhigh < top
    rays = [line for line in ax.get_lines() if line.get_color() == "darkorange"]
    assert len(rays) == 11


def run_cli(*args):
    return subprocess.run([sys.executable, "-m", "fieldscan", *map(str, args)],
                          capture_output=True, text=True)


@pytest.mark.parametrize("what, output, magic", [
    (["--line", "-20,0,2:20,0,2", "--components", "bz,b"], "line.png", b"\x89PNG"),
    (["--plane", "3.5", "--component", "bx", "--x", "-5:5:11", "--y", "0:4:5"], "plane.svg",
     b"<?xml"),
    (["--plane", "-2"], "plane.pdf", b"%PDF"),
])
def test_command_line_writes_the_picture(what, output, magic, tmp_path, demo_map_path):
    path = tmp_path / output
    done = run_cli("plot", demo_map_path, *what, "-o", path)
    assert done.returncode == 0, done.stderr
    assert path.read_bytes().startswith(magic)
    assert sorted(p.name for p in tmp_path.iterdir()) == [output]


def test_command_line_reports_bad_maps_and_arguments(tmp_path, demo_map_path):
    done = run_cli("plot", tmp_path / "none.map", "--plane", "0", "-o", tmp_path / "x.png")
    assert done.returncode == 1 and "Cannot open the MAP file" in done.stderr
    for args in (["--plane", "0", "-o", tmp_path / "x.gif"], ["--line", "0,0,0", "-o", "x.png"],
                 ["--plane", "0", "--component", "bq", "-o", tmp_path / "x.png"]):
        done = run_cli("plot", demo_map_path, *args)
        assert done.returncode == 2 and "error" in done.stderr, args
    folder = tmp_path / "folder.png"
    folder.mkdir()
    done = run_cli("plot", demo_map_path, "--plane", "0", "-o", folder)
    assert done.returncode == 1 and str(folder) in done.stderr
    assert [p.name for p in tmp_path.iterdir()] == ["folder.png"]


def test_plots_sample_no_more_points_than_the_picture_has_pixels():
    m = random_map(90.0, (1, 2, 0))
    ax = plot.plane(m, z=1.3, x=(-3, 4.5, 4000), y=(-6, 3.5, 2000))
    width, height = (int(v) for v in ax.figure.get_size_inches() * ax.figure.dpi)
    field = ax.get_images()[0]
    assert field.get_array().shape == (height, width)
    sample = m.sample_grid(x=(-3, 4.5, width), y=(-6, 3.5, height), z=1.3)
    np.testing.assert_array_equal(field.get_array().mask, sample.status[0] != 0)
    start, end = (-3, -2.5, -1), (4, 3, 5.5)
    for options in (dict(points=10**6), dict(step=1e-5)):
        line = plot.line(m, start, end, components="bx", **options).get_lines()[0]
        np.testing.assert_array_equal(line.get_ydata(),
                                      m.sample_line(start, end, points=width).b[:, 0])
    _, small = plt.subplots(figsize=(2, 1), dpi=50)
    assert len(plot.line(m, start, end, points=1000, ax=small).get_lines()[0].get_xdata()) == 100
    if os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") < 50e9:
        with pytest.raises(ValueError, match="more than the .* of memory"):
            m.sample_grid(x=(0, 1, 1000), y=(0, 1, 1000), z=(0, 1, 1000))


def test_command_line_takes_any_file_name_and_writes_through_links(tmp_path, demo_map_path):
    folder = os.fsencode(tmp_path)
    shutil.copy(demo_map_path, folder + b"/demo\xff.map")
    target = tmp_path / "target.png"
    target.write_bytes(b"an older picture")
    target.chmod(0o640)
    (tmp_path / "link.png").symlink_to("target.png")
    done = subprocess.run([sys.executable, "-m", "fieldscan", "plot", folder + b"/demo\xff.map",
                           "--plane", "0", "-o", tmp_path / "link.png"], capture_output=True)
    assert done.returncode == 0, done.stderr
    assert os.readlink(tmp_path / "link.png") == "target.png"
    assert target.read_bytes().startswith(b"\x89PNG") and target.stat().st_mode & 0o777 == 0o640
    assert sorted(os.listdir(folder)) == [b"demo\xff.map", b"link.png", b"target.png"]
