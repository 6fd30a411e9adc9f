#!/usr/bin/env python3
"""Draws the project's icons and writes them as .ico files.

Each icon is a stack of simple shapes in a unit square, rasterised with 4x4
supersampling at 16x16 and 32x32 into 32-bit images with alpha (plus the
1-bit mask older Windows versions look at). The output depends on nothing but
this script, so running it again gives the same bytes; the .ico files are
committed, and the build does not need Python.

    python3 demo/icons/make_icons.py     # rewrites the four .ico files
"""
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SIZES = (16, 32)
SAMPLES = 4


# ---- shapes: functions of (x, y) in [0, 1]^2, y downwards -> inside? ----

def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x <= x1 and y0 <= y <= y1


def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def ring(cx, cy, r_out, r_in):
    return lambda x, y: r_in ** 2 <= (x - cx) ** 2 + (y - cy) ** 2 <= r_out ** 2


def stroke(x0, y0, x1, y1, width):
    """A thick line segment."""
    dx, dy = x1 - x0, y1 - y0
    length2 = dx * dx + dy * dy

    def inside(x, y):
        t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / length2))
        px, py = x0 + t * dx, y0 + t * dy
        return (x - px) ** 2 + (y - py) ** 2 <= (width / 2) ** 2
    return inside


def polygon(points):
    """Even-odd rule."""
    def inside(x, y):
        result = False
        n = len(points)
        for i in range(n):
            (xa, ya), (xb, yb) = points[i], points[(i + 1) % n]
            if (ya > y) != (yb > y) and x < xa + (y - ya) * (xb - xa) / (yb - ya):
                result = not result
        return result
    return inside


def union(*shapes):
    return lambda x, y: any(s(x, y) for s in shapes)


def minus(a, b):
    return lambda x, y: a(x, y) and not b(x, y)


# ---- the icons: lists of (shape, (r, g, b)) painted in order ----

BLUE = (0x1f, 0x5f, 0xb0)
DARK = (0x30, 0x30, 0x38)
WHITE = (0xff, 0xff, 0xff)

QUELLMARK = [  # the product: a white Q on a blue tile
    (rounded_rect(0.03, 0.03, 0.97, 0.97, 0.18), BLUE),
    (ring(0.48, 0.46, 0.33, 0.19), WHITE),
    (stroke(0.56, 0.60, 0.80, 0.86, 0.14), WHITE),
]

DOCUMENT = [  # a read-me: a page with a folded corner and lines of text
    (polygon([(0.16, 0.04), (0.64, 0.04), (0.86, 0.26), (0.86, 0.96), (0.16, 0.96)]), DARK),
    (polygon([(0.22, 0.10), (0.60, 0.10), (0.60, 0.30), (0.80, 0.30), (0.80, 0.90), (0.22, 0.90)]), WHITE),
    (polygon([(0.66, 0.12), (0.78, 0.24), (0.66, 0.24)]), (0xc8, 0xc8, 0xd0)),
    (rect(0.30, 0.40, 0.72, 0.47), BLUE),
    (rect(0.30, 0.56, 0.72, 0.63), BLUE),
    (rect(0.30, 0.72, 0.58, 0.79), BLUE),
]

UNINSTALL = [  # removal: a bin with its lid, marked with a red cross
    (rect(0.14, 0.12, 0.86, 0.22), DARK),
    (rect(0.40, 0.04, 0.60, 0.14), DARK),
    (polygon([(0.20, 0.26), (0.80, 0.26), (0.72, 0.96), (0.28, 0.96)]), (0x70, 0x74, 0x80)),
    (union(stroke(0.34, 0.42, 0.66, 0.80, 0.12), stroke(0.66, 0.42, 0.34, 0.80, 0.12)), (0xd0, 0x20, 0x20)),
]

SETUP = [  # the installer: a parcel with a green arrow going into it
    (polygon([(0.06, 0.42), (0.94, 0.42), (0.94, 0.96), (0.06, 0.96)]), (0x9a, 0x64, 0x28)),
    (rect(0.06, 0.42, 0.94, 0.50), (0x6e, 0x44, 0x18)),
    (rect(0.44, 0.50, 0.56, 0.96), (0xe0, 0xc0, 0x80)),
    (union(rect(0.36, 0.02, 0.64, 0.40),
           polygon([(0.18, 0.36), (0.82, 0.36), (0.50, 0.70)])), (0x20, 0xa0, 0x40)),
]


def render(layers, size):
    """Rows of (b, g, r, a) from the top, 8 bits each."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]  # premultiplied r, g, b and alpha
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (px + (sx + 0.5) / SAMPLES) / size
                    y = (py + (sy + 0.5) / SAMPLES) / size
                    colour = None
                    for shape, rgb in layers:
                        if shape(x, y):
                            colour = rgb
                    if colour:
                        for i in range(3):
                            acc[i] += colour[i]
                        acc[3] += 1
            n = SAMPLES * SAMPLES
            alpha = acc[3] / n
            if alpha == 0:
                row.append((0, 0, 0, 0))
            else:
                r, g, b = (int(round(acc[i] / acc[3])) for i in range(3))
                row.append((b, g, r, int(round(alpha * 255))))
        rows.append(row)
    return rows


def dib(rows, size):
    """A BITMAPINFOHEADER, the BGRA pixels bottom-up, then the AND mask."""
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b''.join(bytes(p) for row in reversed(rows) for p in row)
    stride = ((size + 31) // 32) * 4
    mask = b''
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, p in enumerate(row):
            if p[3] < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    return header + pixels + mask


def write_ico(path, layers):
    images = [dib(render(layers, s), s) for s in SIZES]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(SIZES, images):
        out += struct.pack('<BBBBHHII', size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b''.join(images)
    with open(path, 'wb') as f:
        f.write(out)


def main():
    write_ico(os.path.join(HERE, 'qmk.ico'), QUELLMARK)
    write_ico(os.path.join(HERE, 'document.ico'), DOCUMENT)
    write_ico(os.path.join(HERE, 'uninstall.ico'), UNINSTALL)
    write_ico(os.path.join(ROOT, 'front', 'setup.ico'), SETUP)


if __name__ == '__main__':
    main()
