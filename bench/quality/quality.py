#!/usr/bin/python3
"""Sharpness and speed of veerpic's turn against other image tools.

Quality: a band-limited test pattern (a zone plate reaching 0.45 cycles per
pixel and three sinusoids) and a hard 64/192 grey step are turned by several
angles with veerpic and with each installed peer, in its usual and its best
modes. Each result is scored against the exact image of the pattern: the
pattern is analytic, so it is evaluated at each canvas pixel's exact preimage
under the affine map that veerpic's own corner points define. Only canvas
pixels wholly inside the picture and at least MARGIN source pixels from its
edges count (edges are handled differently by every tool). The step gives
the overshoot: the lowest and highest values of the same region.

Peers that take a matrix get exactly veerpic's map and canvas (OpenCV
warpAffine, Pillow transform, ImageMagick -distort AffineProjection, vips
affine). Peers that take only an angle (their usual rotate commands,
GraphicsMagick, netpbm) make their own canvas; their map is the exact
rotation by the angle, with the translation fitted to their output (the
best it can be for them), and the fitted shift is shown.

Speed: every tool and mode turns a 4000 x 3000 24-bit picture by 30 degrees
as a whole process, input and output on tmpfs; the median of --runs runs,
with the peak resident memory. The copy floor is `cat` of the input plus
writing a file of veerpic's output size. Peers run as a user runs them;
Pillow is single-threaded by itself.

Prints a Markdown table and writes a picture of speed against quality.
Needs numpy and Pillow; OpenCV, matplotlib and the command-line peers are
used when present.
"""

import argparse
import json
import math
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np
from PIL import Image

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
import compare  # noqa: E402  (whole-run timing helpers shared with compare.py)

REPO = HERE.parent.parent
ANGLES = (30.0, 7.0, 45.0, 73.0)
MARGIN = 4.0  # source pixels kept clear of the picture's edges when scoring
PATTERN_SIZE = (640, 480)
SPEED_SIZE = (4000, 3000)
SPEED_ANGLE = 30.0

# ----------------------------------------------------------------- geometry


def veerpic_geometry(width, height, degrees):
    """veerpic's canvas size and corner points: the operations in 80-bit
    extended precision with the roundings to double that the tool makes."""
    ld = np.longdouble
    theta = float((ld(degrees) * ld(math.pi)) * (ld(1) / ld(180)))
    s, c = math.sin(theta), math.cos(theta)

    def prod(a, b):
        return float(ld(a) * ld(b))

    wr = float(ld(abs(prod(width, c))) + ld(abs(prod(height, s))))
    hr = float(ld(abs(prod(width, s))) + ld(abs(prod(height, c))))
    cx, cy, hw, hh = wr * 0.5, hr * 0.5, width * 0.5, height * 0.5

    def coord(p, q, sign, centre):
        v = ld(p) + (ld(q) if sign > 0 else -ld(q)) + ld(centre)
        return int(v)  # truncation toward zero

    p0 = (coord(-hw * ld(c), hh * ld(s), 1, cx), coord(-hw * ld(s), hh * ld(c), -1, cy))
    p1 = (coord(hw * ld(c), hh * ld(s), 1, cx), coord(hw * ld(s), hh * ld(c), -1, cy))
    p2 = (coord(-hw * ld(c), hh * ld(s), -1, cx), coord(-hw * ld(s), hh * ld(c), 1, cy))
    return int(wr), int(hr), (p0, p1, p2)


