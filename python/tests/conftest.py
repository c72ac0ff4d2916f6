"""Shared support for the module's tests: maps of every symmetry kind and the
console's own evaluation of a map file (LOAD and FIELDS, through the
fields_reference program that ctest names in FIELDSCAN_FIELDS_REFERENCE)."""

import os
import subprocess

import numpy as np
import pytest

import fieldscan

# name: (angle in degrees, reflection indices); together they cover plain
# grids, both kinds of mirror plane on each axis, sector folds of either sign
# with and without mirrors, and full rotational symmetry.
SYMMETRIES = {
    "cartesian": (90.0, (0, 0, 0)),
    "normal mirrors": (90.0, (1, 1, 1)),
    "parallel mirrors": (90.0, (2, 2, 2)),
    "mixed mirrors": (90.0, (1, 2, 0)),
    "sector 30": (30.0, (0, 0, 0)),
    "sector -30, mirrors": (-30.0, (2, 1, 1)),
    "sector 45, x mirror": (45.0, (1, 0, 2)),
    "rotational": (0.0, (0, 0, 1)),
}


def random_map(angle, reflection, seed=1, shape=(5, 7, 6), unmeasured=3):
    """A map with random node values, a few unmeasured nodes, an origin off
    zero and unequal steps."""
    rng = np.random.default_rng(seed)
    values = rng.uniform(-100, 100, shape + (3,)).astype(np.float32)
    for _ in range(unmeasured):
        values[tuple(rng.integers(0, n) for n in shape)] = fieldscan.UNMEASURED
    values[2, 0, 3] = fieldscan.UNMEASURED  # on y = YMIN, which every fold reaches
    return fieldscan.Map.from_arrays(values, origin=(1.5, -2.0, 0.25), steps=(0.5, 0.75, 1.25),
                                     angle=angle, reflection=reflection, title="random map")


def points_around(m, count, seed=2):
    """Random points over the map's limits and a margin beyond them, plus the
    nodes of the grid and the origin (points on cell faces and mirror planes)."""
    rng = np.random.default_rng(seed)
    low = np.array([lim[0] for lim in m.limits])
    high = np.array([lim[1] for lim in m.limits])
    margin = 0.2 * (high - low) + 0.5
    random = rng.uniform(low - margin, high + margin, (count, 3))
    origin = np.array(m.origin)
    nx, ny, nz = m.counts
    k, j, i = np.meshgrid(range(nz), range(ny), range(nx), indexing="ij")
    nodes = origin + np.stack([i, j, k], axis=-1).reshape(-1, 3) * np.array(m.steps)
    return np.concatenate([random, nodes, [origin]])


@pytest.fixture
def console_fields(tmp_path):
    """console_fields(map_or_path, points) -> (b, status) from LOAD and FIELDS."""
    program = os.environ.get("FIELDSCAN_FIELDS_REFERENCE")
    if not program:
        pytest.skip("FIELDSCAN_FIELDS_REFERENCE is not set: run the tests through ctest")

    def run(m, points):
        # The console takes map names of at most 80 characters: the map is
        # named relative to the folder the program runs in.
        m.save(tmp_path / "reference.map")
        out = subprocess.run([program, "reference.map"], cwd=tmp_path,
                             input=np.asarray(points, np.float32).tobytes(),
                             capture_output=True, check=True).stdout
        table = np.frombuffer(out, np.float32).reshape(-1, 4)
        return table[:, :3], table[:, 3].astype(np.int16)

    return run


@pytest.fixture
def demo_map_path():
    path = os.environ.get("FIELDSCAN_DEMO_MAP")
    if not path:
        pytest.skip("FIELDSCAN_DEMO_MAP is not set: run the tests through ctest")
    return path


def bits(a):
    """Single-precision values as their bit patterns, so that equality is
    bit for bit and NaN equals NaN."""
    return np.asarray(a, np.float32).view(np.uint32)
