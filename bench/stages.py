#!/usr/bin/env python3
"""Where a run of veerpic spends its time and memory, side by side with Pillow and the copy floor.

For each picture (4000 x 3000 and 10000 x 10000 24-bit by default, and with
--huge 20000 x 20000 on a disk folder) this script makes the input with
tools/make_sample.py, then runs in rounds, each command its own process and
each after its output was removed:

- veerpic: `veerpic 30 in.bmp out.bmp`, the whole tool;
- Pillow bilinear: `Image.rotate(-30, expand=True, resample=BILINEAR)` and a
  BMP save, under --peer-python;
- the copy floor: `copy_floor in.bmp out.bmp BYTES` (bench/copy_floor.cpp),
  which reads the input to its end and writes a file of BYTES zero bytes,
  BYTES being the size of veerpic's output;
- the stage program: `stages 30 in.bmp out.bmp` (bench/stages.cpp), the tool's
  own calls with each stage (load, transfer, save, free) measured from inside.

Every run is measured from this process: wall time from spawn to exit, user
and system time and minor faults from wait4, the peak proportional set size
(`Pss:` of /proc/PID/smaps_rollup, sampled while the child runs) and ru_maxrss
for comparison. The rounds run twice: back to back, and with --pause seconds of
idling before each run. The tables printed at the end are Markdown (medians).

Only the Python standard library is needed; Linux only (/proc, pidfd).
"""

import argparse
import hashlib
import json
import math
import os
import platform
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
MAKE_SAMPLE = REPO / "tools" / "make_sample.py"

ANGLE = 30  # degrees, clockwise on screen
DEFAULT_SIZES = "4000x3000,10000x10000"
HUGE_SIZE = (20000, 20000)
BIG_PIXELS = 50_000_000  # pictures at least this large take --big-runs rounds

# What the huge picture needs at its peak: the input (1.2 GB) and one output
# (2.2 GB) on disk, and the larger of veerpic's and Pillow's memory.
HUGE_DISK_BYTES = 4 << 30
HUGE_MEMORY_KIB = 7 << 20

PILLOW_SCRIPT = """
import sys
from PIL import Image
Image.MAX_IMAGE_PIXELS = None
im = Image.open(sys.argv[1])
if im.mode not in ("RGB", "L"):
    im = im.convert("RGB")
# Pillow turns counter-clockwise for a positive angle.
out = im.rotate(-float(sys.argv[3]), expand=True, resample=Image.BILINEAR)
out.save(sys.argv[2], format="BMP")
"""

FLOOR, VEERPIC, PILLOW, STAGES = "copy floor", "veerpic", "Pillow bilinear", "stage program"
STAGE_NAMES = ("load", "transfer", "save", "free")
SAMPLER_ALLOWANCE = 0.02  # seconds of reads not counted against --sampler-share
RSS_COUNTER_SLACK_KIB = 4096

# ------------------------------------------------------------------ measuring


def read_kib(fd, *keys):
    """The values in KiB of the fields `keys` (such as b"Pss") of an open
    /proc file, None for a field not there (a process that has exited shows
    none); OSError when the process is gone."""
    os.lseek(fd, 0, os.SEEK_SET)
    found = {}
    for line in os.read(fd, 16384).split(b"\n"):
        key, _, rest = line.partition(b":")
        if key in keys and rest.split():
            found[key] = int(rest.split()[0])
    return [found.get(key) for key in keys]