class Affine:
    """Source to canvas in edge coordinates (pixel x covers [x, x + 1)):
    canvas = L @ source + t."""

    def __init__(self, linear, offset):
        self.linear = np.asarray(linear, dtype=np.float64)
        self.offset = np.asarray(offset, dtype=np.float64)

    @staticmethod
    def from_corners(width, height, corners):
        (x0, y0), (x1, y1), (x2, y2) = corners
        return Affine([[(x1 - x0) / width, (x2 - x0) / height],
                       [(y1 - y0) / width, (y2 - y0) / height]], [x0, y0])

    @staticmethod
    def rotation(width, height, degrees, canvas_w, canvas_h, shift=(0.0, 0.0)):
        """Clockwise on screen about the picture's centre onto the canvas's."""
        t = math.radians(degrees)
        c, s = math.cos(t), math.sin(t)
        lin = np.array([[c, -s], [s, c]])
        off = np.array([canvas_w / 2, canvas_h / 2]) - lin @ [width / 2, height / 2]
        return Affine(lin, off + np.asarray(shift))

    def preimages(self, cw, ch):
        """Source positions (edge coordinates) of every canvas pixel centre."""
        j, i = np.mgrid[0:ch, 0:cw].astype(np.float64)
        inv = np.linalg.inv(self.linear)
        dx, dy = i + 0.5 - self.offset[0], j + 0.5 - self.offset[1]
        return inv[0, 0] * dx + inv[0, 1] * dy, inv[1, 0] * dx + inv[1, 1] * dy

    def centre_matrix(self):
        """The same map between pixel-centre coordinates (centres at integers),
        as a 2 x 3 matrix."""
        t = self.offset + self.linear @ [0.5, 0.5] - 0.5
        return np.hstack([self.linear, t[:, None]])


# ------------------------------------------------------------------ pictures


def pattern(x, y, width, height):
    """The test pattern at continuous pixel-index positions (centres at
    integers); every component is below 0.45 cycles per pixel."""
    cx, cy = (width - 1) / 2, (height - 1) / 2
    r2 = (x - cx) ** 2 + (y - cy) ** 2
    v = 127.5 + 70 * np.cos(math.pi * 0.45 * r2 / math.hypot(cx, cy))
    for fx, fy, phase in ((0.11, 0.05, 0.3), (0.31, -0.17, 1.1), (0.05, 0.42, 2.0)):
        v = v + 18 * np.cos(2 * math.pi * (fx * x + fy * y) + phase)
    return v


def step(x, width):
    return np.where(x < width / 2 - 0.5, 64.0, 192.0)


def grey_picture(values):
    v = np.clip(np.rint(values), 0, 255).astype(np.uint8)
    return Image.fromarray(np.dstack([v, v, v]), "RGB")


def read_grey(path):
    with Image.open(path) as im:
        a = np.asarray(im.convert("RGB"), dtype=np.float64)
    return a[:, :, 1]


# --------------------------------------------------------------------- tools


class Mode:
    """One tool in one mode. `command(inp, out, job)` gives the argv; `job`
    holds the angle, veerpic's map and canvas for the input's size. `exact`
    says the tool is given veerpic's map; otherwise it turns by the angle
    onto a canvas of its own."""

    def __init__(self, tool, mode, command, fmt="bmp", exact=True, best=False):
        self.tool, self.mode, self.command = tool, mode, command
        self.fmt, self.exact, self.best = fmt, exact, best

    @property
    def name(self):
        return f"{self.tool} {self.mode}".strip()


PILLOW_SCRIPT = """
import sys
from PIL import Image
Image.MAX_IMAGE_PIXELS = None
a = [float(v) for v in sys.argv[3].split(",")]
w, h = int(sys.argv[4]), int(sys.argv[5])
im = Image.open(sys.argv[1]).convert("RGB")
im.transform((w, h), Image.AFFINE, a, resample=getattr(Image, sys.argv[6])).save(sys.argv[2])
"""

PILLOW_ROTATE = """
import sys
from PIL import Image
Image.MAX_IMAGE_PIXELS = None
im = Image.open(sys.argv[1]).convert("RGB")
im.rotate(-float(sys.argv[3]), expand=True, resample=getattr(Image, sys.argv[4])).save(sys.argv[2])
"""

OPENCV_SCRIPT = """
import sys
import numpy as np
import cv2
m = np.array([float(v) for v in sys.argv[3].split(",")]).reshape(2, 3)
img = cv2.imread(sys.argv[1], cv2.IMREAD_COLOR)
out = cv2.warpAffine(img, m, (int(sys.argv[4]), int(sys.argv[5])),
                     flags=getattr(cv2, sys.argv[6]), borderMode=cv2.BORDER_CONSTANT)
cv2.imwrite(sys.argv[2], out)
"""


