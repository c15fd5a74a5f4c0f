#!/usr/bin/env python3
"""Run the tool's builds for several systems over the same pictures and angles
and compare what they give, byte for byte.

The Windows build runs under Wine (through cmake/wine-run.sh, in the prefix
that WINEPREFIX names), the aarch64 build under qemu-aarch64 with the
cross sysroot's libraries. A build left out is not compared. Each run is
compared on its output file, exit code and messages (CR LF read as LF).
Prints "golden: N runs, all three equal" or lists the runs that differ and
exits 1.

The pictures are made here: thin ones (2 x 359, 129 x 619, 100 x 851, 9 x 689)
whose corners land exactly on pixel edges at quarter turns, pictures at every
depth, and the repository's sample, once under a name of several scripts.
Only the Python standard library is used.
"""

import argparse
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def bmp(width, height, bits, seed):
    """A BMP file with varied pixels: diagonal bands mixed with a hash."""
    stride = (width * bits + 31) // 32 * 4
    table = b""
    if bits <= 8:
        table = b"".join(
            bytes(((i * 37 + seed) % 256, (i * 91) % 256, (i * 173) % 256, 0))
            for i in range(1 << bits))
    rows = bytearray()
    for y in range(height):
        row = bytearray(stride)
        for i in range(stride):
            row[i] = ((i * 7 + y * 13 + seed) * 2654435761 >> 11) & 0xFF
        rows += row
    off = 54 + len(table)
    header = struct.pack("<2sIHHI", b"BM", off + len(rows), 0, 0, off)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, len(rows), 0, 0, 0, 0)
    return header + info + table + bytes(rows)


def cases(work):
    """(name, angle text, input file name) for every run."""
    runs = []
    thin = [(2, 359), (129, 619), (100, 851), (9, 689)]
    for w, h in thin:
        name = "thin-%dx%d.bmp" % (w, h)
        with open(os.path.join(work, name), "wb") as f:
            f.write(bmp(w, h, 24, w + h))
        for angle in ("90", "180", "270", "540"):
            runs.append((name, angle))
    for bits in (1, 4, 8, 16, 24, 32):
        name = "depth-%d.bmp" % bits
        with open(os.path.join(work, name), "wb") as f:
            f.write(bmp(61, 47, bits, bits))
        for angle in ("0", "30", "-45", "90"):
            runs.append((name, angle))
    shutil.copy(os.path.join(ROOT, "samples", "sample.bmp"), os.path.join(work, "sample.bmp"))
    for angle in ("30", "-90", "359.5", "1e6", "2e-309", "720", "abc"):
        runs.append(("sample.bmp", angle))
    # A name of several scripts reaches the file services as it was typed.
    shutil.copy(os.path.join(ROOT, "samples", "sample.bmp"), os.path.join(work, "фото 写真 🙂.bmp"))
    runs.append(("фото 写真 🙂.bmp", "-30"))
    # Failures end the same way too, naming the file byte for byte.
    runs.append(("missing.bmp", "30"))
    runs.append(("нет.bmp", "30"))
    return runs


def launcher(kind, exe):
    if kind == "native":
        return [exe]
    if kind == "windows":
        # The same way the tests run it: one Wine server for all the runs.
        return ["sh", os.path.join(ROOT, "cmake", "wine-run.sh"), exe]
    return [os.environ.get("QEMU", "qemu-aarch64"), "-L", "/usr/aarch64-linux-gnu", exe]


def run(kind, exe, work, name, angle, index):
    out = "out-%s-%d.bmp" % (kind, index)
    proc = subprocess.run(launcher(kind, exe) + [angle, name, out], cwd=work,
                          capture_output=True, timeout=300)
    path = os.path.join(work, out)
    digest = "none"
    if os.path.exists(path):
        with open(path, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()[:16]
        os.remove(path)
    messages = (proc.stdout + proc.stderr).replace(b"\r\n", b"\n")
    return (proc.returncode, digest, messages)


EXAMPLE = """example, after the ci, windows and aarch64 presets have been built
(.ci/run golden builds what is missing and runs this):

  WINEPREFIX=$PWD/build/windows/wine-prefix python3 tools/golden_check.py \\
      --native build/ci/veerpic --windows build/windows/veerpic.exe \\
      --aarch64 build/aarch64/veerpic

environment:
  WINEPREFIX  the Wine prefix for the Windows build (default: Wine's own, ~/.wine)
  QEMU        the emulator for the aarch64 build (default: qemu-aarch64)

exit status: 0 when every run gives the same output, exit code and messages
on every build given, 1 when a run differs, 2 for wrong arguments."""


def main():
    parser = argparse.ArgumentParser(
        description=__doc__,
        epilog=EXAMPLE, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--native", metavar="PROGRAM",
                        help="the build for this machine, run as it is (e.g. build/ci/veerpic)")
    parser.add_argument("--windows", metavar="PROGRAM.exe",
                        help="the Windows build, run under Wine (e.g. build/windows/veerpic.exe)")
    parser.add_argument("--aarch64", metavar="PROGRAM",
                        help="the 64-bit ARM build, run under qemu-aarch64 with the libraries of "
                             "/usr/aarch64-linux-gnu (e.g. build/aarch64/veerpic)")
    if len(sys.argv) == 1:
        parser.print_help(sys.stderr)
        return 2
    args = parser.parse_args()
    builds = [(k, os.path.abspath(v)) for k, v in
              (("native", args.native), ("windows", args.windows), ("aarch64", args.aarch64)) if v]
    if len(builds) < 2:
        parser.error("give at least two of --native, --windows and --aarch64")
    for kind, exe in builds:
        if not os.path.isfile(exe):
            parser.error("the %s build %s does not exist" % (kind, exe))
    os.environ.setdefault("WINEDEBUG", "-all")

    with tempfile.TemporaryDirectory(prefix="veerpic-golden-") as work:
        runs = cases(work)
        differing = []
        reruns = 0
        for index, (name, angle) in enumerate(runs):
            results = {kind: run(kind, exe, work, name, angle, index) for kind, exe in builds}
            # An emulator now and then fails a run of its own accord (Wine's
            # loader can crash as the process ends): a differing run is run
            # again, up to twice, and differs only if it keeps differing.
            for _ in range(2):
                if len(set(results.values())) == 1:
                    break
                reruns += 1
                results.update({kind: run(kind, exe, work, name, angle, index)
                                for kind, exe in builds if kind != "native"})
            if len(set(results.values())) != 1:
                detail = ", ".join("%s exit %d %s" % (k, r[0], r[1]) for k, r in results.items())
                differing.append("%s at %s: %s" % (name, angle, detail))
    names = " and ".join(k for k, _ in builds) if len(builds) == 2 else "three"
    if differing:
        print("golden: %d of %d runs differ between %s builds:" % (len(differing), len(runs), names))
        for line in differing:
            print("  " + line)
        return 1
    print("golden: %d runs, all %s equal%s" % (len(runs), names,
                                                 " (%d run again)" % reruns if reruns else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
