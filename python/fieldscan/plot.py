"""Pictures of a map with matplotlib: the field along a line, one
component over a plane of constant z with the regions the map cannot answer
for (outside its limits, next to unmeasured nodes) shown as such, and the
multipoles of Map.harmonics as bars.

The functions draw into `ax` when given, otherwise into a new figure, and
return the Axes; the plotted values are exactly those of Map.sample_line and
Map.sample_grid.  Neither samples more points than the picture has pixels
(across the figure for a line, along each side for a plane): a request for
more is sampled at that many points spread over the same span, so memory and
time stay those of the picture however many points are asked for.
"""

import math
import numbers
import textwrap

import numpy as np

from . import COMPONENTS

_FIGURE_SIZE = (7, 4.5)  # inches
_OUTSIDE_COLOUR = "0.85"
_UNMEASURED_COLOUR = "0.35"


def _component_values(b, component):
    if component == "b":
        return np.sqrt(np.sum(b.astype(np.float64) ** 2, axis=-1))
    if component not in COMPONENTS:
        raise ValueError(f"unknown component {component!r}: use bx, by, bz or b")
    return b[..., COMPONENTS.index(component)]


def _new_axes(ax):
    if ax is not None:
        return ax
    import matplotlib.pyplot as plt

    _, ax = plt.subplots(figsize=_FIGURE_SIZE, layout="constrained")
    return ax


def _pixels(ax):
    """The width and height in pixels of the picture `ax` draws into (of the
    new figure when `ax` is None)."""
    if ax is None:
        import matplotlib

        size, dpi = _FIGURE_SIZE, matplotlib.rcParams["figure.dpi"]
    else:
        size, dpi = ax.figure.get_size_inches(), ax.figure.dpi
    return max(2, int(size[0] * dpi)), max(2, int(size[1] * dpi))


def _bounded_axis(axis, most):
    """`axis` (first, last, count) with at most `most` points; other forms
    as given, for Map.sample_grid to take or refuse."""
    try:
        first, last, count = axis
        if count > most:
            return first, last, most
    except (TypeError, ValueError):
        pass
    return axis


def _title(map):
    return textwrap.shorten(map.title, 70, placeholder="...")


def _parse_components(components):
    if isinstance(components, str):
        components = [c.strip() for c in components.split(",")]
    return [c.lower() for c in components]


def line(map, start, end, components=COMPONENTS, *, points=201, step=None, ax=None):
    """Plots `components` (any of "bx", "by", "bz" and "b" for the magnitude)
    along the line from `start` to `end`, sampled at `points` points (or
    every `step`).  Stretches the map cannot evaluate are gaps on a grey
    band.  The horizontal axis is the coordinate that varies when the line
    runs along an axis, else the distance from `start`."""
    components = _parse_components(components)
    for c in components:
        if c != "b" and c not in COMPONENTS:
            raise ValueError(f"unknown component {c!r}: use bx, by, bz or b")
    most = _pixels(ax)[0]
    if step is not None:
        try:
            steps = math.dist([float(v) for v in start], [float(v) for v in end]) / step
        except (TypeError, ValueError, ZeroDivisionError):
            steps = 0  # Map.sample_line names what is wrong
        points = most if steps + 1 > most else None
        if points is not None:
            step = None
    elif isinstance(points, numbers.Real) and points > most:
        points = most
    sample = map.sample_line(start, end, points=points, step=step)
    ax = _new_axes(ax)

    moving = [i for i in range(3) if float(start[i]) != float(end[i])]
    if len(moving) == 1:
        position = sample.points[:, moving[0]].astype(np.float64)
        ax.set_xlabel(f"{'xyz'[moving[0]]}")
    else:
        position = sample.distance
        ax.set_xlabel(f"distance from ({', '.join(f'{float(v):g}' for v in start)})")

    for c in components:
        ax.plot(position, _component_values(sample.b, c), label=c.upper())

    bad = sample.status != 0
    labelled = False
    k = 0
    while k < len(bad):
        if not bad[k]:
            k += 1
            continue
        first = k
        while k + 1 < len(bad) and bad[k + 1]:
            k += 1
        ax.axvspan(position[max(first - 1, 0)], position[min(k + 1, len(bad) - 1)],
                   color=_OUTSIDE_COLOUR, zorder=0, label=None if labelled else "not evaluable")
        labelled = True
        k += 1

    ax.set_ylabel("field")
    ax.set_title(_title(map), fontsize="medium")
    ax.legend()
    return ax


def _padded(low, high):
    pad = 0.05 * (high - low) if high > low else 1.0
    return low - pad, high + pad


def _plane_axes(map, x, y, resolution):
    """The (first, last, count) of x and y: those given, else the map's
    limits with a margin and `resolution` points along the longer side."""
    (xlow, xhigh), (ylow, yhigh), _ = map.limits
    if x is None or y is None:
        x0, x1 = _padded(xlow, xhigh)
        y0, y1 = _padded(ylow, yhigh)
        longest = max(x1 - x0, y1 - y0)
        if x is None:
            x = (x0, x1, max(2, round(resolution * (x1 - x0) / longest)))
        if y is None:
            y = (y0, y1, max(2, round(resolution * (y1 - y0) / longest)))
    return x, y


def _cell_extent(axis):
    """The span of the pixels centred on the points of `axis`."""
    half = (axis[-1] - axis[0]) / (2 * (len(axis) - 1)) if len(axis) > 1 else 0.5
    return axis[0] - half, axis[-1] + half


