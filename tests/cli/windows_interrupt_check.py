#!/usr/bin/env python3
"""Ctrl+C during a run of the Windows build under Wine, which turns SIGINT
into the console's Ctrl+C event.

    windows_interrupt_check.py WINE_RUN VEERPIC_EXE

Each run is interrupted at a different moment. Whatever the moment, the
earlier output is whole or the new output is whole, and no temporary is left
beside it; the runs that the interrupt ended must include some that had begun
writing (the output's folder held the temporary). A run ended by Ctrl+C exits
with STATUS_CONTROL_C_EXIT, which Wine reports as 58 (its low byte); before
the tool has a temporary to remove, Wine's own handling ends it with 0.
"""

import os
import signal
import struct
import subprocess
import sys
import tempfile
import time


def picture(width, height):
    stride = (width * 3 + 3) // 4 * 4
    rows = bytes((i * 7) & 0xFF for i in range(stride)) * height
    return (struct.pack("<2sIHHI", b"BM", 54 + len(rows), 0, 0, 54) +
            struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(rows), 0, 0, 0, 0) + rows)


def temporaries(folder):
    return [n for n in os.listdir(folder) if n.lower().endswith(".tmp")]


def main():
    wine_run, exe = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    with tempfile.TemporaryDirectory(prefix="veerpic-interrupt-") as work:
        with open(os.path.join(work, "in.bmp"), "wb") as f:
            f.write(picture(4000, 3000))
        out = os.path.join(work, "out.bmp")
        earlier = b"earlier output"
        run = ["sh", wine_run, exe, "33", "in.bmp", "out.bmp"]
        # How long a whole run takes here, to spread the interrupts over it:
        # the shortest of three, as the first runs also start Wine's server
        # and load its libraries.
        times = []
        for _ in range(3):
            start = time.monotonic()
            subprocess.run(run, cwd=work, check=True, stdin=subprocess.DEVNULL)
            times.append(time.monotonic() - start)
        whole = min(times)
        failures, runs, interrupted, during_write = [], 0, 0, 0
        # Rounds of interrupts spread over a run, until one has come while
        # the temporary existed (the first round nearly always has one).
        for step in range(24 * 4):
            if step % 24 == 0 and during_write > 0:
                break
            runs += 1
            with open(out, "wb") as f:
                f.write(earlier)
            child = subprocess.Popen(run, cwd=work, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            # Each round falls between the moments of the rounds before it.
            deadline = time.monotonic() + whole * (step % 24 + 1 + (step // 24) / 4) / 24
            seen_temporary = False
            while time.monotonic() < deadline:
                seen_temporary = seen_temporary or bool(temporaries(work))
                time.sleep(0.002)
            seen_temporary = seen_temporary or bool(temporaries(work))
            child.send_signal(signal.SIGINT)
            code = child.wait()
            with open(out, "rb") as f:
                now = f.read()
            complete = len(now) >= 6 and struct.unpack("<I", now[2:6])[0] == len(now)
            if code == 0xC000013A & 0xFF:
                interrupted += 1
                during_write += seen_temporary
            # Interrupted after the new file took its place, a run may still
            # end as interrupted: either file whole is right.
            if not (now == earlier or complete):
                failures.append("step %d: exit %d, output of %d bytes" % (step, code, len(now)))
            if temporaries(work):
                failures.append("step %d: exit %d, temporary left: %s"
                                % (step, code, temporaries(work)))
                for name in temporaries(work):
                    os.remove(os.path.join(work, name))
        print("interrupts: %d runs, %d ended by Ctrl+C, %d of those while writing"
              " (a whole run %.2f s)" % (runs, interrupted, during_write, whole))
        if during_write == 0:
            failures.append("no interrupt arrived while the temporary existed")
        for line in failures:
            print("  " + line)
        return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
