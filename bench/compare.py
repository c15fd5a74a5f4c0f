#!/usr/bin/env python3
"""Time whole runs of veerpic against other image tools turning the same picture.

Every run is one process, timed from start to exit: start-up, reading the
input, turning it by 30 degrees clockwise, and writing the result to tmpfs.
Peers that are not installed are listed as skipped. All tools are held to one
thread. The table gives the median wall time, its ratio to veerpic's, and
the peak resident memory of the process (its own ru_maxrss from wait4).

This script needs only the Python standard library; Python peers (Pillow,
OpenCV) run under --peer-python (default /usr/bin/python3, where Debian's
python3-pil and python3-opencv install).
"""

import argparse
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
MAKE_SAMPLE = REPO / "tools" / "make_sample.py"

ANGLE = 30  # degrees, clockwise on screen
DEFAULT_SIZES = "1000x1000,4000x3000,10000x10000,4000x3000x8"
QUICK_SIZES = "1000x1000,4000x3000"
BIG_PIXELS = 50_000_000  # pictures at least this large use --big-runs

SINGLE_THREAD_ENV = {
    "OMP_NUM_THREADS": "1",
    "MAGICK_THREAD_LIMIT": "1",
    "VIPS_CONCURRENCY": "1",
    "OPENCV_FOR_THREADS_NUM": "1",
    "OPENBLAS_NUM_THREADS": "1",
}

PILLOW_SCRIPT = """
import sys
from PIL import Image
Image.MAX_IMAGE_PIXELS = None
im = Image.open(sys.argv[1])
if im.mode not in ("RGB", "L"):
    # Pillow turns palette pictures with nearest-neighbour whatever the
    # filter asked; expand them first, as a 24-bit result needs anyway.
    im = im.convert("RGB")
# Pillow turns counter-clockwise for a positive angle.
out = im.rotate(-float(sys.argv[3]), expand=True, resample=getattr(Image, sys.argv[4]))
out.save(sys.argv[2])
"""

OPENCV_SCRIPT = """
import math, sys
import cv2
cv2.setNumThreads(1)
img = cv2.imread(sys.argv[1], cv2.IMREAD_UNCHANGED)
if img is None:
    sys.exit("cannot read input")
h, w = img.shape[:2]
# OpenCV turns counter-clockwise for a positive angle (y pointing down).
m = cv2.getRotationMatrix2D((w / 2.0, h / 2.0), -float(sys.argv[3]), 1.0)
c, s = abs(m[0, 0]), abs(m[0, 1])
nw = int(math.ceil(w * c + h * s))
nh = int(math.ceil(w * s + h * c))
m[0, 2] += nw / 2.0 - w / 2.0
m[1, 2] += nh / 2.0 - h / 2.0
out = cv2.warpAffine(img, m, (nw, nh), flags=getattr(cv2, sys.argv[4]))
if not cv2.imwrite(sys.argv[2], out):
    sys.exit("cannot write output")
"""


class Tool:
    """One way of turning a picture: a command template and an output suffix.

    argv is a function (input, output) -> list of arguments, or None when the
    tool is not installed, with the reason in `missing`.
    """

    def __init__(self, name, argv, suffix=".bmp", missing=None, note=""):
        self.name = name
        self.argv = argv
        self.suffix = suffix
        self.missing = missing
        self.note = note


def is_elf(path):
    try:
        with open(path, "rb") as f:
            return f.read(4) == b"\x7fELF"
    except OSError:
        return False


def find_binary(names, banner=None):
    """First executable on PATH among `names` that is a real program (not a
    wrapper script) and, if `banner` is given, prints it for -version."""
    for name in names:
        for d in os.environ.get("PATH", "").split(os.pathsep):
            cand = os.path.join(d, name)
            if not (os.path.isfile(cand) and os.access(cand, os.X_OK)):
                continue
            if not is_elf(os.path.realpath(cand)):
                continue
            if banner is not None:
                try:
                    out = subprocess.run(
                        [cand, "-version"], capture_output=True, text=True, timeout=20
                    ).stdout
                except (OSError, subprocess.SubprocessError):
                    continue
                if banner not in out:
                    continue
            return cand
    return None


