#!/usr/bin/env python3
"""Draw docs/speed-quality.png, the README's chart of speed against sharpness,
from the figures in the table below.

    /usr/bin/python3 tools/speed_chart.py [--output FILE]

Needs matplotlib (Debian's python3-matplotlib, hence /usr/bin/python3). When
new figures come in, change the table (and the README's text with it) and run
this again: it fails, naming them, if two labels overlap each other or a
point, so that the labels' offsets in the table can be moved.
"""

# ---------------------------------------------------------------------------
# THE FIGURES. One row a point:
#   (label, seconds, PSNR in dB, label offset in points (dx, dy), label side)
# seconds: the whole process turning a 4000 x 3000 24-bit picture by 30
#   degrees; a (low, high) pair is drawn as a range.
# PSNR: at 30 degrees, on bench/quality/quality.py's test pattern.
# label: None draws the point without a label (another row's label names it).
# label side: "left" puts the label's start at the offset, "right" its end.
#
# veerpic: the README's figure for the whole run, timed side by side with
# Pillow on a 2-core AMD EPYC (bench/RESULTS.md, "Where a run's time and
# memory go"). The peers: bench/quality/quality.py's one run of them all on
# the earlier 2-core Xeon (bench/RESULTS.md, "Sharpness against speed");
# Pillow's bilinear turn took 0.57 s on the one and 0.54 s on the other, so
# the gap between veerpic and a peer here need not be the README's ratio
# exactly; redraw with figures of one session when there are some.
FIGURES = [
    ("veerpic", (0.13, 0.15), 40.7, (0, 8), "center"),
    ("OpenCV Lanczos-4", 0.863, 38.3, (7, -3), "left"),
    ("ImageMagick distort Lanczos", 3.704, 33.8, (-7, 5), "right"),
    ("Pillow bicubic", 0.903, 32.1, (7, -3), "left"),
    ("OpenCV cubic", 0.673, 32.1, (-7, -3), "right"),
    ("libvips affine bicubic", 0.341, 29.6, (-7, -3), "right"),
    ("libvips affine nohalo", 3.632, 28.7, (-7, 4), "right"),
    ("ImageMagick -rotate", 2.353, 28.2, (-7, -8), "right"),
    ("libvips rotate", 0.282, 24.8, (-7, -3), "right"),
    ("OpenCV linear", 0.516, 24.8, (0, -13), "center"),
    ("Pillow bilinear, rotate bilinear", 0.543, 24.8, (7, 5), "left"),
    (None, 0.540, 24.8, None, None),  # Pillow rotate bilinear
    ("GraphicsMagick -rotate", 0.872, 22.1, (-7, -3), "right"),
    ("netpbm pnmrotate", 0.897, 22.1, (7, -3), "left"),
]
# The copy floor: `cat` of the input and a write of veerpic's output size.
COPY_FLOOR_SECONDS = 0.035
TITLE = "Turning a picture: speed against sharpness (up and left is better)"
X_LABEL = "seconds for 4000 x 3000 24-bit at 30 degrees, whole process (log)"
Y_LABEL = "PSNR at 30 degrees (dB)"
NOTE = ("veerpic: the README's 0.13-0.15 s (2-core AMD EPYC); peers: "
        "bench/quality/quality.py on an earlier 2-core Xeon (bench/RESULTS.md)")
# ---------------------------------------------------------------------------

import argparse
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def draw(path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.transforms import Bbox

    fig, ax = plt.subplots(figsize=(8, 5.5), dpi=100)
    labels, markers = [], []
    for label, seconds, psnr, offset, side in FIGURES:
        ours = label == "veerpic"
        colour = "tab:red" if ours else "tab:blue"
        if isinstance(seconds, tuple):
            low, high = seconds
            middle = (low * high) ** 0.5  # the middle on a log scale
            ax.errorbar([middle], [psnr], xerr=[[middle - low], [high - middle]], fmt="o",
                        color=colour, markersize=7, capsize=4, linewidth=2)
            markers.append((low, high, psnr))
            if label:
                label = "%s %.2f-%.2f s" % (label, low, high)
            at = middle
        else:
            ax.scatter([seconds], [psnr], color=colour, s=25, zorder=3)
            markers.append((seconds, seconds, psnr))
            at = seconds
        if label:
            labels.append(ax.annotate(label, (at, psnr), textcoords="offset points",
                                      xytext=offset, ha=side, va="center" if side != "center"
                                      else "bottom", fontsize=8,
                                      fontweight="bold" if ours else "normal"))
    ax.axvline(COPY_FLOOR_SECONDS, color="grey", linestyle=":", linewidth=1)
    ax.set_xscale("log")
    ax.set_xlim(0.03, 6)
    ax.set_ylim(21, 42)
    ax.annotate("copy floor", (COPY_FLOOR_SECONDS, 21), textcoords="offset points",
                xytext=(3, 5), fontsize=8, color="grey")
    ax.set_xlabel(X_LABEL)
    ax.set_ylabel(Y_LABEL)
    ax.set_title(TITLE)
    ax.grid(True, which="both", alpha=0.3)
    fig.text(0.01, 0.01, NOTE, fontsize=7, color="grey")
    fig.tight_layout(rect=(0, 0.03, 1, 1))

    # Labels must not overlap one another, a point, or leave the plot.
    fig.canvas.draw()
    renderer = fig.canvas.get_renderer()
    boxes = [(t.get_text(), t.get_window_extent(renderer)) for t in labels]
    frame = ax.get_window_extent(renderer)
    # A point's box: its marker, or its range, with a margin of 3 pixels.
    points = []
    for low, high, psnr in markers:
        (x0, y0), (x1, y1) = ax.transData.transform([(low, psnr), (high, psnr)])
        points.append(Bbox.from_extents(x0 - 6, y0 - 6, x1 + 6, y1 + 6))
    clashes = []
    for i, (name, box) in enumerate(boxes):
        if box.x0 < frame.x0 or box.x1 > frame.x1 or box.y0 < frame.y0 or box.y1 > frame.y1:
            clashes.append("%s leaves the plot" % name)
        for other, box2 in boxes[i + 1:]:
            if box.overlaps(box2):
                clashes.append("%s overlaps %s" % (name, other))
        for point in points:
            if box.overlaps(point):
                clashes.append("%s covers a point" % name)
    if clashes:
        for clash in clashes:
            print("speed_chart: " + clash, file=sys.stderr)
        return 1
    fig.savefig(path, metadata={"Software": None})
    print("speed_chart: wrote %s" % path)
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--output", default=os.path.join(ROOT, "docs", "speed-quality.png"),
                        help="where to write the chart (default: docs/speed-quality.png)")
    args = parser.parse_args()
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print("speed_chart: needs matplotlib (Debian: apt-get install python3-matplotlib, "
              "then run it with /usr/bin/python3)", file=sys.stderr)
        return 2
    return draw(args.output)


if __name__ == "__main__":
    sys.exit(main())
