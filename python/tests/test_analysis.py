import numpy as np
import pytest

import fieldscan
from conftest import bits, random_map


def along_z(profile, nz=21):
    """A map whose BZ follows profile(z) at its nodes z = 0 .. nz-1, the same
    at every x and y; BX = 1 everywhere and BY = 0."""
    z = np.arange(nz, dtype=np.float64)
    values = np.zeros((nz, 2, 2, 3))
    values[..., 0] = 1
    values[..., 2] = profile(z)[:, None, None]
    return fieldscan.Map.from_arrays(values)


def test_samples_are_the_field_at_their_points():
    m = random_map(30.0, (2, 1, 1))
    line = m.sample_line((-3, -2.5, -1), (4, 3, 5.5), points=101)
    np.testing.assert_array_equal(line.points[[0, -1]], np.float32([[-3, -2.5, -1], [4, 3, 5.5]]))
    np.testing.assert_allclose(line.distance[-1], np.sqrt(7**2 + 5.5**2 + 6.5**2))
    b, status = m.field(line.points)
    np.testing.assert_array_equal(line.status, status)
    np.testing.assert_array_equal(bits(line.b), bits(b))
    assert {0, 1} <= set(status)

    stepped = m.sample_line((0, 0, 0), (0, 0, 1), step=0.25)
    np.testing.assert_array_equal(stepped.points[:, 2], [0, 0.25, 0.5, 0.75, 1])
    assert len(m.sample_line((0, 0, 0), (0, 0, 1), step=0.3).distance) == 4

    grid = m.sample_grid(x=(-2, 3, 6), y=1.5, z=(0, 4, 3))
    assert grid.b.shape == (3, 1, 6, 3) and grid.status.shape == (3, 1, 6)
    np.testing.assert_array_equal(grid.x, np.linspace(-2, 3, 6, dtype=np.float32))
    np.testing.assert_array_equal(grid.points[2, 0, 4], np.float32([2, 1.5, 4]))
    # Any sequence of numbers, NumPy arrays and scalars included.
    same = m.sample_grid(x=np.array([-2.0, 3, 6]), y=np.float32(1.5), z=np.array((0, 4, 3)))
    np.testing.assert_array_equal(bits(same.b), bits(grid.b))
    b, status = m.field(grid.points.reshape(-1, 3))
    np.testing.assert_array_equal(bits(grid.b.reshape(-1, 3)), bits(b))
    np.testing.assert_array_equal(grid.status.ravel(), status)

    for bad in [dict(points=1), dict(step=0), dict(), dict(points=5, step=1)]:
        with pytest.raises(ValueError):
            m.sample_line((0, 0, 0), (1, 1, 1), **bad)
    with pytest.raises(ValueError):
        m.sample_grid(x=(0, 1, 0), y=0, z=0)
    with pytest.raises(ValueError):
        m.sample_line((0, np.nan, 0), (1, 1, 1), points=3)


@pytest.mark.parametrize("profile, exact", [
    (lambda z: np.full_like(z, 2.5), 2.5 * 12),
    (lambda z: 3 - 0.5 * z, 3 * 12 - 0.25 * (16**2 - 4**2)),
])
def test_integral_of_constant_and_linear_fields(profile, exact):
    m = along_z(profile)
    for options in [dict(points=25), dict(points=26), dict(step=0.5),
                    dict(points=26, rule="trapezoid")]:
        result = m.integral((0.5, 0.5, 4), (0.5, 0.5, 16), **options)
        assert result.rule == options.get("rule", "simpson")
        # The field is interpolated in single precision.
        np.testing.assert_allclose(result.integral, (12, 0, exact), rtol=1e-7, atol=1e-12)
        assert result.main_component == 2
        line = {k: v for k, v in options.items() if k != "rule"}
        assert result.skipped_length == 0 and result.evaluated == result.points == len(
            m.sample_line((0.5, 0.5, 4), (0.5, 0.5, 16), **line).status)


