#!/usr/bin/env python3
"""Draws the text snap application icon and writes it as a Windows .ico.

The icon is a pale yellow note (the colour the client gives every note) with
a few lines of text and a green leaf pinned at its top-right corner. It is
drawn from the shapes below at each size, with 4x4 supersampling for smooth
edges: every size Windows asks for from 100 % to 300 % scaling (the small
icon of the notification area is 16 pixels at 100 %, 20 at 125 %, 24 at
150 %, 28 at 175 %, 32 at 200 %, 40 at 250 %, 48 at 300 %; the large one
twice that) as 32-bit bitmaps, 256 pixels as PNG. No size is scaled from
another.

usage: gen_icon.py OUT.ico [PREVIEW.png]
"""
import math
import struct
import sys
import zlib

SIZES = (16, 20, 24, 28, 32, 40, 48, 64, 96, 256)

NOTE = (255, 247, 171)        # the note colour, 0xABF7FF as a Windows colour value
NOTE_EDGE = (196, 170, 70)
SHADOW = (0, 0, 0)
LINE = (120, 128, 140)
LEAF = (58, 160, 72)
LEAF_DARK = (30, 105, 45)


def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if x < x0 or x > x1 or y < y0 or y > y1:
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def ellipse(cx, cy, a, b, angle):
    c, s = math.cos(angle), math.sin(angle)

    def inside(x, y):
        dx, dy = x - cx, y - cy
        u = dx * c + dy * s
        v = -dx * s + dy * c
        return (u / a) ** 2 + (v / b) ** 2 <= 1.0
    return inside


def segment(x0, y0, x1, y1, half):
    def inside(x, y):
        vx, vy = x1 - x0, y1 - y0
        t = max(0.0, min(1.0, ((x - x0) * vx + (y - y0) * vy) / (vx * vx + vy * vy)))
        px, py = x0 + t * vx, y0 + t * vy
        return (x - px) ** 2 + (y - py) ** 2 <= half * half
    return inside


def layers(size):
    """Shapes in painting order: (test, colour, opacity)."""
    # Small icons get thicker strokes so that they stay visible.
    stroke = max(0.04, 0.5 / size)
    edge = max(0.02, 1.0 / size)
    out = [
        (rounded_rect(0.13, 0.15, 0.90, 0.95, 0.08), SHADOW, 0.28),
        (rounded_rect(0.08, 0.10, 0.86 + edge, 0.90 + edge, 0.08), NOTE_EDGE, 1.0),
        (rounded_rect(0.08 + edge, 0.10 + edge, 0.86, 0.90, 0.07), NOTE, 1.0),
    ]
    for y, right in ((0.44, 0.74), (0.59, 0.74), (0.74, 0.56)):
        out.append((segment(0.22, y, right, y, stroke), LINE, 1.0))
    angle = -math.pi / 4
    out += [
        (segment(0.66, 0.34, 0.74, 0.26, stroke * 0.8), LEAF_DARK, 1.0),
        (ellipse(0.79, 0.21, 0.19, 0.095, angle), LEAF_DARK, 1.0),
        (ellipse(0.79, 0.21, 0.19 - edge * 1.2, 0.095 - edge * 1.2, angle), LEAF, 1.0),
        (segment(0.68, 0.32, 0.90, 0.10, max(0.012, 0.6 / size)), LEAF_DARK, 0.8),
    ]
    return out


def render(size):
    """RGBA rows, top row first."""
    n = 4
    shapes = layers(size)
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0.0
            for sy in range(n):
                for sx in range(n):
                    x = (px + (sx + 0.5) / n) / size
                    y = (py + (sy + 0.5) / n) / size
                    cr = cg = cb = ca = 0.0
                    for test, colour, opacity in shapes:
                        if test(x, y):
                            # "over" compositing of one opaque-or-translucent layer
                            cr = colour[0] * opacity + cr * (1 - opacity)
                            cg = colour[1] * opacity + cg * (1 - opacity)
                            cb = colour[2] * opacity + cb * (1 - opacity)
                            ca = opacity + ca * (1 - opacity)
                    r += cr
                    g += cg
                    b += cb
                    a += ca
            k = n * n
            if a > 0:
                row.append((round(r / a), round(g / a), round(b / a), round(a / k * 255)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def png(rows):
    size = len(rows)
    raw = b"".join(b"\x00" + bytes(c for px in row for c in px) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def bmp(rows):
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, px in enumerate(row):
            if px[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + pixels + bytes(mask)


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    images = []
    for size in SIZES:
        rows = render(size)
        images.append((size, png(rows) if size >= 256 else bmp(rows)))
        if size == 256 and len(sys.argv) == 3:
            with open(sys.argv[2], "wb") as f:
                f.write(png(rows))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, data in images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