def _draw_regions(ax, status, box):
    """Greys the points outside the map and those next to unmeasured nodes;
    returns their legend entries."""
    from matplotlib.colors import ListedColormap
    from matplotlib.patches import Patch

    regions = np.where(status == 4, 2.0, np.where(status != 0, 1.0, np.nan))
    ax.imshow(np.ma.masked_invalid(regions), origin="lower", extent=box, aspect="equal",
              interpolation="nearest", cmap=ListedColormap([_OUTSIDE_COLOUR, _UNMEASURED_COLOUR]),
              vmin=0.5, vmax=2.5)
    return [Patch(color=_OUTSIDE_COLOUR, label="outside the map"),
            Patch(color=_UNMEASURED_COLOUR, label="unmeasured")]


def _draw_geometry(ax, map, box, handles):
    """The stored grid's extent, the mirror planes and the sector boundaries,
    with their legend entries appended to `handles`."""
    from matplotlib.patches import Rectangle

    (xmin, ymin, zmin), (dx, dy, _) = map.origin, map.steps
    nx, ny, _ = map.counts
    grid = Rectangle((xmin, ymin), (nx - 1) * dx, (ny - 1) * dy, fill=False, linestyle="--",
                     edgecolor="black", label="grid")
    ax.add_patch(grid)
    handles.append(grid)

    ida, idb, idc = map.reflection
    mirror_style = dict(color="crimson", linestyle="-.", linewidth=1)
    mirrors = []
    if ida != 0:
        mirrors.append(ax.axvline(xmin, **mirror_style))
    if idb != 0:
        mirrors.append(ax.axhline(ymin, **mirror_style))
    if mirrors:
        mirrors[0].set_label("mirror plane")
        handles.append(mirrors[0])
    angle = abs(map.angle)
    if 0 < angle < 90 and not map._quadrant:
        reach = 2 * math.hypot(box[1] - box[0], box[3] - box[2])
        k = 1
        while k * angle < 360:
            theta = math.radians(k * angle)
            ray, = ax.plot([xmin, xmin + reach * math.cos(theta)],
                           [ymin, ymin + reach * math.sin(theta)], color="darkorange",
                           linestyle="-.", linewidth=1)
            if k == 1:
                ray.set_label("sector boundary")
                handles.append(ray)
            k += 1


def _plane_title(map, component, z):
    zmin = map.origin[2]
    title = f"{_title(map)}\n{component.upper()} at z = {float(z):g}"
    if map.reflection[2] != 0 and float(z) < zmin:
        title += f" (mirrored across z = {zmin:g})"
    if map.angle == 0:
        title += ", rotationally symmetric"
    return title


def plane(map, z=0.0, component="bz", *, x=None, y=None, resolution=200, ax=None):
    """A colour map of `component` over the plane at height `z`.

    `x` and `y` are (first, last, count) as for Map.sample_grid; by default
    they span the map's limits with a margin, `resolution` points along the
    longer side.  Points outside the limits are light grey, points next to
    unmeasured nodes dark grey; the stored grid's extent is a dashed
    rectangle, mirror planes and sector boundaries are dash-dotted lines."""
    component = component.lower()
    x, y = _plane_axes(map, x, y, resolution)
    width, height = _pixels(ax)
    sample = map.sample_grid(x=_bounded_axis(x, width), y=_bounded_axis(y, height), z=z)
    values = _component_values(sample.b[0], component)
    status = sample.status[0]
    ax = _new_axes(ax)

    box = (*_cell_extent(sample.x.astype(np.float64)), *_cell_extent(sample.y.astype(np.float64)))
    image = ax.imshow(np.ma.masked_where(status != 0, values), origin="lower", extent=box,
                      aspect="equal", interpolation="nearest", cmap="viridis")
    ax.figure.colorbar(image, ax=ax, label=component.upper(), shrink=0.8)

    handles = _draw_regions(ax, status, box)
    _draw_geometry(ax, map, box, handles)
    ax.set_xlim(box[0], box[1])
    ax.set_ylim(box[2], box[3])

    ax.set_title(_plane_title(map, component, z), fontsize="medium")
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    ax.legend(handles=handles, loc="upper center", bbox_to_anchor=(0.5, -0.14), ncol=len(handles),
              fontsize="small", frameon=False)
    return ax


def harmonics(result, ax=None):
    """Draws the relative harmonics b_n (normal) and a_n (skew) of a
    Map.harmonics result as pairs of bars, in units of 1e-4 of the main
    harmonic; the main harmonic itself (10000 units) is left out so that the
    others can be read."""
    ax = _new_axes(ax)
    keep = result.n != result.main
    n = result.n[keep]
    ax.bar(n - 0.2, result.b[keep], width=0.4, label="b_n (normal)")
    ax.bar(n + 0.2, result.a[keep], width=0.4, label="a_n (skew)")
    ax.axhline(0, color="0.5", linewidth=0.8)
    ax.set_xticks(result.n)
    kind = "integrated harmonics" if result.integrated else "harmonics"
    reference = ("A" if result.skew else "B") + f"_{result.main}"
    ax.set_title(f"{kind.capitalize()} at radius {result.radius:g} ({result.numbering} "
                 f"numbering)", fontsize="medium")
    ax.set_xlabel("n")
    ax.set_ylabel(f"units of 1e-4 of {reference}")
    ax.legend(fontsize="small", frameon=False)
    return ax
