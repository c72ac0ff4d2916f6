"""Field maps in Python: load, build and save maps, and evaluate them with the
arithmetic of the fieldscan console (mirror planes, sector symmetry,
unmeasured nodes, trilinear interpolation), many points at a time.

    >>> import fieldscan
    >>> m = fieldscan.load("build/demo.map")
    >>> b, status = m.field([[0.0, 0.0, 0.0], [5.0, 2.0, 1.0]])

Field statuses: 0 evaluated, 1-3 outside the x, y or z limits, 4 next to an
unmeasured node; `field_message(status)` gives the console's text.  Where a
point is not evaluated its field is NaN.  Plots are in `fieldscan.plot`.

`load` also reads a field table in any format `fieldmap convert` reads, and
`Map.export` writes every format `fieldmap export` writes.  Maps pickle (as
the bytes of their map file), so they travel to other processes.
"""

from ._fieldscan import (
    MXS,
    UNMEASURED,
    UNMEASURED_LIMIT,
    GridSample,
    Harmonics,
    LineIntegral,
    LineSample,
    Map,
    MapDifference,
    MapError,
    field_message,
    load,
)
from ._version import __version__

OK = 0
OUTSIDE_X = 1
OUTSIDE_Y = 2
OUTSIDE_Z = 3
UNMEASURED_NODE = 4

COMPONENTS = ("bx", "by", "bz")


def diff(a, b, **grid):
    """The differences b - a at the nodes of a, or on a grid given as for
    Map.sample_grid (x=..., y=..., z=...): a MapDifference."""
    return a.diff(b, **grid)


__all__ = [
    "COMPONENTS",
    "GridSample",
    "Harmonics",
    "LineIntegral",
    "LineSample",
    "MXS",
    "Map",
    "MapDifference",
    "MapError",
    "OK",
    "OUTSIDE_X",
    "OUTSIDE_Y",
    "OUTSIDE_Z",
    "UNMEASURED",
    "UNMEASURED_LIMIT",
    "UNMEASURED_NODE",
    "__version__",
    "diff",
    "field_message",
    "load",
]
