#!/usr/bin/env python3
"""Draws the stub's two icons as .ico files of 16, 32 and 48 pixel images.

app.ico (icon group 108): a parcel with an arrow pointing out of it.
prompt.ico (icon group 109): a question mark in a blue disc.
Each picture is described once in shapes on a unit square and drawn at every
size, sampled 2 x 2 times per pixel for smoother edges; outlines are one pixel
wide at every size, so the small images stay crisp. The images are 32-bit
colour with alpha, stored PNG-compressed (which the system's icon loader
reads at any size): every byte of them is carried in front of each archive,
and an uncompressed 48-pixel image alone would take 9 KiB.
Usage: make-icons.py OUTDIR (writes app.ico and prompt.ico there).
"""
import os
import struct
import sys
import zlib

SIZES = (16, 32, 48)
SAMPLES = 2

INK = (0, 0, 0)
BLUE = (0, 64, 200)
CARDBOARD = (222, 170, 80)
CARDBOARD_DARK = (170, 118, 40)
TAPE = (245, 225, 160)
WHITE = (255, 255, 255)


def rect(x0, y0, x1, y1, colour):
    return lambda x, y: colour if x0 <= x < x1 and y0 <= y < y1 else None


def disc(cx, cy, r, colour):
    return lambda x, y: colour if (x - cx) ** 2 + (y - cy) ** 2 < r * r else None


def ring(cx, cy, inner, outer, colour, keep):
    """The part of a ring for which keep(dx, dy) holds."""
    def shape(x, y):
        d = (x - cx) ** 2 + (y - cy) ** 2
        return colour if inner * inner <= d < outer * outer and keep(x - cx, y - cy) else None
    return shape


def polygon(points, colour):
    def shape(x, y):
        inside = False
        for (ax, ay), (bx, by) in zip(points, points[1:] + points[:1]):
            if (ay > y) != (by > y) and x < ax + (y - ay) * (bx - ax) / (by - ay):
                inside = not inside
        return colour if inside else None
    return shape


def parcel(u):
    shapes = [rect(0.06 - u, 0.44 - u, 0.94 + u, 0.96 + u, INK),
              rect(0.06, 0.44, 0.94, 0.96, CARDBOARD),
              rect(0.06, 0.44, 0.94, 0.44 + 2 * u, CARDBOARD_DARK),
              rect(0.44, 0.44, 0.56, 0.96, TAPE)]
    arrow = [(0.5, 0.02), (0.84, 0.36), (0.64, 0.36), (0.64, 0.62), (0.36, 0.62), (0.36, 0.36),
             (0.16, 0.36)]
    grown = [(0.5, 0.02 - 1.5 * u), (0.84 + 2 * u, 0.36 + u), (0.64 + u, 0.36 + u), (0.64 + u, 0.62 + u),
             (0.36 - u, 0.62 + u), (0.36 - u, 0.36 + u), (0.16 - 2 * u, 0.36 + u)]
    return shapes + [polygon(grown, INK), polygon(arrow, BLUE)]


def question(u):
    upper = lambda dx, dy: dy < 0 or dx > 0
    return [disc(0.5, 0.5, 0.48, INK), disc(0.5, 0.5, 0.48 - u, BLUE),
            ring(0.5, 0.36, 0.1, 0.2, WHITE, upper),
            rect(0.44, 0.46, 0.56, 0.66, WHITE),
            disc(0.5, 0.79, 0.075, WHITE)]


def render(draw, size):
    """Rows of (r, g, b, a) bytes, top row first."""
    shapes = draw(1.0 / size)
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            r = g = b = a = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x, y = (px + (sx + 0.5) / SAMPLES) / size, (py + (sy + 0.5) / SAMPLES) / size
                    colour = None
                    for shape in shapes:
                        colour = shape(x, y) or colour
                    if colour:
                        r, g, b, a = r + colour[0], g + colour[1], b + colour[2], a + 1
            n = SAMPLES * SAMPLES
            row += bytes((r // a, g // a, b // a, 255 * a // n) if a else (0, 0, 0, 0))
        rows.append(bytes(row))
    return rows


def png(rows):
    """A PNG of RGBA rows. The rows go unfiltered: with these flat pictures
    that compresses better than any of the format's row filters."""
    size = len(rows)
    data = b''.join(b'\0' + row for row in rows)

    def chunk(kind, body):
        return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body))
    header = struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header) + chunk(b'IDAT', zlib.compress(data, 9)) +
            chunk(b'IEND', b''))


def icon(draw):
    images = [png(render(draw, size)) for size in SIZES]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(SIZES, images):
        out += struct.pack('<BBBBHHII', size, size, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return out + b''.join(images)


def main():
    outdir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for name, draw in (('app.ico', parcel), ('prompt.ico', question)):
        with open(os.path.join(outdir, name), 'wb') as f:
            f.write(icon(draw))


if __name__ == '__main__':
    main()