def numbers(values):
    return ",".join(repr(float(v)) for v in np.ravel(values))


def pillow_inverse(job):
    """Pillow's AFFINE data: canvas edge coordinates to source ones."""
    inv = np.linalg.inv(job["map"].linear)
    t = -inv @ job["map"].offset
    return numbers([inv[0, 0], inv[0, 1], t[0], inv[1, 0], inv[1, 1], t[1]])


def make_modes(veerpic, python):
    modes = [Mode("veerpic", "", lambda i, o, j: [veerpic, repr(j["angle"]), i, o], best=True)]
    if compare.python_has(python, "PIL"):
        for m in ("BILINEAR", "BICUBIC"):
            modes.append(Mode("Pillow", m.lower(), lambda i, o, j, m=m: [
                python, "-c", PILLOW_SCRIPT, i, o, pillow_inverse(j),
                str(j["canvas"][0]), str(j["canvas"][1]), m], best=m == "BICUBIC"))
        modes.append(Mode("Pillow", "rotate bilinear", lambda i, o, j: [
            python, "-c", PILLOW_ROTATE, i, o, repr(j["angle"]), "BILINEAR"], exact=False))
    if compare.python_has(python, "cv2"):
        for flag in ("INTER_LINEAR", "INTER_CUBIC", "INTER_LANCZOS4"):
            modes.append(Mode("OpenCV", flag[6:].lower(), lambda i, o, j, f=flag: [
                python, "-c", OPENCV_SCRIPT, i, o, numbers(j["map"].centre_matrix()),
                str(j["canvas"][0]), str(j["canvas"][1]), f], best=flag == "INTER_LANCZOS4"))
    im = compare.find_binary(["convert"], banner="ImageMagick")
    if im:
        def distort(i, o, j):
            lin, t = j["map"].linear, j["map"].offset
            w, h = j["canvas"]
            return [im, i, "-virtual-pixel", "black", "-filter", "Lanczos",
                    "-define", f"distort:viewport={w}x{h}+0+0", "-distort", "AffineProjection",
                    numbers([lin[0, 0], lin[1, 0], lin[0, 1], lin[1, 1], t[0], t[1]]), o]
        modes.append(Mode("ImageMagick", "distort Lanczos", distort, best=True))
        modes.append(Mode("ImageMagick", "-rotate", lambda i, o, j: [
            im, i, "-background", "black", "-rotate", repr(j["angle"]), o], exact=False))
    gm = compare.find_binary(["gm"])
    if gm:
        modes.append(Mode("GraphicsMagick", "-rotate", lambda i, o, j: [
            gm, "convert", i, "-background", "black", "-rotate", repr(j["angle"]), o],
            exact=False, best=True))
    vips = compare.find_binary(["vips"])
    if vips:
        def affine(interpolator):
            def argv(i, o, j):
                m = j["map"].centre_matrix()
                w, h = j["canvas"]
                return [vips, "affine", i, o, numbers(m[:, :2]).replace(",", " "),
                        "--odx", repr(float(m[0, 2])), "--ody", repr(float(m[1, 2])), "--oarea", f"0 0 {w} {h}",
                        "--interpolate", interpolator]
            return argv
        modes.append(Mode("libvips", "affine bicubic", affine("bicubic"), fmt="v"))
        modes.append(Mode("libvips", "affine nohalo", affine("nohalo"), fmt="v", best=True))
        modes.append(Mode("libvips", "rotate", lambda i, o, j: [
            vips, "rotate", i, o, repr(j["angle"])], fmt="v", exact=False))
    if compare.find_binary(["pnmrotate"]):
        modes.append(Mode("netpbm", "pnmrotate", lambda i, o, j: [
            "sh", "-c", 'exec pnmrotate -background=black "$0" "$1" > "$2"',
            repr(-j["angle"]), i, o], fmt="ppm", exact=False, best=True))
    return modes


def save_input(picture, path, fmt):
    """Writes the RGB picture as the tool's input (BMP, PPM or vips .v)."""
    if fmt == "v":
        tmp = path.with_suffix(".png")
        picture.save(tmp)
        subprocess.run(["vips", "copy", str(tmp), str(path)], check=True)
        tmp.unlink()
    else:
        picture.save(path, "BMP" if fmt == "bmp" else "PPM")


