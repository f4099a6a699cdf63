#!/usr/bin/env python3
"""Builds the three extraction corpora from this machine's files.

  make_corpus.py OUTDIR [big=MB] [small=COUNT] [only=big,small]

  OUTDIR/big/big.bin   one 200 MB file: 1 MB runs of text (headers, scripts,
                       docs from /usr/share and /usr/include) alternating with
                       1 MB runs of binaries (/usr/lib, /usr/bin)
  OUTDIR/mixed/        about 8,000 files, at most ~150 MB, picked from
                       /usr/share, /usr/include and /usr/lib by a hash of
                       their path (files up to 2 MB whose names Windows can
                       hold: no colon, no device name...), copied with their paths
  OUTDIR/small/        20,000 generated files of 200 bytes to 4 KB in 100 folders

The selection depends only on the file names and contents of the machine, so
reruns on the same machine give the same corpora. big=, small= and only= set
the big file's size, the number of small files and which corpora to make.
"""
import hashlib
import os
import random
import re
import shutil
import sys

MB = 1 << 20
BIG_SIZE = 200 * MB
MIXED_COUNT = 8000
MIXED_BUDGET = 150 * MB
MIXED_FILE_LIMIT = 2 * MB
SMALL_COUNT = 20000
SMALL_FOLDERS = 100
TEXT_SUFFIXES = (".h", ".hpp", ".py", ".pm", ".txt", ".html", ".xml", ".css", ".js", ".c")
WORDS = ("alpha beta gamma delta archive member folder window stored local header central "
         "directory extract setup program data time name byte file block value table").split()


def regular_files(roots, keep=lambda path, size: True):
    out = []
    for root in roots:
        for base, dirs, names in os.walk(root):
            dirs.sort()
            for name in sorted(names):
                path = os.path.join(base, name)
                try:
                    if os.path.islink(path) or not os.path.isfile(path):
                        continue
                    size = os.path.getsize(path)
                    if size > 0 and keep(path, size) and os.access(path, os.R_OK):
                        out.append((path, size))
                except OSError:
                    continue
    return out


def windows_can_hold(path):
    """Names a Windows file system (and so the extractor) accepts."""
    for part in path.strip("/").split("/"):
        stem = part.split(".")[0].upper()
        if (re.search(r'[:*?"<>|\\\x00-\x1f]', part) or part.endswith((".", " "))
                or stem in ("CON", "PRN", "AUX", "NUL") or re.fullmatch(r"(COM|LPT)[1-9]", stem)):
            return False
    return True


def is_elf(path):
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


def make_big(out):
    texts = [p for p, _ in regular_files(["/usr/share", "/usr/include"],
                                         lambda p, s: p.endswith(TEXT_SUFFIXES))]
    binaries = [p for p, _ in regular_files(["/usr/lib", "/usr/bin"],
                                            lambda p, s: s >= 64 * 1024) if is_elf(p)]
    streams = [chain(texts), chain(binaries)]
    written = 0
    with open(out, "wb") as f:
        while written < BIG_SIZE:
            for stream in streams:
                run = stream.read(min(MB, BIG_SIZE - written))
                f.write(run)
                written += len(run)


class chain:
    """Reads the files one after another, round and round."""

    def __init__(self, paths):
        self.paths, self.index, self.pending = paths, 0, b""

    def read(self, count):
        while len(self.pending) < count:
            with open(self.paths[self.index % len(self.paths)], "rb") as f:
                self.pending += f.read()
            self.index += 1
        data, self.pending = self.pending[:count], self.pending[count:]
        return data


def make_mixed(out):
    candidates = regular_files(["/usr/share", "/usr/include", "/usr/lib"],
                               lambda p, s: s <= MIXED_FILE_LIMIT and windows_can_hold(p))
    candidates.sort(key=lambda item: hashlib.sha1(item[0].encode()).digest())
    count, total = 0, 0
    for path, size in candidates:
        if count >= MIXED_COUNT:
            break
        if total + size > MIXED_BUDGET:
            continue
        target = os.path.join(out, path.lstrip("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(path, target)
        count += 1
        total += size


def make_small(out):
    rng = random.Random(7)
    for i in range(SMALL_COUNT):
        folder = os.path.join(out, "group-%03d" % (i % SMALL_FOLDERS))
        os.makedirs(folder, exist_ok=True)
        size = rng.randint(200, 4096)
        words = []
        n = 0
        while n < size:
            w = rng.choice(WORDS) if rng.random() < 0.8 else "%x" % rng.getrandbits(32)
            words.append(w)
            n += len(w) + 1
        with open(os.path.join(folder, "item-%05d.txt" % i), "w") as f:
            f.write(" ".join(words)[:size])


if __name__ == "__main__":
    root, settings = sys.argv[1], dict(arg.split("=", 1) for arg in sys.argv[2:])
    BIG_SIZE = int(settings.get("big", BIG_SIZE // MB)) * MB
    SMALL_COUNT = int(settings.get("small", SMALL_COUNT))
    only = settings.get("only", "big,mixed,small").split(",")
    for name, make in (("big", lambda d: make_big(os.path.join(d, "big.bin"))),
                       ("mixed", make_mixed), ("small", make_small)):
        if name not in only:
            continue
        folder = os.path.join(root, name)
        if os.path.isdir(folder):
            shutil.rmtree(folder)
        os.makedirs(folder)
        make(folder)