def run_measured(argv, out_path, *, interval, share, timeout, capture=False):
    """Runs argv as a child process and measures it from outside.

    Returns a dict: ok, error, wall, user, sys, minflt, maxrss_kib,
    peak_pss_kib, peak_rss_kib (the largest sampled), samples [(time, rss,
    pss)], sample_s (time this process spent reading), stdout (when captured).

    Every `interval` seconds the child's resident set is read from
    /proc/PID/status (a counter: cheap), and its smaps_rollup when the
    resident set is above the highest Pss seen so far (Pss is never more than
    the resident set, so no other moment can hold a new peak). Reading
    smaps_rollup walks the child's page tables (about 15 ms for 1.2 GB of 4
    KiB pages), so those reads are spaced to take no more than `share` of one
    core since the child's start (with an allowance of SAMPLER_ALLOWANCE
    seconds, so that one slow read at the start does not hold back the next).
    """
    result = {"ok": False, "error": None, "samples": [], "sample_s": 0.0,
              "maxrss_floor_kib": own_peak_rss_kib()}
    try:
        os.unlink(out_path)
    except FileNotFoundError:
        pass
    with tempfile.TemporaryFile() as err, tempfile.TemporaryFile() as out:
        t0 = time.monotonic()
        try:
            # Popen returns once the child has run exec, so the smaps_rollup
            # opened below is the program's own, not this interpreter's copy.
            proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL,
                                    stdout=out if capture else subprocess.DEVNULL, stderr=err)
        except OSError as e:
            result["error"] = str(e)
            return result
        reaped = False
        rollup = status_fd = pidfd = poller = None
        try:
            try:
                rollup = os.open(f"/proc/{proc.pid}/smaps_rollup", os.O_RDONLY)
                status_fd = os.open(f"/proc/{proc.pid}/status", os.O_RDONLY)
            except OSError:
                pass
            try:
                pidfd = os.pidfd_open(proc.pid)
                poller = select.epoll()
                poller.register(pidfd, select.EPOLLIN)
            except (AttributeError, OSError):
                pass  # without a pidfd, the loop sleeps and asks wait4
            killed = False
            next_read = t0
            peak_pss = None
            while True:
                if rollup is not None and status_fd is not None and \
                        time.monotonic() >= next_read:
                    try:
                        (resident,) = read_kib(status_fd, b"VmRSS")
                    except OSError:
                        resident = None
                    # The counter behind VmRSS may lag the pages by a little.
                    if resident is None or peak_pss is None or \
                            resident + RSS_COUNTER_SLACK_KIB > peak_pss:
                        start = time.monotonic()
                        try:
                            rss, pss = read_kib(rollup, b"Rss", b"Pss")
                        except OSError:
                            rss = pss = None
                        end = time.monotonic()
                        result["sample_s"] += end - start
                        if pss is not None:
                            result["samples"].append(((start + end) / 2, rss, pss))
                            peak_pss = pss if peak_pss is None else max(peak_pss, pss)
                        next_read = max(end + interval,
                                        t0 + result["sample_s"] / share - SAMPLER_ALLOWANCE)
                if poller is not None:
                    poller.poll(interval)
                else:
                    time.sleep(interval)
                pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
                if pid:
                    t1 = time.monotonic()
                    reaped = True
                    break
                if not killed and time.monotonic() - t0 > timeout:
                    proc.kill()
                    killed = True
        finally:
            for fd in (rollup, status_fd, pidfd):
                if fd is not None:
                    os.close(fd)
            if poller is not None:
                poller.close()
            if not reaped:
                proc.kill()
                os.wait4(proc.pid, 0)
                proc.returncode = -9
        proc.returncode = os.waitstatus_to_exitcode(status)

        result.update(wall=t1 - t0, user=usage.ru_utime, sys=usage.ru_stime,
                      minflt=usage.ru_minflt, maxrss_kib=usage.ru_maxrss)
        if result["samples"]:
            result["peak_pss_kib"] = max(s[2] for s in result["samples"])
            result["peak_rss_kib"] = max((s[1] for s in result["samples"] if s[1] is not None),
                                         default=None)
        if killed:
            result["error"] = f"timed out after {timeout:g} s"
        elif proc.returncode != 0:
            err.seek(0)
            lines = err.read().decode(errors="replace").strip().splitlines()
            result["error"] = f"exit {proc.returncode}" + (f": {lines[-1][:100]}" if lines else "")
        elif not os.path.exists(out_path) or os.path.getsize(out_path) == 0:
            result["error"] = "no output"
        if capture:
            out.seek(0)
            result["stdout"] = out.read().decode(errors="replace")
    result["ok"] = result["error"] is None
    return result