def output_path(work, fmt, name="out"):
    return work / f"{name}.{'ppm' if fmt == 'ppm' else 'v' if fmt == 'v' else 'bmp'}"


def read_output(path, fmt):
    if fmt == "v":
        png = path.with_suffix(".png")
        subprocess.run(["vips", "copy", str(path), str(png)], check=True)
        return read_grey(png)
    return read_grey(path)


# ------------------------------------------------------------------- scoring


def score_region(amap, out_shape, width, height):
    """Source positions (pixel indices) and the mask of canvas pixels whose
    whole area maps at least MARGIN inside the picture."""
    ch, cw = out_shape
    sx, sy = amap.preimages(cw, ch)
    # A pixel's corners lie within half a pixel's diagonal of its centre.
    inv = np.linalg.inv(amap.linear)
    reach = 0.5 * np.abs(inv).sum(axis=1)
    mask = ((sx - reach[0] >= MARGIN) & (sx + reach[0] <= width - MARGIN)
            & (sy - reach[1] >= MARGIN) & (sy + reach[1] <= height - MARGIN))
    return sx - 0.5, sy - 0.5, mask


def psnr(out, amap, width, height):
    x, y, mask = score_region(amap, out.shape, width, height)
    if mask.sum() < 1000:
        return float("nan")
    err = out[mask] - pattern(x[mask], y[mask], width, height)
    return 10 * math.log10(255.0 ** 2 / np.mean(err * err))


def fit_shift(out, amap, width, height, rounds=6):
    """The translation of `amap` that best matches `out` to the pattern
    (Gauss-Newton on a sparse grid of the scored region)."""
    shift = np.zeros(2)
    for _ in range(rounds):
        m = Affine(amap.linear, amap.offset + shift)
        x, y, mask = score_region(m, out.shape, width, height)
        mask[::3, :] = False
        mask[:, ::2] = False
        x, y, o = x[mask], y[mask], out[mask]
        inv = np.linalg.inv(amap.linear)
        f = pattern(x, y, width, height)
        h = 1e-3
        gx = (pattern(x + h, y, width, height) - pattern(x - h, y, width, height)) / (2 * h)
        gy = (pattern(x, y + h, width, height) - pattern(x, y - h, width, height)) / (2 * h)
        # d f / d shift = -(gradient) @ inv
        jac = -np.stack([gx * inv[0, 0] + gy * inv[1, 0], gx * inv[0, 1] + gy * inv[1, 1]], 1)
        delta, *_ = np.linalg.lstsq(jac, o - f, rcond=None)
        shift = shift + delta
        if np.abs(delta).max() < 1e-4:
            break
    return shift


def run_quality(modes, angles, work, log):
    """{mode name: {angle: (psnr, low, high, shift)}}"""
    w, h = PATTERN_SIZE
    ys, xs = np.mgrid[0:h, 0:w].astype(np.float64)
    pictures = {"pattern": grey_picture(pattern(xs, ys, w, h)), "step": grey_picture(step(xs, w))}
    results = {}
    for angle in angles:
        cw, chh, corners = veerpic_geometry(w, h, angle)
        job = {"angle": angle, "canvas": (cw, chh), "map": Affine.from_corners(w, h, corners)}
        for mode in modes:
            row = {}
            for kind, picture in pictures.items():
                inp = work / f"{kind}.{mode.fmt}"
                if not inp.exists():
                    save_input(picture, inp, mode.fmt)
                out = output_path(work, mode.fmt)
                log(f"#   {angle:g} degrees {mode.name} {kind}")
                r = subprocess.run(mode.command(str(inp), str(out), job), capture_output=True)
                if r.returncode != 0 or not out.exists():
                    row = None
                    log(f"#     failed: {r.stderr.decode(errors='replace').strip()[-200:]}")
                    break
                result = read_output(out, mode.fmt)
                out.unlink()
                if mode.exact:
                    amap, shift = job["map"], np.zeros(2)
                else:
                    amap = Affine.rotation(w, h, angle, result.shape[1], result.shape[0])
                    if kind == "pattern":
                        shift = fit_shift(result, amap, w, h)
                    amap = Affine(amap.linear, amap.offset + shift)
                if kind == "pattern":
                    row["psnr"] = psnr(result, amap, w, h)
                    row["shift"] = shift
                else:
                    _, _, mask = score_region(amap, result.shape, w, h)
                    row["low"], row["high"] = result[mask].min(), result[mask].max()
            results.setdefault(mode.name, {})[angle] = row
    return results


