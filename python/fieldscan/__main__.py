"""python3 -m fieldscan plot MAP (--line ... | --plane Z) -o FILE.png|.svg|.pdf

Draws the field of a map into an image file, without a display."""

import argparse
import io
import os
import sys

FORMATS = ("png", "svg", "pdf")


def _numbers(text, count, what):
    try:
        values = [float(v) for v in text.split(",")]
    except ValueError:
        values = []
    if len(values) != count:
        raise argparse.ArgumentTypeError(
            f"{what} needs {count} numbers separated by commas: {text!r}")
    return values


def _line(text):
    ends = text.split(":")
    if len(ends) != 2:
        raise argparse.ArgumentTypeError(f"a line is X0,Y0,Z0:X1,Y1,Z1, not {text!r}")
    return _numbers(ends[0], 3, "the start"), _numbers(ends[1], 3, "the end")


def _axis(text):
    parts = text.split(":")
    if len(parts) != 3:
        raise argparse.ArgumentTypeError(f"an axis is FIRST:LAST:COUNT, not {text!r}")
    try:
        first, last, count = float(parts[0]), float(parts[1]), int(parts[2])
    except ValueError:
        raise argparse.ArgumentTypeError(f"an axis is FIRST:LAST:COUNT, not {text!r}") from None
    if count < 2:
        raise argparse.ArgumentTypeError(f"an axis needs at least 2 points: {text!r}")
    return first, last, count


def _parser():
    parser = argparse.ArgumentParser(
        prog="python3 -m fieldscan",
        description="Pictures of a field map, drawn into an image file without a display.",
        epilog="example:\n  python3 -m fieldscan plot build/demo.map --plane 2 -o plane.png\n\n"
        "In Python: import fieldscan; help(fieldscan.Map)",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    plot = commands.add_parser(
        "plot", help="draw the field along a line or over a plane",
        description="Draws the field along a line (--line) or one component over a plane "
        "(--plane) into an image file.",
        epilog="examples:\n"
        "  python3 -m fieldscan plot build/demo.map --plane 2 --component bz -o plane.png\n"
        "  python3 -m fieldscan plot build/demo.map --line -20,0,0:20,0,0 --components bz,b"
        " -o line.svg",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    plot.add_argument("map", metavar="MAP", help="the map file")
    what = plot.add_mutually_exclusive_group(required=True)
    what.add_argument("--line", type=_line, metavar="X0,Y0,Z0:X1,Y1,Z1",
                      help="the field components along this line")
    what.add_argument("--plane", type=float, metavar="Z",
                      help="one component over the plane at this height")
    plot.add_argument("--components", default="bx,by,bz",
                      help="for --line: components to draw, of bx, by, bz, b (default bx,by,bz)")
    plot.add_argument("--points", type=int, default=201,
                      help="for --line: number of points (default 201; at most one a pixel "
                      "across the picture)")
    plot.add_argument("--component", default="bz",
                      help="for --plane: bx, by, bz or b (default bz)")
    plot.add_argument("--x", type=_axis, metavar="FIRST:LAST:COUNT",
                      help="for --plane: the x points (default: the map's limits; at most one "
                      "a pixel of the picture)")
    plot.add_argument("--y", type=_axis, metavar="FIRST:LAST:COUNT",
                      help="for --plane: the y points (default: the map's limits; at most one "
                      "a pixel of the picture)")
    plot.add_argument("-o", "--output", required=True, metavar="FILE",
                      help="the image: .png, .svg or .pdf")
    return parser


def _save(figure, path, image_format):
    """Writes the figure through the kit's atomic write (fieldmap -o writes
    the same way): on failure `path` is untouched."""
    from ._fieldscan import _write_file

    image = io.BytesIO()
    figure.savefig(image, format=image_format)
    _write_file(path, image.getvalue())


def _join_values(argv):
    """`--line -20,0,0:20,0,0` as `--line=-20,0,0:20,0,0`: a value that starts
    with a minus sign would otherwise be taken for an option."""
    joined = []
    argv = list(argv)
    while argv:
        arg = argv.pop(0)
        if arg in ("--line", "--plane", "--x", "--y") and argv and argv[0].startswith("-"):
            arg = f"{arg}={argv.pop(0)}"
        joined.append(arg)
    return joined


def main(argv=None):
    parser = _parser()
    args = parser.parse_args(_join_values(sys.argv[1:] if argv is None else argv))
    image_format = os.path.splitext(args.output)[1].lower().lstrip(".")
    if image_format not in FORMATS:
        parser.error(f"the output must end in .png, .svg or .pdf: {args.output!r}")
    if args.line is not None and args.points < 2:
        parser.error("--points needs at least 2")

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    import fieldscan
    from fieldscan import plot

    try:
        field_map = fieldscan.load(args.map)
    except fieldscan.MapError as error:
        print(f"python3 -m fieldscan: {args.map}: {error.message.strip()}", file=sys.stderr)
        return 1
    try:
        if args.line is not None:
            ax = plot.line(field_map, *args.line, components=args.components, points=args.points)
        else:
            ax = plot.plane(field_map, z=args.plane, component=args.component, x=args.x, y=args.y)
    except ValueError as error:
        parser.error(str(error))
    try:
        _save(ax.figure, args.output, image_format)
    except OSError as error:
        print(f"python3 -m fieldscan: {args.output}: {error.strerror or error}", file=sys.stderr)
        return 1
    finally:
        plt.close(ax.figure)
    return 0


if __name__ == "__main__":
    sys.exit(main())
