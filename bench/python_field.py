"""Map.field against scipy's RegularGridInterpolator (linear) on the same
100 x 100 x 100 grid and the same points, random and along scan lines, one
thread each, measured in alternating pairs; prints the ratio of every pair
(its minimum, median and maximum), the median times and how far the two
results differ.

    PYTHONPATH=build/python /usr/bin/python3 bench/python_field.py [--pairs N]

Each pair runs the two on the same slice of points, one after the other (the
one going first changes from pair to pair), timed in the thread's CPU time,
so that both see the same load and a run that waited for a core does not
count the wait.  The ratio is scipy's time over Map.field's (goal: at least
15 on random points).

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


def cpu_time(run):
    start = time.thread_time()
    result = run()
    return time.thread_time() - start, result


def paired(ours, theirs, slices, pairs):
    """Times of both on slice after slice, alternating which goes first."""
    times = []
    for n in range(pairs):
        part = slices[n % len(slices)]
        if n % 2 == 0:
            a, _ = cpu_time(lambda: ours(part))
            b, _ = cpu_time(lambda: theirs(part))
        else:
            b, _ = cpu_time(lambda: theirs(part))
            a, _ = cpu_time(lambda: ours(part))
        times.append((a, b))
    return np.array(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=int, default=1_000_000, help="points of each kind")
    parser.add_argument("--slice", type=int, default=100_000, help="points per timed run")
    parser.add_argument("--pairs", type=int, default=60)
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

    print(f"{N} x {N} x {N} grid, linear interpolation of three components, one thread each, "
          f"{args.pairs} pairs of {args.slice:,} points")
    for name, points in point_sets.items():
        # Both evaluate the same single-precision points.
        points = points.astype(np.float32).astype(np.float64)
        zyx = np.ascontiguousarray(points[:, ::-1])
        b, status = field_map.field(points, threads=1)
        expected = scipy_map(zyx)
        assert (status == 0).all()
        scale = np.abs(values).max(axis=(0, 1, 2)).astype(np.float64)
        worst = (np.abs(b - expected) / scale).max() / np.finfo(np.float32).eps
        starts = range(0, len(points) - args.slice + 1, args.slice)
        slices = [(np.ascontiguousarray(points[s:s + args.slice]),
                   np.ascontiguousarray(zyx[s:s + args.slice])) for s in starts]
        times = paired(lambda part: field_map.field(part[0], threads=1),
                       lambda part: scipy_map(part[1]), slices, args.pairs)
        ratio = times[:, 1] / times[:, 0]
        ns = np.median(times, axis=0) / args.slice * 1e9
        print(f"{name}:")
        print(f"  Map.field, 1 thread      {ns[0]:8.1f} ns/point (median)")
        print(f"  RegularGridInterpolator  {ns[1]:8.1f} ns/point (median)")
        print(f"  ratio min/median/max     {ratio.min():6.1f} {np.median(ratio):6.1f} "
              f"{ratio.max():6.1f} x")
        print(f"  largest difference       {worst:8.2f} single-precision epsilons of the "
              f"component's largest value")


if __name__ == "__main__":
    main()