def python_has(python, module):
    if not (python and os.path.isfile(python) and os.access(python, os.X_OK)):
        return False
    r = subprocess.run(
        [python, "-c", f"import {module}"],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    return r.returncode == 0


def make_tools(veerpic, peer_python):
    tools = []
    tools.append(
        Tool(
            "copy (floor)",
            lambda i, o: ["cp", i, o],
            note="cp of the input file",
        )
    )
    if os.access(veerpic, os.X_OK):
        tools.append(Tool("veerpic", lambda i, o: [veerpic, str(ANGLE), i, o]))
    else:
        tools.append(Tool("veerpic", None, missing=f"not built ({veerpic})"))

    im = find_binary(["magick"], banner="ImageMagick")
    if im:
        tools.append(
            Tool("ImageMagick", lambda i, o: [im, i, "-rotate", str(ANGLE), o], note="magick")
        )
    else:
        im = find_binary(["convert", "convert-im6.q16", "convert-im7"], banner="ImageMagick")
        if im:
            tools.append(
                Tool(
                    "ImageMagick",
                    lambda i, o: [im, i, "-rotate", str(ANGLE), o],
                    note=os.path.basename(im),
                )
            )
        else:
            tools.append(Tool("ImageMagick", None, missing="not installed"))

    gm = find_binary(["gm"])
    if gm:
        tools.append(
            Tool("GraphicsMagick", lambda i, o: [gm, "convert", i, "-rotate", str(ANGLE), o])
        )
    else:
        tools.append(Tool("GraphicsMagick", None, missing="not installed"))

    if python_has(peer_python, "PIL"):
        for mode in ("BILINEAR", "BICUBIC"):
            tools.append(
                Tool(
                    f"Pillow {mode.lower()}",
                    lambda i, o, m=mode: [peer_python, "-c", PILLOW_SCRIPT, i, o, str(ANGLE), m],
                )
            )
    else:
        tools.append(Tool("Pillow", None, missing=f"no PIL for {peer_python}"))

    if python_has(peer_python, "cv2"):
        for flag in ("INTER_LINEAR", "INTER_CUBIC"):
            tools.append(
                Tool(
                    f"OpenCV {flag[6:].lower()}",
                    lambda i, o, f=flag: [peer_python, "-c", OPENCV_SCRIPT, i, o, str(ANGLE), f],
                )
            )
    else:
        tools.append(Tool("OpenCV", None, missing=f"no cv2 for {peer_python}"))

    vips = find_binary(["vips"])
    if vips:
        # vips reads and writes BMP only through its ImageMagick loader and
        # saver; its native .v format shows the cost of the turn itself.
        # Its rotate turns clockwise on screen for a positive angle.
        tools.append(
            Tool(
                "vips (.bmp)",
                lambda i, o: [vips, "rotate", i, o, str(ANGLE)],
                note="BMP through magicksave",
            )
        )
        tools.append(
            Tool(
                "vips (.v)",
                lambda i, o: [vips, "rotate", i, o, str(ANGLE)],
                suffix=".v",
                note="writes vips native .v",
            )
        )
    else:
        tools.append(Tool("vips", None, missing="not installed"))
    return tools


def run_once(argv, out_path, env):
    """Run one process; return (seconds, max RSS in KiB, error text or None)."""
    try:
        os.unlink(out_path)
    except FileNotFoundError:
        pass
    with tempfile.TemporaryFile() as err:
        t0 = time.perf_counter()
        try:
            proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=err, env=env)
        except OSError as e:
            return None, None, str(e)
        _, status, usage = os.wait4(proc.pid, 0)
        elapsed = time.perf_counter() - t0
        proc.returncode = os.waitstatus_to_exitcode(status)
        error = None
        if proc.returncode != 0:
            err.seek(0)
            text = err.read().decode(errors="replace").strip().splitlines()
            error = f"exit {proc.returncode}" + (f": {text[-1][:80]}" if text else "")
        elif not os.path.exists(out_path) or os.path.getsize(out_path) == 0:
            error = "no output"
    return elapsed, usage.ru_maxrss, error


def rss_floor(env):
    """ru_maxrss (KiB) of a child that does nothing: the floor of the column."""
    proc = subprocess.Popen(["true"], env=env)
    _, _, usage = os.wait4(proc.pid, 0)
    proc.returncode = 0
    return usage.ru_maxrss