def attach_stages(result):
    """Reads the stage program's JSON into result['stages'] and gives each
    stage the peak of the Pss samples taken while it ran (and of its own
    readings at its start and end)."""
    try:
        report = json.loads(result.get("stdout") or "")
    except ValueError:
        if result["ok"]:
            result["ok"], result["error"] = False, "no stage report"
        return
    if not report.get("ok") and result["ok"]:
        result["ok"] = False
        result["error"] = f"failed in {report.get('failed_stage')}"
    stages = {s["name"]: s for s in report.get("stages", [])}
    whole = report.get("whole", {})
    for s in list(stages.values()) + ([whole] if whole else []):
        inside = [p for (t, _, p) in result["samples"] if s["start_s"] <= t <= s["end_s"]]
        own = [v for v in (s.get("pss_before_kib"), s.get("pss_after_kib")) if v is not None
               and v >= 0]
        s["peak_pss_kib"] = max(inside + own) if inside + own else None
        s["pss_samples"] = len(inside)
    if whole:
        # The parent's samples cover the whole process, start-up included.
        peaks = [s["peak_pss_kib"] for s in stages.values()] + [result.get("peak_pss_kib")]
        whole["peak_pss_kib"] = max((p for p in peaks if p is not None), default=None)
        stages["whole"] = whole
    result["stages"] = stages


def file_digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def own_peak_rss_kib():
    """This process's peak resident set. Linux carries it into the children
    this process starts (their ru_maxrss is at least this when they exec), so
    no child's ru_maxrss reads below it."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


# ------------------------------------------------------------------- the host


def mount_type(path):
    """File system type of the mount that holds `path` ('?' if unknown)."""
    best, kind = "", "?"
    real = os.path.realpath(path)
    try:
        with open("/proc/mounts") as f:
            for line in f:
                fields = line.split()
                if len(fields) < 3:
                    continue
                point = fields[1].replace("\\040", " ")
                if (real == point or real.startswith(point.rstrip("/") + "/")) and \
                        len(point) >= len(best):
                    best, kind = point, fields[2]
    except OSError:
        pass
    return kind


def meminfo_kib(key):
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def host_description():
    model = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    thp = "?"
    try:
        text = Path("/sys/kernel/mm/transparent_hugepage/enabled").read_text()
        thp = text[text.index("[") + 1:text.index("]")]
    except (OSError, ValueError):
        pass
    total = meminfo_kib("MemTotal")
    memory = f"{total / (1 << 20):.0f} GiB" if total else "? GiB"
    return (f"{os.cpu_count()} cores ({model}), {memory}, Linux {platform.release()}, "
            f"transparent large pages `{thp}`")


def python_has(python, module):
    if not (python and os.path.isfile(python) and os.access(python, os.X_OK)):
        return False
    return subprocess.run([python, "-c", f"import {module}"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0


def expected_output_bytes(width, height):
    """The size of a 24-bit BMP of the turned picture's bounding box, for when
    veerpic's own output is not there to be measured (may be a row off)."""
    c, s = abs(math.cos(math.radians(ANGLE))), abs(math.sin(math.radians(ANGLE)))
    w, h = int(width * c + height * s), int(width * s + height * c)
    return 54 + ((w * 3 + 3) & ~3) * h


# ----------------------------------------------------------------- the rounds


def make_input(path, width, height):
    subprocess.run([sys.executable, str(MAKE_SAMPLE), str(path), "--width", str(width),
                    "--height", str(height), "--bits", "24"], check=True)


def commands(args, src, out, out_bytes):
    """name -> (argv, capture stdout)."""
    cmds = {}
    if args.floor:
        cmds[FLOOR] = ([args.floor, src, out, str(out_bytes)], False)
    if args.veerpic:
        cmds[VEERPIC] = ([args.veerpic, str(ANGLE), src, out], False)
    if args.pillow:
        cmds[PILLOW] = ([args.peer_python, "-c", PILLOW_SCRIPT, src, out, str(ANGLE)], False)
    if args.stages:
        cmds[STAGES] = ([args.stages, str(ANGLE), src, out], True)
    return cmds


