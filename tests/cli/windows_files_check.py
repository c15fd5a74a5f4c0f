#!/usr/bin/env python3
"""The Windows build's output files under Wine, as seen from the build
machine: what only a file system's own view shows.

    windows_files_check.py WINE_RUN VEERPIC_EXE

1. An output that is a symbolic link keeps its link, and the file the link
   leads to (beside it, or in another folder) gets the new picture, the same
   bytes as an output that is a plain file.
2. A run ended by force (the process killed outright, as TerminateProcess or
   taskkill /F end it) while it writes its temporary leaves no temporary: the
   temporary is marked for deletion until it takes its place. The earlier
   output stays whole. (The mark follows the file's making by one call, so a
   run is ended once its temporary holds bytes.)
"""

import os
import signal
import struct
import subprocess
import sys
import tempfile
import time

# The picture and the temporaries, as the interrupt check makes and finds them.
from windows_interrupt_check import picture, temporaries


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def links(run, work, failures):
    subprocess.run(run + ["plain.bmp"], cwd=work, check=True, stdin=subprocess.DEVNULL)
    expected = read(os.path.join(work, "plain.bmp"))
    os.mkdir(os.path.join(work, "sub"))
    for link, target in (("out.bmp", "target.bmp"), ("far.bmp", os.path.join("sub", "t.bmp"))):
        with open(os.path.join(work, target), "wb") as f:
            f.write(b"earlier output")
        os.symlink(target, os.path.join(work, link))
        code = subprocess.run(run + [link], cwd=work, stdin=subprocess.DEVNULL).returncode
        where = "%s -> %s" % (link, target)
        if code != 0:
            failures.append("%s: exit %d" % (where, code))
        if not os.path.islink(os.path.join(work, link)) or os.readlink(os.path.join(work, link)) != target:
            failures.append("%s: the link is gone" % where)
        now = read(os.path.join(work, target))
        if now != expected:
            failures.append("%s: the target %s" % (where, "is gone" if now is None
                                                    else "does not hold the new picture"))
    if temporaries(work) or temporaries(os.path.join(work, "sub")):
        failures.append("links: temporaries left")


def being_written(folder):
    """Whether a temporary in `folder` holds bytes."""
    for name in temporaries(folder):
        try:
            if os.path.getsize(os.path.join(folder, name)) > 0:
                return True
        except OSError:
            pass  # gone meanwhile
    return False


def forced_ends(run, work, failures):
    out = os.path.join(work, "out.bmp")
    killed_while_writing = 0
    for attempt in range(12):
        if killed_while_writing >= 3:
            break
        with open(out, "wb") as f:
            f.write(b"earlier output")
        child = subprocess.Popen(run + ["out.bmp"], cwd=work, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        while not being_written(work) and child.poll() is None and time.monotonic() < deadline:
            time.sleep(0.001)
        if child.poll() is None and being_written(work):
            child.send_signal(signal.SIGKILL)
            killed_while_writing += 1
        child.wait()
        # The system removes a file marked for deletion once the dead
        # process's handles are closed, which Wine's server does soon after.
        settle = time.monotonic() + 10
        while temporaries(work) and time.monotonic() < settle:
            time.sleep(0.05)
        now = read(out) or b""
        complete = len(now) >= 6 and struct.unpack("<I", now[2:6])[0] == len(now)
        if not (now == b"earlier output" or complete):
            failures.append("attempt %d: output of %d bytes" % (attempt, len(now)))
        if temporaries(work):
            failures.append("attempt %d: temporary left: %s" % (attempt, temporaries(work)))
            for name in temporaries(work):
                os.remove(os.path.join(work, name))
    print("forced ends: %d while the temporary was written" % killed_while_writing)
    if killed_while_writing == 0:
        failures.append("no run was ended while its temporary was written")


def main():
    wine_run, exe = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    failures = []
    with tempfile.TemporaryDirectory(prefix="veerpic-files-") as work:
        with open(os.path.join(work, "in.bmp"), "wb") as f:
            f.write(picture(3000, 2000))
        run = ["sh", wine_run, exe, "33", "in.bmp"]
        links(run, work, failures)
        forced_ends(run, work, failures)
    for line in failures:
        print("  " + line)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
