#!/usr/bin/env python3
"""Converts PNG pictures into binary PPM (P6) files, using only the standard library.

Handles what the BMP suite's reference pictures are: 8 bits per channel, RGB
(colour type 2), not interlaced. Anything else is refused with a message, so a
reference of another kind cannot slip in unnoticed.

Usage: png_to_ppm.py OUTPUT_DIR INPUT.png...   (writes OUTPUT_DIR/NAME.ppm)
"""

import os
import struct
import sys
import zlib

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def read_chunks(data):
    if not data.startswith(PNG_SIGNATURE):
        raise ValueError("not a PNG file")
    pos = len(PNG_SIGNATURE)
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        crc = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])[0]
        if zlib.crc32(kind + body) != crc:
            raise ValueError("bad CRC in chunk %r" % kind)
        yield kind, body
        pos += 12 + length


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def decode_png(data):
    header = None
    compressed = bytearray()
    for kind, body in read_chunks(data):
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            compressed += body
        elif kind == b"IEND":
            break
    if header is None:
        raise ValueError("no IHDR chunk")
    width, height, depth, colour, method, filtering, interlace = header
    if (depth, colour, method, filtering, interlace) != (8, 2, 0, 0, 0):
        raise ValueError("only 8-bit RGB non-interlaced PNGs are handled, got depth %d, "
                         "colour type %d, interlace %d" % (depth, colour, interlace))
    raw = zlib.decompress(bytes(compressed))
    stride = width * 3
    if len(raw) != height * (stride + 1):
        raise ValueError("image data has %d bytes, expected %d" % (len(raw), height * (stride + 1)))
    pixels = bytearray()
    previous = bytearray(stride)
    for y in range(height):
        base = y * (stride + 1)
        kind = raw[base]
        line = bytearray(raw[base + 1:base + 1 + stride])
        for i in range(stride):
            left = line[i - 3] if i >= 3 else 0
            up = previous[i]
            upleft = previous[i - 3] if i >= 3 else 0
            if kind == 0:
                pred = 0
            elif kind == 1:
                pred = left
            elif kind == 2:
                pred = up
            elif kind == 3:
                pred = (left + up) // 2
            elif kind == 4:
                pred = paeth(left, up, upleft)
            else:
                raise ValueError("unknown filter type %d" % kind)
            line[i] = (line[i] + pred) & 0xFF
        pixels += line
        previous = line
    return width, height, bytes(pixels)


def main(argv):
    if len(argv) < 3:
        sys.stderr.write(__doc__)
        return 2
    out_dir = argv[1]
    for path in argv[2:]:
        with open(path, "rb") as f:
            width, height, pixels = decode_png(f.read())
        name = os.path.splitext(os.path.basename(path))[0] + ".ppm"
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(b"P6\n%d %d\n255\n" % (width, height))
            f.write(pixels)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
