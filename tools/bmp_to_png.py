#!/usr/bin/env python3
"""Converts an uncompressed 24-bit or 8-bit BMP file (as veerpic writes them)
to a PNG file, for showing pictures where BMP is not displayed.

Usage: bmp_to_png.py IN.bmp OUT.png
Only the Python standard library is used.
"""
import struct
import sys
import zlib


def read_bmp(path):
    data = open(path, "rb").read()
    if data[:2] != b"BM":
        raise SystemExit(f"{path}: not a BMP file")
    off_bits = struct.unpack_from("<I", data, 10)[0]
    (size, width, height, planes, bits, compression) = struct.unpack_from("<IiiHHI", data, 14)
    if compression != 0 or bits not in (8, 24, 32):
        raise SystemExit(f"{path}: only uncompressed 8, 24 and 32-bit pictures are converted")
    palette = []
    if bits == 8:
        for i in range(256):
            at = 14 + size + 4 * i
            if at + 4 > off_bits:
                break
            b, g, r = data[at], data[at + 1], data[at + 2]
            palette.append(bytes((r, g, b)))
    stride = (width * bits + 31) // 32 * 4
    rows = []
    for y in range(abs(height)):
        src_row = y if height < 0 else abs(height) - 1 - y
        row = data[off_bits + src_row * stride: off_bits + src_row * stride + stride]
        if bits == 8:
            out = b"".join(palette[i] if i < len(palette) else b"\0\0\0" for i in row[:width])
        else:
            step = bits // 8
            out = bytearray(width * 3)
            out[0::3] = row[2:width * step:step]
            out[1::3] = row[1:width * step:step]
            out[2::3] = row[0:width * step:step]
        rows.append(bytes(out))
    return width, abs(height), rows


def write_png(path, width, height, rows):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    raw = b"".join(b"\0" + row for row in rows)
    png = (b"\x89PNG\r\n\x1a\n" +
           chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))
    open(path, "wb").write(png)


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    width, height, rows = read_bmp(sys.argv[1])
    write_png(sys.argv[2], width, height, rows)


if __name__ == "__main__":
    main()