def measure_picture(args, width, height, work, runs, log):
    """Makes the picture, checks the stage program against the tool, and runs
    the rounds. Returns {'modes': {mode: {tool: [result, ...]}}, 'notes': [...]}."""
    src = str(work / f"in_{width}x{height}.bmp")
    out = str(work / "out.bmp")
    picture = {"width": width, "height": height, "modes": {}, "notes": []}
    log(f"making {width} x {height} ...")
    make_input(src, width, height)
    opts = {"interval": args.sample_interval / 1000, "share": args.sampler_share,
            "timeout": args.timeout}

    # One run of each, not counted: it warms the page cache for the programs,
    # gives the size of veerpic's output for the floor, and checks that the
    # stage program writes the tool's bytes.
    out_bytes = expected_output_bytes(width, height)
    digest = None
    if args.veerpic:
        log("  first run of veerpic (not counted)")
        r = run_measured([args.veerpic, str(ANGLE), src, out], out, **opts)
        if r["ok"]:
            out_bytes = os.path.getsize(out)
            digest = file_digest(out)
        else:
            picture["notes"].append(f"veerpic's first run failed: {r['error']}")
    if args.stages:
        log("  first run of the stage program (not counted)")
        r = run_measured([args.stages, str(ANGLE), src, out], out, capture=True, **opts)
        if not r["ok"]:
            picture["notes"].append(f"the stage program's first run failed: {r['error']}")
        elif digest is not None:
            same = file_digest(out) == digest
            picture["identical"] = same
            if not same:
                picture["notes"].append("the stage program's output DIFFERS from the tool's")
    if args.pillow:
        log("  first run of Pillow (not counted)")
        run_measured(commands(args, src, out, out_bytes)[PILLOW][0], out, **opts)
    try:
        os.unlink(out)
    except FileNotFoundError:
        pass
    picture["output_bytes"] = out_bytes

    cmds = commands(args, src, out, out_bytes)
    names = list(cmds)
    modes = ["back to back"] + ([f"after {args.pause:g} s idle"] if args.pause > 0 else [])
    for mode in modes:
        picture["modes"][mode] = {name: [] for name in names}
    for r in range(runs):
        # The order turns from round to round, so that no command always
        # follows the same one.
        order = names[r % len(names):] + names[:r % len(names)]
        for mode in modes:
            for name in order:
                log(f"  {width} x {height} {mode}: {name}, round {r + 1}/{runs}")
                if mode != "back to back":
                    time.sleep(args.pause)
                argv, capture = cmds[name]
                result = run_measured(argv, out, capture=capture, **opts)
                if capture:
                    attach_stages(result)
                result.pop("stdout", None)
                if not result["ok"]:
                    log(f"    failed: {result['error']}")
                picture["modes"][mode][name].append(result)
                try:
                    os.unlink(out)
                except FileNotFoundError:
                    pass
    os.unlink(src)
    return picture


# -------------------------------------------------------------------- tables


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def ms(seconds):
    if seconds is None:
        return ""
    return f"{seconds * 1000:.1f}" if seconds < 0.1 else f"{seconds * 1000:.0f}"


def mib(kib, signed=False):
    if kib is None:
        return ""
    digits = 1 if abs(kib) < 10 * 1024 else 0
    return f"{kib / 1024:+.{digits}f}" if signed else f"{kib / 1024:.{digits}f}"


def count(n):
    return "" if n is None else f"{n:.0f}"


def ratio(a, b):
    return f"{a / b:.2f}" if a and b else ""


def label(picture):
    return f"{picture['width']} x {picture['height']}"