def output_size(path):
    """Width x height of a BMP, PPM or vips .v file, or '?'."""
    try:
        with open(path, "rb") as f:
            head = f.read(64)
    except OSError:
        return "?"
    if head[:2] == b"BM" and len(head) >= 26:
        w, h = struct.unpack_from("<ii", head, 18)
        return f"{w}x{abs(h)}"
    if head[:4] in (b"\x08\xf2\xa6\xb6", b"\xb6\xa6\xf2\x08") and len(head) >= 12:
        # The byte order of the size fields has changed between vips
        # versions; take the one that gives a plausible size.
        for order in (">", "<"):
            w, h = struct.unpack_from(order + "ii", head, 4)
            if 0 < w < 1 << 20 and 0 < h < 1 << 20:
                return f"{w}x{h}"
        return "?"
    if head[:2] == b"P6":
        fields = head.split()
        if len(fields) >= 3:
            return f"{int(fields[1])}x{int(fields[2])}"
    return "?"


def parse_sizes(text):
    sizes = []
    for item in text.split(","):
        item = item.strip().lower()
        if not item:
            continue
        parts = item.split("x")
        if len(parts) not in (2, 3):
            raise ValueError(f"bad size '{item}' (want WxH or WxHxBITS)")
        w, h = int(parts[0]), int(parts[1])
        bits = int(parts[2]) if len(parts) == 3 else 24
        if w < 1 or h < 1 or bits not in (8, 24):
            raise ValueError(f"bad size '{item}'")
        sizes.append((w, h, bits))
    return sizes


def fmt_time(s):
    if s < 0.1:
        return f"{s * 1000:.1f} ms"
    return f"{s * 1000:.0f} ms" if s < 10 else f"{s:.1f} s"


def time_plan(path, runs):
    """Runs the commands of a JSON list [{"name", "argv", "out"}] `runs` times
    each, interleaved, and prints {name: [[seconds, max RSS KiB], ...]} as
    JSON. Other scripts (bench/quality) time their runs through this, from a
    process small enough not to raise the children's memory high-water mark."""
    import json

    with open(path) as f:
        commands = json.load(f)
    results = {c["name"]: [] for c in commands}
    for r in range(runs):
        for c in commands:
            print(f"#   {c['name']} run {r + 1}/{runs}", file=sys.stderr, flush=True)
            seconds, rss, error = run_once(c["argv"], c["out"], dict(os.environ))
            if os.path.exists(c["out"]):
                os.unlink(c["out"])
            if error:
                print(f"#     failed: {error}", file=sys.stderr, flush=True)
                continue
            results[c["name"]].append([seconds, rss])
    print(json.dumps(results))
    return 0


