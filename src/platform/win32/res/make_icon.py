#!/usr/bin/env python3
"""Draws the launcher's application icon and writes it as a Windows .ico file.

The picture: a rounded square, deep blue fading to violet, with a light "start" triangle in the
middle. Every size Windows asks for: 16, 20, 24 and 32 pixels (small icons at 100 to 200 %
scaling), 40, 48 and 64 (Explorer's views, the taskbar on scaled displays), each a 32-bit BMP
image with alpha and a 1-bit mask, which Windows XP reads too; and 256 pixels as a PNG image, as
Windows Vista and later store their large icons (XP skips it). Only the standard library is used,
and the output depends on nothing but this file, so the icon can be redrawn anywhere:

    python3 make_icon.py launcher.ico
"""

import struct
import sys
import zlib

SIZES = (16, 20, 24, 32, 40, 48, 64, 256)
PNG_FROM = 256  # sizes from this one on are stored as PNG
SUBSAMPLES = 4  # per axis: edges are anti-aliased from 16 samples per pixel

TOP = (0x1E, 0x3A, 0x8A)  # RGB at the top of the square
BOTTOM = (0x5B, 0x21, 0x8C)  # and at the bottom
RIM = (0xC8, 0xB4, 0xFF)  # thin light rim just inside the edge
MARK = (0xFF, 0xF4, 0xD6)  # the triangle


def in_rounded_square(x, y, inset, radius):
    """Whether (x, y), in units of the icon's side, lies inside the rounded square."""
    lo, hi = inset, 1.0 - inset
    if not (lo <= x <= hi and lo <= y <= hi):
        return False
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius**2


def in_triangle(x, y):
    """Whether (x, y) lies inside the right-pointing triangle."""
    ax, ay, bx, by, cx, cy = 0.38, 0.27, 0.38, 0.73, 0.76, 0.50

    def side(px, py, qx, qy):
        return (qx - px) * (y - py) - (qy - py) * (x - px)

    s1, s2, s3 = side(ax, ay, bx, by), side(bx, by, cx, cy), side(cx, cy, ax, ay)
    return (s1 >= 0 and s2 >= 0 and s3 >= 0) or (s1 <= 0 and s2 <= 0 and s3 <= 0)


def sample(x, y):
    """Colour and opacity (0 or 1) of one sample point."""
    if not in_rounded_square(x, y, 0.04, 0.18):
        return (0, 0, 0), 0.0
    if in_triangle(x, y):
        return MARK, 1.0
    if not in_rounded_square(x, y, 0.09, 0.14):
        return RIM, 1.0
    t = y
    return tuple(round(a + (b - a) * t) for a, b in zip(TOP, BOTTOM)), 1.0


def render(size):
    """Rows of (r, g, b, a) pixels, top row first, colours premultiplied back out of coverage."""
    rows = []
    n = SUBSAMPLES
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0]
            cover = 0.0
            for sy in range(n):
                for sx in range(n):
                    colour, alpha = sample((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size)
                    cover += alpha
                    for i in range(3):
                        acc[i] += colour[i] * alpha
            if cover == 0:
                row.append((0, 0, 0, 0))
            else:
                r, g, b = (round(c / cover) for c in acc)
                row.append((r, g, b, round(255 * cover / (n * n))))
        rows.append(row)
    return rows


def bmp_image(size):
    """One icon image: BITMAPINFOHEADER (height doubled for the mask), BGRA rows bottom-up, then
    the AND mask, 1 bit per pixel, rows padded to 32 bits, set where the pixel is transparent."""
    rows = render(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a < 128:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    return header + pixels + bytes(mask)


def png_image(size):
    """One icon image as a PNG file: 8-bit RGBA, not interlaced, each row unfiltered."""
    rows = render(size)
    raw = b"".join(b"\0" + bytes(v for pixel in row for v in pixel) for row in rows)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) +
            chunk(b"IEND", b""))


def ico(sizes):
    """The .ico file: ICONDIR, one ICONDIRENTRY per image (a size of 256 is written as 0), then
    the images."""
    images = [png_image(s) if s >= PNG_FROM else bmp_image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return out + b"".join(images)


def main():
    target = sys.argv[1] if len(sys.argv) > 1 else "launcher.ico"
    with open(target, "wb") as f:
        f.write(ico(SIZES))


if __name__ == "__main__":
    main()
