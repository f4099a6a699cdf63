#!/usr/bin/env python3
"""Times zarvel extract against unzip, 7z and bsdtar on the benchmark archives.

  compare.py ZARVEL WORKDIR [--runs N] [--only TOOL,...] [--cases "FILE=LABEL;..."]
             [--stub-driver GUI_DRIVER.EXE]

WORKDIR holds big.zip, mixed.zip and small.zip (made by run.sh), or the
archives --cases names. With --stub-driver, the self-extractor itself runs
too, under Wine, worked through its dialog by the GUI tests' driver (the time
includes starting it under Wine). Each tool
extracts each archive N times into a fresh folder under WORKDIR (same file
system, caches left as they are; removing the previous folder and flushing
its writes with sync are not timed), the tools taking turns, and the median
time counts. Throughput is uncompressed MB (10^6 bytes) per second. Every run's output is checked to be complete by its file count
and byte total, so a tool that fails is noticed rather than timed.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import time
import zipfile

CASES = [("a: one 200 MB file", "big.zip"),
         ("b: ~8,000 mixed files", "mixed.zip"),
         ("c: 20,000 small files", "small.zip")]


def windows(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def tools(zarvel, driver):
    stub = [("stub", lambda a, d: ["wine", driver, windows(a), windows(d), "--", "main", "field:" + windows(d),
                                   "click:1", "box:Zarvel|The files were successfully extracted.", "exit:0"])]
    return stub * bool(driver) + [
        ("zarvel", lambda a, d: [zarvel, "extract", a, "-d", d]),
        ("unzip", lambda a, d: ["unzip", "-q", "-o", a, "-d", d]),
        ("7z", lambda a, d: ["7z", "x", "-y", "-o" + d, a]),
        ("bsdtar", lambda a, d: ["bsdtar", "-xf", a, "-C", d]),
    ]


def tree_size(root):
    count = total = 0
    for base, _, names in os.walk(root):
        for n in names:
            count += 1
            total += os.path.getsize(os.path.join(base, n))
    return count, total


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("zarvel")
    parser.add_argument("work")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--only", default="")
    parser.add_argument("--cases", default="")
    parser.add_argument("--stub-driver", default="")
    args = parser.parse_args()
    global CASES
    CASES = [tuple(reversed(c.split("=", 1))) for c in args.cases.split(";")] if args.cases else CASES
    chosen = [t for t in tools(args.zarvel, args.stub_driver) if not args.only or t[0] in args.only.split(",")]
    results = {}
    for label, archive_name in CASES:
        archive = os.path.join(args.work, archive_name)
        entries = [i for i in zipfile.ZipFile(archive).infolist() if not i.is_dir()]
        expected = (len(entries), sum(i.file_size for i in entries))
        times = {tool: [] for tool, _ in chosen}
        # Tools take turns within each round, so a slow spell of the shared
        # machine does not fall on one tool only.
        for _ in range(args.runs):
            for tool, command in chosen:
                target = os.path.join(args.work, "out")
                shutil.rmtree(target, ignore_errors=True)
                os.makedirs(target)
                os.sync()  # the previous run's write-back is not charged to this one
                start = time.perf_counter()
                done = subprocess.run(command(archive, target), stdout=subprocess.DEVNULL,
                                      stderr=subprocess.PIPE)
                times[tool].append(time.perf_counter() - start)
                got = tree_size(target)
                if done.returncode != 0 or got != expected:
                    raise SystemExit("%s on %s: exit %d, %s files/bytes, expected %s\n%s" % (
                        tool, archive_name, done.returncode, got, expected, done.stderr[-2000:]))
        for tool, _ in chosen:
            results[(label, tool)] = (statistics.median(times[tool]), expected)
        shutil.rmtree(os.path.join(args.work, "out"), ignore_errors=True)

    print("%-24s %-8s %9s %9s %9s %9s" % ("case", "tool", "seconds", "MB/s", "vs unzip", "/ zarvel"))
    for label, _ in CASES:
        base, own = results.get((label, "unzip")), results.get((label, "zarvel"))
        for tool, _ in chosen:
            seconds, (count, total) = results[(label, tool)]
            ratio = "%8.2fx" % (base[0] / seconds) if base else "-"
            slower = "%8.2fx" % (seconds / own[0]) if own else "-"
            print("%-24s %-8s %9.3f %9.1f %9s %9s" % (label, tool, seconds, total / 1e6 / seconds, ratio, slower))
        count, total = results[(label, chosen[0][0])][1]
        print("%-24s %d files, %.1f MB uncompressed, %.1f MB archive" % (
            "", count, total / 1e6,
            os.path.getsize(os.path.join(args.work, dict((l, a) for l, a in CASES)[label])) / 1e6))
    print("vs unzip: unzip's median time / the tool's (above 1 is faster than unzip); / zarvel: the tool's time /"
          " zarvel's")


if __name__ == "__main__":
    main()