# --------------------------------------------------------------------- speed


def run_speed(modes, runs, work, log):
    """{mode name: (median seconds, peak MiB)}, and the copy floor's."""
    w, h = SPEED_SIZE
    src = work / "speed.bmp"
    subprocess.run([sys.executable, str(REPO / "tools" / "make_sample.py"), str(src),
                    "--width", str(w), "--height", str(h)], check=True)
    with Image.open(src) as im:
        picture = im.convert("RGB")
        for fmt in {m.fmt for m in modes} - {"bmp"}:
            save_input(picture, work / f"speed.{fmt}", fmt)
    del picture
    cw, chh, corners = veerpic_geometry(w, h, SPEED_ANGLE)
    job = {"angle": SPEED_ANGLE, "canvas": (cw, chh), "map": Affine.from_corners(w, h, corners)}
    out_size = 54 + ((cw * 3 + 3) // 4 * 4) * chh
    floor = Mode("copy floor", "", lambda i, o, j: [
        "sh", "-c", 'cat "$0" > /dev/null && head -c "$1" /dev/zero > "$2"', i, str(out_size), o])
    plan = [{"name": m.name, "argv": m.command(str(work / f"speed.{m.fmt}"),
                                              str(output_path(work, m.fmt, "speed-out")), job),
             "out": str(output_path(work, m.fmt, "speed-out"))} for m in [floor] + list(modes)]
    plan_path = work / "speed.json"
    plan_path.write_text(json.dumps(plan))
    # Timed from a small process: a child's peak memory can read no lower
    # than its parent's at the fork.
    r = subprocess.run([sys.executable, str(HERE.parent / "compare.py"), "--time-plan",
                        str(plan_path), str(runs)], stdout=subprocess.PIPE, check=True)
    timed = json.loads(r.stdout)
    return {name: (statistics.median(t for t, _ in v), max(m for _, m in v) / 1024)
            for name, v in timed.items() if v}


# -------------------------------------------------------------------- output


def print_tables(modes, quality, speed, angles):
    first = angles[0]
    base = speed.get("veerpic", (None,))[0]
    floor = speed.get("copy floor", (None,))[0]
    print(f"Pattern {PATTERN_SIZE[0]} x {PATTERN_SIZE[1]}: PSNR in dB against the exact image; "
          f"step 64/192: lowest and highest value of the scored region. Speed: "
          f"{SPEED_SIZE[0]} x {SPEED_SIZE[1]} 24-bit at {SPEED_ANGLE:g} degrees, whole process, "
          f"median; x veerpic = time / veerpic's; x floor = time / copy floor's.\n")
    angle_cols = " | ".join(f"PSNR {a:g}°" for a in angles)
    print(f"| tool | mode | {angle_cols} | step {first:g}° | shift | time | x veerpic | x floor "
          f"| peak MiB |")
    print("|---|---|" + "---:|" * (len(angles) + 1) + "---|---:|---:|---:|---:|")
    if "copy floor" in speed:
        t, m = speed["copy floor"]
        ratio = f"{t / base:.2f}" if base else ""
        print("| copy floor | cat + write |" + " |" * (len(angles) + 2)
              + f" {compare.fmt_time(t)} | {ratio} | 1.00 | {m:.0f} |")
    for mode in modes:
        q = quality.get(mode.name, {})
        cells = []
        for a in angles:
            row = q.get(a)
            cells.append("failed" if row is None else f"{row['psnr']:.1f}")
        row = q.get(first)
        stepcell = "" if row is None else f"{row['low']:.0f} / {row['high']:.0f}"
        shift = "" if mode.exact or row is None else f"{row['shift'][0]:+.2f}, {row['shift'][1]:+.2f}"
        if mode.name in speed:
            t, m = speed[mode.name]
            sp = (f"{compare.fmt_time(t)} | {t / base:.2f} | {t / floor:.2f} | {m:.0f}"
                  if base and floor else f"{compare.fmt_time(t)} | | | {m:.0f}")
        else:
            sp = "| | |"
        print(f"| {mode.tool} | {mode.mode or 'as built'} | " + " | ".join(cells)
              + f" | {stepcell} | {shift} | {sp} |")


def plot(modes, quality, speed, angle, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is missing: no picture", file=sys.stderr)
        return
    fig, ax = plt.subplots(figsize=(8, 5.5), dpi=100)
    placed = []  # (seconds, dB, label rank) of the labels drawn so far
    for mode in modes:
        row = quality.get(mode.name, {}).get(angle)
        if row is None or mode.name not in speed:
            continue
        t, q = speed[mode.name][0], row["psnr"]
        colour = "tab:red" if mode.tool == "veerpic" else "tab:blue"
        ax.scatter([t], [q], color=colour, s=40 if mode.tool == "veerpic" else 25)
        # Labels of points close together are stacked instead of overprinted.
        rank = sum(1 for pt, pq, _ in placed if abs(pq - q) < 0.8 and 0.5 < pt / t < 2)
        placed.append((t, q, rank))
        ax.annotate(mode.name, (t, q), textcoords="offset points", xytext=(5, 3 - 11 * rank),
                    fontsize=8)
    if "copy floor" in speed:
        ax.axvline(speed["copy floor"][0], color="grey", linestyle=":", linewidth=1)
        ax.annotate("copy floor", (speed["copy floor"][0], ax.get_ylim()[0]),
                    textcoords="offset points", xytext=(3, 5), fontsize=8, color="grey")
    ax.set_xscale("log")
    ax.set_xlabel(f"seconds for {SPEED_SIZE[0]} x {SPEED_SIZE[1]} 24-bit, whole process (log)")
    ax.set_ylabel(f"PSNR at {angle:g} degrees (dB)")
    ax.set_title("Turning a picture: speed against sharpness (up and left is better)")
    ax.grid(True, which="both", alpha=0.3)
    fig.tight_layout()
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--veerpic", default=str(REPO / "build" / "release" / "veerpic"))
    ap.add_argument("--peer-python", default="/usr/bin/python3")
    ap.add_argument("--angles", default=",".join(f"{a:g}" for a in ANGLES),
                    help="comma-separated angles in degrees for the quality scores")
    ap.add_argument("--runs", type=int, default=3, help="timed runs per tool (default 3)")
    ap.add_argument("--no-speed", action="store_true", help="quality only")
    ap.add_argument("--only", default=None, help="peers to keep, by name substring")
    ap.add_argument("--picture", default=str(REPO / "build" / "quality" / "speed-quality.png"),
                    help="where to write its own chart (default build/quality/speed-quality.png;"
                         " the README's chart is drawn by tools/speed_chart.py)")
    ap.add_argument("--tmpdir", default="/dev/shm" if os.path.isdir("/dev/shm") else None)
    args = ap.parse_args(argv)
    angles = [float(a) for a in args.angles.split(",") if a.strip()]

    modes = make_modes(os.path.abspath(args.veerpic), args.peer_python)
    if args.only:
        wanted = [w.strip().lower() for w in args.only.split(",")]
        modes = [m for m in modes if m.tool == "veerpic" or any(w in m.name.lower() for w in wanted)]
    work = Path(tempfile.mkdtemp(prefix="veerpic-quality-", dir=args.tmpdir))

    def log(text):
        print(text, file=sys.stderr, flush=True)

    try:
        quality = run_quality(modes, angles, work, log)
        speed = {} if args.no_speed else run_speed(modes, args.runs, work, log)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print_tables(modes, quality, speed, angles)
    if speed:
        plot(modes, quality, speed, angles[0], args.picture)
    return 0


if __name__ == "__main__":
    sys.exit(main())