def test_simpson_integrates_cubic_fields_exactly_for_any_number_of_intervals():
    # Node values x, x*y, x*y*z are multilinear, so the interpolation gives
    # them exactly everywhere: along the diagonal (u, u, u) the field is
    # (u, u^2, u^3).
    u = np.arange(5.0)
    x, y, z = u[None, None, :], u[None, :, None], u[:, None, None]
    values = np.stack(np.broadcast_arrays(x, x * y, x * y * z), axis=-1)
    m = fieldscan.Map.from_arrays(values)
    root3 = np.sqrt(3)
    exact = root3 * np.array([4**2 / 2, 4**3 / 3, 4**4 / 4])
    for points in (9, 10, 3, 4):  # even and odd interval counts, the shortest of each
        result = m.integral((0, 0, 0), (4, 4, 4), points=points)
        np.testing.assert_allclose(result.integral, exact, rtol=1e-6, err_msg=f"points={points}")
    # The trapezoid rule is off by h^2 / 12 * (f'(4) - f'(0)) for u^2 and u^3.
    h = 0.5
    result = m.integral((0, 0, 0), (4, 4, 4), points=9, rule="trapezoid")
    assert result.rule == "trapezoid" and "trapezoid" in result.rule_description
    np.testing.assert_allclose(result.integral, exact + root3 * h**2 / 12 * np.array([0, 8, 48]),
                               rtol=1e-6)
    # Effective length: of the component with the largest peak unless told.
    result = m.integral((0, 0, 0), (4, 4, 4), points=9)
    assert result.main_component == 2 and result.main_peak == 64
    np.testing.assert_allclose(result.effective_length, root3, rtol=1e-6)
    result = m.integral((0, 0, 0), (4, 4, 4), points=9, main_component=0)
    np.testing.assert_allclose(result.effective_length, 2 * root3, rtol=1e-6)
    for bad in [dict(rule="midpoint"), dict(main_component=3)]:
        with pytest.raises(ValueError):
            m.integral((0, 0, 0), (4, 4, 4), points=9, **bad)


def test_effective_length_of_a_hard_edge_field():
    # BZ = 10 on the nodes z = 0..9 and 0 from z = 10: interpolated, the edge
    # is a ramp centred on 9.5.
    m = along_z(lambda z: np.where(z <= 9, 10.0, 0.0))
    result = m.integral((0.5, 0.5, 0), (0.5, 0.5, 20), step=0.25)
    np.testing.assert_allclose(result.integral[2], 95.0, rtol=1e-12)
    assert result.main_component == 2 and result.main_peak == 10
    np.testing.assert_allclose(result.effective_length, 9.5, rtol=1e-12)
    np.testing.assert_allclose(result.peak, np.hypot(1, 10))


def test_integral_stops_at_points_it_cannot_evaluate_unless_told_to_skip_them():
    m = along_z(lambda z: np.ones_like(z))
    with pytest.raises(ValueError, match=r"\(0\.5, 0\.5, -1\.0\): Point is outside Z-limits"):
        m.integral((0.5, 0.5, -1), (0.5, 0.5, 8), step=0.5)
    result = m.integral((0.5, 0.5, -1), (0.5, 0.5, 8), step=0.5, skip_unevaluable=True)
    np.testing.assert_allclose(result.integral, (8, 0, 8))
    assert result.skipped_length == 1.0


def test_diff_finds_the_changed_node_and_the_nodes_evaluable_in_one_map_only():
    values = np.random.default_rng(3).uniform(-5, 5, (4, 5, 6, 3))
    a = fieldscan.Map.from_arrays(values, steps=(0.5, 1, 2))
    same = a.diff(a)
    assert same.max_abs == (0, 0, 0) and same.compared == 120 and same.only_a == same.only_b == 0

    changed = values.copy()
    changed[2, 3, 4, 1] += 0.125
    changed[0, 0, 0] = fieldscan.UNMEASURED
    d = fieldscan.diff(a, fieldscan.Map.from_arrays(changed, steps=(0.5, 1, 2)))
    assert d.max_abs[1] == pytest.approx(0.125, abs=1e-6)
    assert d.max_at[1] == (2.0, 3.0, 4.0)
    assert d.max_abs[0] == 0 and d.max_abs[2] == 0
    assert (d.compared, d.only_a, d.only_b) == (119, 1, 0)
    assert d.rms[1] == pytest.approx(0.125 / np.sqrt(119), rel=1e-5)

    on_grid = a.diff(a, x=(0, 2.5, 3), y=1, z=(0, 6, 2))
    assert on_grid.compared == 6
