#!/usr/bin/env python3
"""Writes the Windows icon (.ico) of the program from its PNG icon, at build time.

Usage: make_ico.py ICON.png OUT.ico

Each image of the icon is a PNG (which Windows reads inside .ico files since Vista) scaled down
from the source by averaging, with premultiplied alpha so that transparent pixels do not darken
the edges: 256 px for large views, 48, 32, 24 and 16 px for the lists, the taskbar and the title
bar, where Windows would otherwise scale the largest one itself and blur it. Only the standard
library is used, so the build needs nothing but python3.
"""

import struct
import sys
import zlib

SIZES = (256, 48, 32, 24, 16)


def read_png(path):
    """Returns (width, height, rows of RGBA bytes) of an 8-bit RGBA, non-interlaced PNG."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        sys.exit(f"{path} is not a PNG file.")
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos : pos + 8])
        body = data[pos + 8 : pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
    width, height, depth, color, _, _, interlace = header
    if depth != 8 or color != 6 or interlace != 0:
        sys.exit(f"{path} must be an 8-bit RGBA PNG without interlacing.")
    raw = zlib.decompress(idat)
    stride, bpp = width * 4, 4
    rows, previous, pos = [], bytearray(stride), 0
    for _ in range(height):
        kind, line = raw[pos], bytearray(raw[pos + 1 : pos + 1 + stride])
        pos += 1 + stride
        for i in range(stride):
            left = line[i - bpp] if i >= bpp else 0
            up = previous[i]
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + ((left + up) >> 1)) & 0xFF
            elif kind == 4:
                corner = previous[i - bpp] if i >= bpp else 0
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                pred = left if pa <= pb and pa <= pc else up if pb <= pc else corner
                line[i] = (line[i] + pred) & 0xFF
        rows.append(line)
        previous = line
    return width, height, rows


def scale_down(width, height, rows, size):
    """Averages the source pixels that fall into each target pixel (premultiplied alpha)."""
    sums = [[0] * 5 for _ in range(size * size)]  # r*a, g*a, b*a, a, count
    for y, line in enumerate(rows):
        ty = y * size // height
        for x in range(width):
            r, g, b, a = line[4 * x : 4 * x + 4]
            s = sums[ty * size + x * size // width]
            s[0] += r * a
            s[1] += g * a
            s[2] += b * a
            s[3] += a
            s[4] += 1
    out = []
    for ty in range(size):
        line = bytearray()
        for tx in range(size):
            r, g, b, a, n = sums[ty * size + tx]
            if a == 0:
                line += b"\0\0\0\0"
            else:
                line += bytes((r // a, g // a, b // a, (a + n // 2) // n))
        out.append(line)
    return out


def write_png(size, rows):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    raw = b"".join(b"\0" + bytes(line) for line in rows)
    return (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
        + chunk(b"IDAT", zlib.compress(raw, 9))
        + chunk(b"IEND", b"")
    )


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: make_ico.py ICON.png OUT.ico")
    width, height, rows = read_png(sys.argv[1])
    images = [write_png(size, scale_down(width, height, rows, size)) for size in SIZES]
    # ICONDIR, one ICONDIRENTRY per image (a size of 256 is written as 0), then the images.
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, png in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(png), offset)
        offset += len(png)
    with open(sys.argv[2], "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main()
