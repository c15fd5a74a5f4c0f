#!/usr/bin/env python3
"""Make a deterministic, photo-like BMP picture.

    make_sample.py OUT.bmp [--width W] [--height H] [--bits 24|8]

Without options it writes the repository's sample picture (320 x 240, 24-bit):
a sky gradient with a shaded sun, ground with furrows, a few lit spheres, a
sign with fine stripes and glyph-like high-frequency detail, and a little
noise from a fixed-seed generator. The output is the same byte for byte on
every run and every machine.

Large pictures (for benchmarks) are made from a limited number of distinct
scene rows: each output row takes one of them (with a small jitter in which
one) and turns it cyclically by a few pixels, so neighbouring rows differ and
the picture is neither constant nor trivially compressible, while the cost
stays proportional to the file size rather than to per-pixel Python work.
A 10000 x 10000 24-bit picture takes a few seconds.

The 8-bit form uses a fixed 256-entry palette: a 6 x 7 x 6 colour cube
(red, green, blue levels) followed by four greys.

Only the Python standard library is used.
"""

import argparse
import math
import random
import struct
import sys

SEED = 0x5EED_B3A7

# Budget of scene-row pixels computed in Python; beyond it rows are reused.
ROW_PIXEL_BUDGET = 2_000_000
MIN_DISTINCT_ROWS = 64

# 8-bit palette: 6 x 7 x 6 cube, then greys.
R_LEVELS = 6
G_LEVELS = 7
B_LEVELS = 6
EXTRA_GREYS = (48, 96, 160, 208)


def clamp8(v):
    v = int(v)
    return 0 if v < 0 else 255 if v > 255 else v