def main(argv=None):
    if argv is None and len(sys.argv) >= 2 and sys.argv[1] == "--time-plan":
        return time_plan(sys.argv[2], int(sys.argv[3]) if len(sys.argv) > 3 else 3)
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--veerpic", default=str(REPO / "build" / "release" / "veerpic"),
                    help="veerpic binary (default: build/release/veerpic)")
    ap.add_argument("--sizes", default=None,
                    help=f"comma-separated WxH[xBITS] pictures (default {DEFAULT_SIZES})")
    ap.add_argument("--runs", type=int, default=5, help="runs per tool and picture (default 5)")
    ap.add_argument("--big-runs", type=int, default=2,
                    help=f"runs for pictures of {BIG_PIXELS // 1_000_000} MP or more (default 2)")
    ap.add_argument("--quick", action="store_true",
                    help=f"only {QUICK_SIZES}, 3 runs each")
    ap.add_argument("--peer-python", default="/usr/bin/python3",
                    help="Python with Pillow/OpenCV (default /usr/bin/python3)")
    ap.add_argument("--only", default=None,
                    help="comma-separated peer names to run besides the copy and veerpic "
                         "(substring match, case-insensitive)")
    ap.add_argument("--tmpdir", default="/dev/shm" if os.path.isdir("/dev/shm") else None,
                    help="folder for inputs and outputs (default /dev/shm, a tmpfs)")
    ap.add_argument("--pause", type=float, default=0.0,
                    help="seconds of idling before every run (default 0): a virtual machine "
                         "that hands freed memory back to its host shows what a run after "
                         "a pause costs")
    args = ap.parse_args(argv)

    sizes_text = args.sizes or (QUICK_SIZES if args.quick else DEFAULT_SIZES)
    runs = 3 if args.quick and args.runs == 5 else args.runs
    try:
        sizes = parse_sizes(sizes_text)
    except ValueError as e:
        ap.error(str(e))
    if runs < 1 or args.big_runs < 1:
        ap.error("--runs and --big-runs must be at least 1")
    if not 0 <= args.pause <= 600:
        ap.error("--pause must be between 0 and 600 seconds")

    veerpic = os.path.abspath(args.veerpic)
    tools = make_tools(veerpic, args.peer_python)
    if args.only:
        wanted = [w.strip().lower() for w in args.only.split(",") if w.strip()]
        tools = [t for t in tools
                 if t.name in ("copy (floor)", "veerpic") or any(w in t.name.lower() for w in wanted)]
    active = [t for t in tools if t.argv is not None]
    skipped = [t for t in tools if t.argv is None]

    env = dict(os.environ)
    env.update(SINGLE_THREAD_ENV)

    work = Path(tempfile.mkdtemp(prefix="veerpic-bench-", dir=args.tmpdir))
    # A child's ru_maxrss is at least the size of this process when it forked
    # (Linux carries the high-water mark over fork and exec), so values at
    # this floor only say "no more than this".
    floor_kib = rss_floor(env)
    rows = []
    try:
        for (w, h, bits) in sizes:
            label = f"{w}x{h} {bits}-bit"
            src = work / f"in_{w}x{h}_{bits}.bmp"
            print(f"# making {label} ...", file=sys.stderr, flush=True)
            subprocess.run([sys.executable, str(MAKE_SAMPLE), str(src), "--width", str(w),
                            "--height", str(h), "--bits", str(bits)], check=True)
            n = args.big_runs if w * h >= BIG_PIXELS else runs
            results = {t.name: ([], [], None, "?") for t in active}
            # Interleave the tools within each round so that drift in the
            # machine's load spreads over all of them.
            for r in range(n):
                for t in active:
                    times, rss, error, dims = results[t.name]
                    if error:
                        continue
                    out = work / f"out{t.suffix}"
                    print(f"#   {label} {t.name} run {r + 1}/{n}", file=sys.stderr, flush=True)
                    time.sleep(args.pause)
                    el, mx, error = run_once(t.argv(str(src), str(out)), str(out), env)
                    if error:
                        # Keep the work folder's name out of the table.
                        error = error.replace(str(work) + os.sep, "")
                    if error is None:
                        times.append(el)
                        rss.append(mx)
                        dims = output_size(out)
                    results[t.name] = (times, rss, error, dims)
                    try:
                        os.unlink(out)
                    except FileNotFoundError:
                        pass
            src.unlink()
            base = results.get("veerpic")
            base_med = statistics.median(base[0]) if base and base[0] else None
            for t in active:
                times, rss, error, dims = results[t.name]
                if not times:
                    rows.append((label, t.name, "failed", "", "", "", error or t.note))
                    continue
                med = statistics.median(times)
                ratio = f"{med / base_med:.2f}" if base_med else ""
                note = t.note if not error else f"{t.note}; later run failed: {error}".lstrip("; ")
                peak = max(rss)
                rss_text = f"{peak / 1024:.0f}"
                if peak <= floor_kib * 1.05:
                    rss_text = f"≤{floor_kib / 1024:.0f}"
                rows.append((label, t.name, fmt_time(med), ratio, rss_text,
                             dims, f"{len(times)} run{'s' if len(times) > 1 else ''}"
                             + (f"; {note}" if note else "")))
    finally:
        shutil.rmtree(work, ignore_errors=True)

    where = "tmpfs" if args.tmpdir == "/dev/shm" else "the work folder"
    paused = f"each run after {args.pause:g} s idle; " if args.pause > 0 else ""
    print(f"Turning by {ANGLE} degrees, one thread, input and output on {where}; {paused}"
          f"median wall time of whole processes; ratio = time / veerpic time; "
          f"max RSS cannot read below the {floor_kib / 1024:.0f} MiB of the forking process.\n")
    print("| picture | tool | median | ratio | max RSS MiB | output | notes |")
    print("|---|---|---:|---:|---:|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    if skipped:
        print()
        for t in skipped:
            print(f"- skipped {t.name}: {t.missing}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
