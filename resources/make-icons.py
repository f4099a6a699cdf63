#!/usr/bin/env python3
"""Draws the stub's two icons as small 16-colour .ico files.

app.ico (icon group 108): a parcel with an arrow pointing out of it.
prompt.ico (icon group 109): a question mark in a blue disc. Each holds one
16x16 image at 4 bits per pixel whose palette lists only the colours the
picture uses: every byte of them is carried in front of each archive. Where
the system wants a 32x32 icon (the replace prompt, the task switcher) it
doubles the 16x16 picture, which is how the drawings are meant to be seen
large anyway.
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


SIZE = 16


def bitmap(drawing):
    size = SIZE
    rows = drawing
    # Black first: transparent pixels must hold black, which the screen
    # takes unchanged through the mask; then the colours in the order they
    # first appear.
    used = [INK['k']]
    for row in drawing:
        for c in row:
            if c != '.' and INK[c] not in used:
                used.append(INK[c])
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    xor, mask = b'', b''
    for row in reversed(rows):  # bitmaps are stored bottom-up
        nibbles = [used.index(INK[c]) if c != '.' else 0 for c in row]
        line = bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, size, 2))
        xor += line.ljust(xor_stride, b'\0')
        bits = 0
        for i, c in enumerate(row):
            if c == '.':
                bits |= 1 << (size - 1 - i)
        mask += bits.to_bytes(size // 8, 'big').ljust(and_stride, b'\0')
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, len(xor) + len(mask), 0, 0,
                         len(used), 0)
    palette = b''.join(struct.pack('BBBB', *PALETTE[i], 0) for i in used)
    return header + palette + xor + mask


def icon(drawing):
    image = bitmap(drawing)
    out = struct.pack('<HHH', 0, 1, 1)
    out += struct.pack('<BBBBHHII', SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return out + image


def main():
    outdir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(outdir, 'app.ico'), 'wb') as f:
        f.write(icon(APP))
    with open(os.path.join(outdir, 'prompt.ico'), 'wb') as f:
        f.write(icon(PROMPT))


if __name__ == '__main__':
    main()
