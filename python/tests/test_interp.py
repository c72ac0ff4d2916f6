"""Cubic interpolation and the VTK export: exact on a uniform field, and the
.vti read back by VTK (the command line's numbers are test_parity's)."""

import os
import subprocess

import numpy as np
import pytest

import fieldscan


@pytest.fixture
def fieldmap_command():
    program = os.environ.get("FIELDSCAN_FIELDMAP")
    if not program:
        pytest.skip("FIELDSCAN_FIELDMAP is not set: run the tests through ctest")
    return lambda *args: subprocess.run([program, *map(str, args)], capture_output=True,
                                        text=True, check=True).stdout


def test_cubic_is_exact_on_a_uniform_field_to_the_map_edges():
    m = fieldscan.Map.from_arrays(np.tile(np.float32([1, -2, 0.5]), (4, 5, 6, 1)),
                                  steps=(0.5, 1, 2))
    x = np.linspace(0, 2.5, 23)
    s = m.sample_grid(x=(0, 2.5, 23), y=(0, 4, 17), z=(0, 6, 13), method="cubic")
    assert (s.status == 0).all()
    np.testing.assert_array_equal(s.b, np.broadcast_to(np.float32([1, -2, 0.5]), s.b.shape))
    with pytest.raises(ValueError, match="linear' or 'cubic"):
        m.field(x[0], 0, 0, method="spline")


@pytest.mark.parametrize("unfold", [False, True])
def test_vti_reads_back_in_vtk(tmp_path, demo_map_path, fieldmap_command, unfold):
    vtk = pytest.importorskip("vtk", reason="VTK (python3-vtk9) is not installed")
    from vtk.util.numpy_support import vtk_to_numpy
    m = fieldscan.load(demo_map_path)
    path = tmp_path / "demo.vti"
    fieldmap_command("export", demo_map_path, path, "--to", "vti", *(["--unfold"] * unfold))
    reader = vtk.vtkXMLImageDataReader()
    reader.SetFileName(str(path))
    reader.Update()
    image = reader.GetOutput()
    nx, ny, nz = m.counts
    below = [n - 1 if unfold and r != 0 else 0 for n, r in zip(m.counts, m.reflection)]
    assert image.GetDimensions() == (nx + below[0], ny + below[1], nz + below[2])
    assert np.float32(image.GetSpacing()).tolist() == list(m.steps)
    origin = np.float32(m.origin) - np.float32(below) * np.float32(m.steps)
    assert np.float32(image.GetOrigin()).tolist() == origin.tolist()
    b = vtk_to_numpy(image.GetPointData().GetArray("B")).reshape(
        nz + below[2], ny + below[1], nx + below[0], 3)
    measured = vtk_to_numpy(image.GetPointData().GetArray("measured")).reshape(b.shape[:3])
    stored = b[below[2]:, below[1]:, below[0]:]
    expected = np.where(m.unmeasured[..., None], np.nan, m.values)
    np.testing.assert_array_equal(stored, expected)
    assert (measured[below[2]:, below[1]:, below[0]:] == ~m.unmeasured).all()
    if unfold:  # every image node is the field at its point, signs included
        nodes = np.stack(np.meshgrid(*[origin[a] + np.arange(b.shape[2 - a]) * m.steps[a]
                                       for a in (2, 1, 0)], indexing="ij")[::-1], -1)
        field, status = m.field(nodes.reshape(-1, 3))
        np.testing.assert_array_equal(b.reshape(-1, 3), field)
    title = image.GetFieldData().GetAbstractArray("title").GetValue(0)
    assert title == m.title
