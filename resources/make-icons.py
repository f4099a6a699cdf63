#!/usr/bin/env python3
"""Draws the stub's two icons as small 16-colour .ico files.

app.ico (icon group 108): a parcel with an arrow pointing out of it, at 16x16
and 32x32. prompt.ico (icon group 109): a question mark in a blue disc, at
32x32 only, the size the replace prompt shows. 16 colours and few sizes keep
the stub small. The pictures are drawn at 16x16 and doubled for 32x32.
Usage: make-icons.py OUTDIR (writes app.ico and prompt.ico there).
"""
import os
import struct
import sys

# The 16 standard colours, as (blue, green, red) for the bitmap palette.
PALETTE = [
    (0, 0, 0), (0, 0, 128), (0, 128, 0), (0, 128, 128),
    (128, 0, 0), (128, 0, 128), (128, 128, 0), (192, 192, 192),
    (128, 128, 128), (0, 0, 255), (0, 255, 0), (0, 255, 255),
    (255, 0, 0), (255, 0, 255), (255, 255, 0), (255, 255, 255),
]
# Letters used in the drawings: '.' transparent.
INK = {'k': 0, 'y': 3, 'd': 8, 'n': 8, 'Y': 11, 'B': 12, 'w': 15}

APP = [
    "......kkkk......",
    "......kBBk......",
    "......kBBk......",
    "....kkkBBkkk....",
    ".....kBBBBk.....",
    "......kBBk......",
    "kkkkkkkkkkkkkkkk",
    "kYYYYYYnnYYYYYYk",
    "kYYYYYYnnYYYYYYk",
    "kyyyyyynnyyyyyyk",
    "kYYYYYYnnYYYYYYk",
    "kYYYYYYnnYYYYYYk",
    "kyyyyyynnyyyyyyk",
    "kYYYYYYnnYYYYYYk",
    "kYYYYYYnnYYYYYYk",
    "kkkkkkkkkkkkkkkk",
]

PROMPT = [
    ".....kkkkkk.....",
    "...kkBBBBBBkk...",
    "..kBBBBBBBBBBk..",
    ".kBBBBwwwwBBBBk.",
    ".kBBBwwBBwwBBBk.",
    "kBBBBBBBBwwBBBBk",
    "kBBBBBBBwwBBBBBk",
    "kBBBBBBwwBBBBBBk",
    "kBBBBBBwwBBBBBBk",
    "kBBBBBBBBBBBBBBk",
    "kBBBBBBwwBBBBBBk",
    ".kBBBBBwwBBBBBk.",
    ".kBBBBBBBBBBBBk.",
    "..kBBBBBBBBBBk..",
    "...kkBBBBBBkk...",
    ".....kkkkkk.....",
]


def scaled(drawing, size):
    factor = size // len(drawing)
    return [''.join(c * factor for c in row) for row in drawing for _ in range(factor)]


def bitmap(drawing, size):
    rows = scaled(drawing, size)
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    xor, mask = b'', b''
    for row in reversed(rows):  # bitmaps are stored bottom-up
        nibbles = [INK.get(c, 0) for c in row]
        line = bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, size, 2))
        xor += line.ljust(xor_stride, b'\0')
        bits = 0
        for i, c in enumerate(row):
            if c == '.':
                bits |= 1 << (size - 1 - i)
        mask += bits.to_bytes(size // 8, 'big').ljust(and_stride, b'\0')
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    palette = b''.join(struct.pack('BBBB', b, g, r, 0) for b, g, r in PALETTE)
    return header + palette + xor + mask


def icon(drawing, sizes):
    images = [bitmap(drawing, s) for s in sizes]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    return out + b''.join(images)


def main():
    outdir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(outdir, 'app.ico'), 'wb') as f:
        f.write(icon(APP, [32, 16]))
    with open(os.path.join(outdir, 'prompt.ico'), 'wb') as f:
        f.write(icon(PROMPT, [32]))


if __name__ == '__main__':
    main()