class Scene:
    """The picture as a function of rows: row(y) gives (r, g, b) lists."""

    def __init__(self, width, height):
        self.w = width
        self.h = height
        s = min(width, height)
        self.s = s
        self.horizon = int(height * 0.56)
        rng = random.Random(SEED)
        self.rng = rng
        # Column terms shared by all rows.
        self.col_u = [(x + 0.5) / width for x in range(width)]
        # Sun and spheres: centre x, centre y, radius, base colour.
        self.sun = (width * 0.80, height * 0.18, s * 0.075)
        self.spheres = [
            (width * 0.22, height * 0.72, s * 0.13, (200, 40, 30)),
            (width * 0.47, height * 0.80, s * 0.09, (40, 90, 210)),
            (width * 0.68, height * 0.70, s * 0.06, (230, 190, 40)),
            (width * 0.86, height * 0.84, s * 0.11, (60, 170, 90)),
        ]
        # A sign with glyph-like detail and fine stripes.
        self.sign = (
            int(width * 0.06),
            int(height * 0.10),
            int(width * 0.42),
            int(height * 0.40),
        )
        # Glyphs: random 5x7 cells of sparse bits, one pixel per bit; every
        # sixth cell is blank, like the space between words.
        self.glyphs = [
            0 if i % 6 == 5 else rng.getrandbits(35) & rng.getrandbits(35) for i in range(66)
        ]
        # Noise values, reused with a row-dependent offset.
        self.noise = [rng.randint(-7, 7) for _ in range(3 * width + 4099)]

    def row(self, y):
        w = self.w
        v = (y + 0.5) / self.h
        r = [0] * w
        g = [0] * w
        b = [0] * w
        col_u = self.col_u
        if y < self.horizon:
            # Sky: deep blue at the top to pale near the horizon, lighter
            # towards the sun side.
            t = y / max(1, self.horizon)
            br, bg, bb = 30 + 150 * t, 70 + 130 * t, 160 + 80 * t
            for x in range(w):
                u = col_u[x]
                r[x] = br + 25 * u
                g[x] = bg + 15 * u
                b[x] = bb - 10 * u
            self._disc(y, self.sun, r, g, b, sun=True)
        else:
            # Ground: dark near the horizon, greener in front, with furrows
            # that narrow towards the horizon.
            t = (y - self.horizon) / max(1, self.h - self.horizon)
            br, bg, bb = 70 + 40 * t, 80 + 70 * t, 30 + 20 * t
            freq = 6.0 + 40.0 * (1.0 - t)
            shade = 0.25 * (1.0 - t)
            sin = math.sin
            for x in range(w):
                u = col_u[x]
                # Lines fanning from the vanishing point.
                k = 1.0 + shade * sin(freq * (u - 0.5) / (0.05 + t) * 3.0)
                r[x] = br * k
                g[x] = bg * k
                b[x] = bb * k
        for sp in self.spheres:
            self._disc(y, sp, r, g, b)
        self._sign(y, r, g, b)
        # Noise and clamp.
        noise = self.noise
        off = (y * 7919) % 4096
        out = bytearray(3 * w)
        for x in range(w):
            i = off + 3 * x
            out[3 * x] = clamp8(b[x] + noise[i])
            out[3 * x + 1] = clamp8(g[x] + noise[i + 1])
            out[3 * x + 2] = clamp8(r[x] + noise[i + 2])
        return out

    def _disc(self, y, disc, r, g, b, sun=False):
        if sun:
            cx, cy, rad = disc
            col = (255, 240, 190)
        else:
            cx, cy, rad, col = disc
        dy = y + 0.5 - cy
        if abs(dy) >= rad:
            # Soft glow around the sun reaches further than the disc.
            if not sun or abs(dy) >= 2.5 * rad:
                return
        reach = 2.5 * rad if sun else rad
        half = math.sqrt(max(0.0, reach * reach - dy * dy))
        x0 = max(0, int(cx - half))
        x1 = min(self.w, int(cx + half) + 1)
        rr = rad * rad
        for x in range(x0, x1):
            dx = x + 0.5 - cx
            d2 = dx * dx + dy * dy
            if sun:
                if d2 < rr:
                    a = 1.0
                else:
                    a = max(0.0, 1.0 - (math.sqrt(d2) - rad) / (1.5 * rad)) * 0.6
                if a > 0.0:
                    r[x] += (col[0] - r[x]) * a
                    g[x] += (col[1] - g[x]) * a
                    b[x] += (col[2] - b[x]) * a
                continue
            if d2 >= rr:
                continue
            # Lambert shading with the light from the upper left, plus a
            # highlight.
            nz = math.sqrt(1.0 - d2 / rr)
            nx = dx / rad
            ny = dy / rad
            lam = max(0.0, -0.45 * nx - 0.55 * ny + 0.70 * nz)
            specular = lam**24 * 220
            k = 0.18 + 0.9 * lam
            r[x] = col[0] * k + specular
            g[x] = col[1] * k + specular
            b[x] = col[2] * k + specular

    def _sign(self, y, r, g, b):
        x0, y0, x1, y1 = self.sign
        if y < y0 or y >= y1 or x1 - x0 < 4 or y1 - y0 < 4:
            return  # outside the sign, or a picture too small to hold one
        # Frame.
        if y < y0 + 2 or y >= y1 - 2:
            for x in range(x0, x1):
                r[x] = g[x] = b[x] = 40
            return
        for x in (x0, x0 + 1, x1 - 2, x1 - 1):
            r[x] = g[x] = b[x] = 40
        ys = y - y0 - 2
        inner_h = y1 - y0 - 4
        glyphs = self.glyphs
        if ys < inner_h // 2:
            # Lines of glyphs: 5x7 cells with one blank column and row.
            line = ys // 8
            gy = ys % 8
            for x in range(x0 + 2, x1 - 2):
                xs = x - x0 - 2
                gx = xs % 6
                on = False
                if gy < 7 and gx < 5:
                    glyph = glyphs[(line * 7 + xs // 6) % len(glyphs)]
                    on = (glyph >> (gy * 5 + gx)) & 1
                if on:
                    r[x], g[x], b[x] = 20, 20, 30
                else:
                    r[x], g[x], b[x] = 235, 232, 220
        else:
            # Fine stripes: one-pixel vertical stripes on the left, one-pixel
            # horizontal stripes in the middle, a chirp on the right.
            third = (x1 - x0 - 4) // 3
            for x in range(x0 + 2, x1 - 2):
                xs = x - x0 - 2
                if xs < third:
                    on = xs & 1
                elif xs < 2 * third:
                    on = ys & 1
                else:
                    p = (xs - 2 * third) / max(1, third)
                    on = math.sin(p * p * 120.0) > 0
                if on:
                    r[x], g[x], b[x] = 250, 60, 40
                else:
                    r[x], g[x], b[x] = 20, 30, 90


def palette_entries():
    """The 256 palette colours as (r, g, b)."""
    pal = []
    for ri in range(R_LEVELS):
        for gi in range(G_LEVELS):
            for bi in range(B_LEVELS):
                pal.append(
                    (
                        (ri * 255 + (R_LEVELS - 1) // 2) // (R_LEVELS - 1),
                        (gi * 255 + (G_LEVELS - 1) // 2) // (G_LEVELS - 1),
                        (bi * 255 + (B_LEVELS - 1) // 2) // (B_LEVELS - 1),
                    )
                )
    for grey in EXTRA_GREYS:
        pal.append((grey, grey, grey))
    assert len(pal) == 256
    return pal


class Quantiser:
    """Maps BGR rows to palette indices (nearest cube level per channel; near-grey
    pixels may take one of the extra greys when it is closer)."""

    def __init__(self):
        self.pal = palette_entries()

        def levels(n):
            return [(c * (n - 1) + 127) // 255 for c in range(256)]

        self.rl = levels(R_LEVELS)
        self.gl = levels(G_LEVELS)
        self.bl = levels(B_LEVELS)

    def row(self, bgr):
        pal = self.pal
        rl, gl, bl = self.rl, self.gl, self.bl
        n = len(bgr) // 3
        out = bytearray(n)
        base = R_LEVELS * G_LEVELS * B_LEVELS
        for x in range(n):
            bb, gg, rr = bgr[3 * x], bgr[3 * x + 1], bgr[3 * x + 2]
            idx = rl[rr] * (G_LEVELS * B_LEVELS) + gl[gg] * B_LEVELS + bl[bb]
            if max(rr, gg, bb) - min(rr, gg, bb) < 12:
                pr, pg, pb = pal[idx]
                best = (pr - rr) ** 2 + (pg - gg) ** 2 + (pb - bb) ** 2
                for k, grey in enumerate(EXTRA_GREYS):
                    d = (grey - rr) ** 2 + (grey - gg) ** 2 + (grey - bb) ** 2
                    if d < best:
                        best = d
                        idx = base + k
            out[x] = idx
        return out


def bmp_headers(width, height, bits):
    stride = (width * bits // 8 + 3) & ~3
    colours = 256 if bits == 8 else 0
    table = 4 * colours
    offset = 14 + 40 + table
    size = offset + stride * height
    file_header = struct.pack("<2sIHHI", b"BM", size, 0, 0, offset)
    info_header = struct.pack(
        "<IiiHHIIiiII",
        40,  # header size
        width,
        height,  # positive: rows stored bottom-up
        1,  # planes
        bits,
        0,  # BI_RGB
        stride * height,
        2835,  # 72 dpi
        2835,
        colours,
        0,
    )
    return file_header + info_header, stride


def write_bmp(path, width, height, bits):
    if width < 1 or height < 1:
        raise ValueError("width and height must be at least 1")
    if bits not in (8, 24):
        raise ValueError("bits must be 24 or 8")
    scene = Scene(width, height)
    quant = Quantiser() if bits == 8 else None
    bpp = bits // 8

    # Distinct scene rows: all of them for small pictures, a bounded number
    # spread evenly over the height for large ones.
    distinct = min(height, max(MIN_DISTINCT_ROWS, ROW_PIXEL_BUDGET // width))
    patterns = []
    for k in range(distinct):
        y = (2 * k + 1) * height // (2 * distinct)
        row = scene.row(y)
        patterns.append(bytes(quant.row(row) if quant else row))

    header, stride = bmp_headers(width, height, bits)
    row_bytes = width * bpp
    pad = bytes(stride - row_bytes)
    rng = random.Random(SEED + 1)
    with open(path, "wb") as f:
        if quant is not None:
            table = bytearray()
            for r, g, b in quant.pal:
                table += bytes((b, g, r, 0))
            header += bytes(table)
        f.write(header)
        chunk = bytearray()
        # Bottom-up: the first stored row is the bottom one.
        for y in range(height - 1, -1, -1):
            if distinct == height:
                line = patterns[y]
            else:
                k = y * distinct // height + rng.randint(-1, 1)
                k = min(distinct - 1, max(0, k))
                shift = rng.randint(0, 12) * bpp % row_bytes
                p = patterns[k]
                line = p[shift:] + p[:shift]
            chunk += line
            chunk += pad
            if len(chunk) >= 1 << 22:
                f.write(chunk)
                chunk = bytearray()
        f.write(chunk)


def main(argv=None):
    ap = argparse.ArgumentParser(description="Make a deterministic photo-like BMP picture.")
    ap.add_argument("out", help="output BMP path")
    ap.add_argument("--width", type=int, default=320)
    ap.add_argument("--height", type=int, default=240)
    ap.add_argument("--bits", type=int, choices=(24, 8), default=24)
    args = ap.parse_args(argv)
    if args.width < 1 or args.height < 1 or args.width > 100000 or args.height > 100000:
        ap.error("width and height must be between 1 and 100000")
    write_bmp(args.out, args.width, args.height, args.bits)
    return 0


if __name__ == "__main__":
    sys.exit(main())
