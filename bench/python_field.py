"""Map.field against scipy's RegularGridInterpolator (linear) on the same
100 x 100 x 100 grid and the same points, random and along scan lines, one
core each; prints both times, the ratio and how far the two results differ.

    PYTHONPATH=build/python /usr/bin/python3 bench/python_field.py [--points N]

Needs python3-scipy.  The map is a plain grid (90 degrees, no mirror planes)
and every point lies inside it, where the two interpolations are the same
formula; they differ by the rounding of single against double precision.
"""

import argparse
import time

import numpy as np
from scipy.interpolate import RegularGridInterpolator

import fieldscan

N = 100


def best_time(run, repeat):
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3, help="runs of each; the best counts")
    args = parser.parse_args()

    rng = np.random.default_rng(7)
    # A smooth field with some structure, stored in single precision.
    axis = np.arange(N, dtype=np.float64)
    z, y, x = np.meshgrid(axis, axis, axis, indexing="ij")
    values = np.stack([np.sin(x / 9) * np.cos(y / 13), np.cos(z / 7) * 100 + y,
                       1000 * np.exp(-((x - 50) ** 2 + (z - 40) ** 2) / 900)], axis=-1)
    values = values.astype(np.float32)
    field_map = fieldscan.Map.from_arrays(values)
    # RegularGridInterpolator takes the axes in the order of the array's
    # dimensions: (z, y, x), so points go to it as (z, y, x) as well.
    scipy_map = RegularGridInterpolator((axis, axis, axis), values, method="linear")

    count = args.points
    lines = max(1, count // 1000)
    per_line = count // lines
    scan = np.empty((lines, per_line, 3))
    scan[:, :, 0] = np.linspace(0, N - 1, per_line)
    scan[:, :, 1] = rng.uniform(0, N - 1, (lines, 1))
    scan[:, :, 2] = rng.uniform(0, N - 1, (lines, 1))
    point_sets = {
        "random points": rng.uniform(0, N - 1, (count, 3)),
        "scan lines": scan.reshape(-1, 3),
    }

    print(f"{N} x {N} x {N} grid, linear interpolation of three components, one core each")
    for name, points in point_sets.items():
        # Both evaluate the same single-precision points.
        points = points.astype(np.float32).astype(np.float64)
        zyx = np.ascontiguousarray(points[:, ::-1])
        ours, (b, status) = best_time(lambda: field_map.field(points, threads=1), args.repeat)
        both, _ = best_time(lambda: field_map.field(points), args.repeat)
        theirs, expected = best_time(lambda: scipy_map(zyx), max(1, args.repeat - 1))
        assert (status == 0).all()
        scale = np.abs(values).max(axis=(0, 1, 2)).astype(np.float64)
        worst = (np.abs(b - expected) / scale).max() / np.finfo(np.float32).eps
        n = len(points)
        print(f"{name} ({n:,}):")
        print(f"  Map.field, 1 thread      {ours * 1e3:8.1f} ms  {ours / n * 1e9:6.1f} ns/point")
        print(f"  Map.field, all cores     {both * 1e3:8.1f} ms  {both / n * 1e9:6.1f} ns/point")
        print(f"  RegularGridInterpolator  {theirs * 1e3:8.1f} ms  "
              f"{theirs / n * 1e9:6.1f} ns/point")
        print(f"  ratio (one core)         {theirs / ours:8.1f} x")
        print(f"  largest difference       {worst:8.2f} single-precision epsilons of the "
              f"component's largest value")


if __name__ == "__main__":
    main()