def whole_run_table(pictures):
    lines = ["| picture | mode | command | runs | wall ms | range ms | user ms | sys ms "
             "| minor faults | peak Pss MiB | ru_maxrss MiB |",
             "|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    notes = []
    for pic in pictures:
        for mode, tools in pic["modes"].items():
            for name, results in tools.items():
                if name == STAGES:
                    continue  # in the stage table, with its own peak
                good = [r for r in results if r["ok"]]
                failed = [r for r in results if not r["ok"]]
                if failed:
                    notes.append(f"{label(pic)}, {mode}, {name}: {len(failed)} of "
                                 f"{len(results)} runs failed ({failed[0]['error']})")
                if not good:
                    lines.append(f"| {label(pic)} | {mode} | {name} | 0 | failed | | | | | | |")
                    continue
                walls = [r["wall"] for r in good]
                maxrss = median([r["maxrss_kib"] for r in good])
                floor = max(r["maxrss_floor_kib"] for r in good)
                maxrss_text = mib(maxrss)
                if maxrss is not None and maxrss <= floor * 1.02:
                    maxrss_text = f"≤{mib(floor)}"
                lines.append(
                    f"| {label(pic)} | {mode} | {name} | {len(good)} | {ms(median(walls))} "
                    f"| {ms(min(walls))}-{ms(max(walls))} | {ms(median(r['user'] for r in good))} "
                    f"| {ms(median(r['sys'] for r in good))} "
                    f"| {count(median(r['minflt'] for r in good))} "
                    f"| {mib(median(r.get('peak_pss_kib') for r in good))} | {maxrss_text} |")
    return lines, notes


def ratio_table(pictures):
    lines = ["| picture | mode | Pillow ÷ veerpic, wall | veerpic ÷ floor, wall "
             "| veerpic ÷ Pillow, peak Pss |",
             "|---|---|---:|---:|---:|"]
    for pic in pictures:
        for mode, tools in pic["modes"].items():
            def med(name, key):
                return median(r.get(key) for r in tools.get(name, []) if r["ok"])
            v, p, f = (med(VEERPIC, "wall"), med(PILLOW, "wall"), med(FLOOR, "wall"))
            vm, pm = med(VEERPIC, "peak_pss_kib"), med(PILLOW, "peak_pss_kib")
            lines.append(f"| {label(pic)} | {mode} | {ratio(p, v)} | {ratio(v, f)} "
                         f"| {ratio(vm, pm)} |")
    return lines


def stage_table(pictures):
    lines = ["| picture | mode | stage | wall ms | user ms | sys ms | minor faults "
             "| Δ Rss MiB | Δ Pss MiB | peak RSS MiB | peak Pss MiB |",
             "|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for pic in pictures:
        for mode, tools in pic["modes"].items():
            good = [r for r in tools.get(STAGES, []) if r["ok"] and "stages" in r]
            if not good:
                continue
            for stage in STAGE_NAMES + ("whole",):
                rows = [r["stages"][stage] for r in good if stage in r["stages"]]
                if not rows:
                    continue

                def med(key):
                    return median(s.get(key) for s in rows)

                def delta(what):
                    return median(s[f"{what}_after_kib"] - s[f"{what}_before_kib"] for s in rows
                                  if s[f"{what}_after_kib"] >= 0 and s[f"{what}_before_kib"] >= 0)

                peak_rss = med("peak_rss_kib")
                lines.append(
                    f"| {label(pic)} | {mode} | {stage} | {ms(med('wall_s'))} "
                    f"| {ms(med('user_s'))} | {ms(med('sys_s'))} | {count(med('minflt'))} "
                    f"| {mib(delta('rss'), True)} | {mib(delta('pss'), True)} "
                    f"| {mib(peak_rss) if peak_rss is not None and peak_rss >= 0 else ''} "
                    f"| {mib(med('peak_pss_kib'))} |")
    return lines


def sampling_notes(pictures):
    notes = []
    for pic in pictures:
        gaps, share = [], []
        for tools in pic["modes"].values():
            for r in tools.get(VEERPIC, []):
                s = r["samples"]
                if r["ok"] and len(s) > 1:
                    gaps.append((s[-1][0] - s[0][0]) / (len(s) - 1))
                    share.append(r["sample_s"] / r["wall"])
        if gaps:
            notes.append(f"{label(pic)}: veerpic's Pss sampled every {median(gaps) * 1000:.1f} ms "
                         f"(median), the reads taking {median(share) * 100:.0f}% of one core "
                         f"during its runs")
    return notes


# ---------------------------------------------------------------------- main


def parse_sizes(text):
    sizes = []
    for item in text.split(","):
        item = item.strip().lower()
        if not item:
            continue
        parts = item.split("x")
        if len(parts) != 2 or not all(p.isdigit() for p in parts):
            raise ValueError(f"bad size '{item}' (want WxH)")
        w, h = int(parts[0]), int(parts[1])
        if not (1 <= w <= 100000 and 1 <= h <= 100000):
            raise ValueError(f"bad size '{item}'")
        sizes.append((w, h))
    return sizes


def find_program(path):
    path = os.path.abspath(path)
    return path if os.path.isfile(path) and os.access(path, os.X_OK) else None


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--veerpic", default=str(REPO / "build" / "release" / "veerpic"),
                    help="the tool (default build/release/veerpic)")
    ap.add_argument("--bench-dir", default=str(REPO / "build" / "bench" / "bench"),
                    help="where the bench preset put stages and copy_floor "
                         "(default build/bench/bench)")
    ap.add_argument("--peer-python", default="/usr/bin/python3",
                    help="Python with Pillow (default /usr/bin/python3)")
    ap.add_argument("--sizes", default=DEFAULT_SIZES,
                    help=f"comma-separated WxH pictures, 24-bit (default {DEFAULT_SIZES})")
    ap.add_argument("--huge", action="store_true",
                    help="also 20000x20000, its files on --disk-dir (needs about 4 GiB of "
                         "disk and 7 GiB of free memory)")
    ap.add_argument("--runs", type=int, default=5, help="rounds per picture (default 5)")
    ap.add_argument("--big-runs", type=int, default=3,
                    help=f"rounds for pictures of {BIG_PIXELS // 1_000_000} Mpx or more "
                         "(default 3)")
    ap.add_argument("--pause", type=float, default=3.0,
                    help="seconds of idling before each run of the second series "
                         "(default 3; 0 runs back to back only)")
    ap.add_argument("--tmpdir", default="/dev/shm" if os.path.isdir("/dev/shm") else None,
                    help="folder for inputs and outputs (default /dev/shm, a tmpfs)")
    ap.add_argument("--disk-dir", default=str(REPO / "build"),
                    help="folder on a disk for the 20000x20000 picture (default build/)")
    ap.add_argument("--sample-interval", type=float, default=2.0,
                    help="milliseconds between reads of a child's Pss (default 2)")
    ap.add_argument("--sampler-share", type=float, default=0.1,
                    help="most of one core the reads of smaps_rollup may take when they "
                         "are slow (default 0.1)")
    ap.add_argument("--timeout", type=float, default=600, help="seconds a run may take")
    ap.add_argument("--json", help="also write every run's measurements to this file")
    args = ap.parse_args(argv)

    try:
        sizes = parse_sizes(args.sizes)
    except ValueError as e:
        ap.error(str(e))
    if args.runs < 1 or args.big_runs < 1:
        ap.error("--runs and --big-runs must be at least 1")
    if not 0 <= args.pause <= 600:
        ap.error("--pause must be between 0 and 600 seconds")
    if not 0 < args.sampler_share <= 1 or args.sample_interval <= 0:
        ap.error("--sampler-share must be in (0, 1] and --sample-interval above 0")
    if not os.path.exists("/proc/self/smaps_rollup"):
        sys.exit("stages.py: this system has no /proc/PID/smaps_rollup (Linux 4.14 or later)")

    def log(text):
        print(f"# {text}", file=sys.stderr, flush=True)

    args.veerpic = find_program(args.veerpic)
    args.stages = find_program(os.path.join(args.bench_dir, "stages"))
    args.floor = find_program(os.path.join(args.bench_dir, "copy_floor"))
    args.pillow = python_has(args.peer_python, "PIL")
    skipped = []
    for name, present, why in ((VEERPIC, args.veerpic, "not built (--veerpic)"),
                               (STAGES, args.stages, "not built (bench preset, --bench-dir)"),
                               (FLOOR, args.floor, "not built (bench preset, --bench-dir)"),
                               (PILLOW, args.pillow, f"no PIL for {args.peer_python}")):
        if not present:
            skipped.append(f"{name}: {why}")
            log(f"skipping {name}: {why}")
    if not (args.veerpic or args.stages):
        sys.exit("stages.py: neither veerpic nor the stage program is built")

    plan = [(w, h, False) for (w, h) in sizes]
    if args.huge:
        disk = Path(args.disk_dir)
        free_bytes = shutil.disk_usage(disk).free if disk.is_dir() else 0
        available = meminfo_kib("MemAvailable") or 0
        if mount_type(disk) == "tmpfs":
            skipped.append(f"20000 x 20000: {args.disk_dir} is a tmpfs, not a disk")
        elif free_bytes < HUGE_DISK_BYTES:
            skipped.append(f"20000 x 20000: {free_bytes >> 30} GiB free on --disk-dir, "
                           f"{HUGE_DISK_BYTES >> 30} needed")
        elif available < HUGE_MEMORY_KIB:
            skipped.append(f"20000 x 20000: {available >> 20} GiB of memory available, "
                           f"{HUGE_MEMORY_KIB >> 20} needed")
        else:
            plan.append((HUGE_SIZE[0], HUGE_SIZE[1], True))
        if skipped and skipped[-1].startswith("20000"):
            log(f"skipping {skipped[-1]}")

    # SIGTERM ends the script as Ctrl-C does: the child is ended and the
    # temporary files removed.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    load_before = os.getloadavg()
    started = time.strftime("%Y-%m-%d %H:%M")
    pictures = []
    folders = []
    try:
        for (w, h, on_disk) in plan:
            base = args.disk_dir if on_disk else args.tmpdir
            work = Path(tempfile.mkdtemp(prefix="veerpic-stages-", dir=base))
            folders.append(work)
            runs = args.big_runs if w * h >= BIG_PIXELS else args.runs
            pic = measure_picture(args, w, h, work, runs, log)
            pic["where"] = mount_type(work)
            pictures.append(pic)
            shutil.rmtree(work, ignore_errors=True)
    finally:
        for work in folders:
            shutil.rmtree(work, ignore_errors=True)
    load_after = os.getloadavg()

    print(f"Turning by {ANGLE} degrees, {started}, on {host_description()}. Load average "
          f"{load_before[0]:.2f} before and {load_after[0]:.2f} after. "
          "Medians; each run its own process after its output was removed; peak Pss sampled "
          "from outside; ru_maxrss cannot read below the peak resident set of this script "
          f"({mib(own_peak_rss_kib())} MiB at the end), which Linux carries into the "
          "children: such values show as ≤.\n")
    for pic in pictures:
        where = pic.get("where", "?")
        same = {True: "byte-identical to the tool's", False: "DIFFERENT from the tool's",
                None: "not compared"}[pic.get("identical")]
        print(f"- {label(pic)}: files on {where}; output {pic['output_bytes']} bytes "
              f"(the floor writes as many); the stage program's output {same}.")
    for note in sampling_notes(pictures):
        print(f"- {note}.")
    print()
    print("Whole runs:\n")
    table, failures = whole_run_table(pictures)
    print("\n".join(table))
    print("\nRatios of the medians:\n")
    print("\n".join(ratio_table(pictures)))
    print("\nStages of the tool's run (the stage program; whole = its first stage's start to "
          "its last stage's end, processor time and faults of the whole process):\n")
    print("\n".join(stage_table(pictures)))
    notes = failures + skipped + [n for pic in pictures for n in pic["notes"]]
    if notes:
        print()
        for note in notes:
            print(f"- {note}")
    if args.json:
        for pic in pictures:
            for tools in pic["modes"].values():
                for results in tools.values():
                    for r in results:
                        r["samples"] = len(r["samples"])
        with open(args.json, "w") as f:
            json.dump({"started": started, "host": host_description(),
                       "load_before": load_before, "load_after": load_after,
                       "pictures": pictures}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
