#!/usr/bin/env python3
"""Writes the large suite's input: make_input.py PATH BYTES prints the SHA-256 of what it wrote.

The content is one block of seeded random bytes repeated. The block is shorter than Deflate's 32 KiB window, so every
compressor finds each repeat and the archives stay small, while the bytes still vary within a block, so a decoder that
copies from the wrong distance or drops a piece is caught by the digest. The file is streamed in chunks of whole
blocks, never held in memory, and hashed while it is written (one pass over 5 GiB instead of two).
"""
import hashlib
import random
import sys

BLOCK_BYTES = 4093  # prime: block boundaries fall on every offset modulo the compressors' 4 MiB pieces
BLOCKS_PER_CHUNK = 1024


def main():
    path, total = sys.argv[1], int(sys.argv[2])
    chunk = random.Random(5).randbytes(BLOCK_BYTES) * BLOCKS_PER_CHUNK
    digest = hashlib.sha256()
    with open(path, "wb") as out:
        for start in range(0, total, len(chunk)):
            piece = chunk[:total - start]
            digest.update(piece)
            out.write(piece)
    print(digest.hexdigest())


if __name__ == "__main__":
    main()
