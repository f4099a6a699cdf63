#!/usr/bin/env python3
"""Times the extraction of one archive by several tools and samples each extractor's resident memory.

  large.py ZARVEL ARCHIVE WORKDIR [--driver GUI_DRIVER.EXE] [--runs N]

Each tool extracts ARCHIVE into a fresh WORKDIR/out (removed and synced beforehand, untimed); with --driver the
self-extractor itself runs too, under the Wine prefix and display of the environment, worked through its dialog by the
GUI tests' driver (its time includes starting under Wine). Every 0.2 s the resident set (VmRSS) of the extracting
process is read from /proc: the one among the command's descendants whose command line starts with the tool, or for the
stub, which Wine starts apart from the driver, the process named by the self-extractor's Windows path; neither the
driver nor Wine's own helpers are counted. A decoder that holds its output instead of streaming it grows with the
member; the table shows the resident set at a quarter, half and three quarters of the run next to the peak, which stay
level when it streams. The output's byte total is checked, so a tool that fails is noticed rather than timed.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import time
import zipfile

SAMPLE_SECONDS = 0.2


def windows(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def tools(zarvel, driver, archive):
    """(label, command for a target folder, test of the extracting process's first command-line word, whether that
    process is looked for outside the command's descendants)"""
    own = windows(archive)  # Wine names the stub's process by its Windows path
    stub = [("stub", lambda d: ["wine", driver, own, windows(os.path.dirname(archive)), "--", "main",
                                "field:" + windows(d), "click:1",
                                "box:Zarvel|The files were successfully extracted.", "exit:0"], own.__eq__, True)]
    named = lambda name: lambda word: os.path.basename(word) == name
    return stub * bool(driver) + [
        ("zarvel", lambda d: [zarvel, "extract", archive, "-d", d], named("zarvel"), False),
        ("unzip", lambda d: ["unzip", "-q", "-o", archive, "-d", d], named("unzip"), False),
        ("7z", lambda d: ["7z", "x", "-y", "-o" + d, archive], named("7z"), False),
    ]


def descendants(root):
    children = {}
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as stat:
                parent = int(stat.read().rsplit(")", 1)[1].split()[1])
            children.setdefault(parent, []).append(int(entry))
        except (ValueError, OSError, IndexError):
            continue
    found, todo = [], [root]
    while todo:
        pid = todo.pop()
        found.append(pid)
        todo.extend(children.get(pid, []))
    return found


def resident_kib(root, extractor, anywhere):
    """VmRSS of the extracting process: a descendant of root, or for the stub, which Wine starts on its own, any."""
    pids = [int(p) for p in os.listdir("/proc") if p.isdigit()] if anywhere else descendants(root)
    for pid in pids:
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as line:
                first = line.read().decode(errors="replace").split("\0")[0]
            if not extractor(first):
                continue
            with open("/proc/%d/status" % pid) as status:
                for field in status:
                    if field.startswith("VmRSS:"):
                        return int(field.split()[1])
        except OSError:
            continue
    return None


def run(command, extractor, anywhere):
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    samples = []
    while process.poll() is None:
        kib = resident_kib(process.pid, extractor, anywhere)
        if kib is not None:
            samples.append(kib)
        time.sleep(SAMPLE_SECONDS)
    seconds = time.perf_counter() - start
    return seconds, process.returncode, process.stderr.read(), samples


def tree_bytes(root):
    return sum(os.path.getsize(os.path.join(base, n)) for base, _, names in os.walk(root) for n in names)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("zarvel")
    parser.add_argument("archive")
    parser.add_argument("work")
    parser.add_argument("--driver", default="")
    parser.add_argument("--runs", type=int, default=1)
    args = parser.parse_args()
    expected = sum(i.file_size for i in zipfile.ZipFile(args.archive).infolist())
    rows = []
    for tool, command, extractor, anywhere in tools(args.zarvel, args.driver, args.archive):
        times, samples = [], []
        for _ in range(args.runs):
            target = os.path.join(args.work, "out")
            shutil.rmtree(target, ignore_errors=True)
            os.makedirs(target)
            os.sync()  # the previous run's write-back is not charged to this one
            seconds, code, errors, samples = run(command(target), extractor, anywhere)
            times.append(seconds)
            if code != 0 or tree_bytes(target) != expected:
                raise SystemExit("%s: exit %d, %d bytes, expected %d\n%s" % (
                    tool, code, tree_bytes(target), expected, errors[-2000:].decode(errors="replace")))
        shutil.rmtree(os.path.join(args.work, "out"), ignore_errors=True)
        seconds = statistics.median(times)
        at = [samples[len(samples) * k // 4] >> 10 if samples else 0 for k in (1, 2, 3)]
        rows.append((tool, seconds, expected / 1e6 / seconds, at, max(samples, default=0) >> 10, len(samples)))
    print("%-8s %9s %9s %22s %9s %8s" % ("tool", "seconds", "MB/s", "RSS MiB at 1/4 1/2 3/4", "peak MiB", "samples"))
    for tool, seconds, rate, at, peak, count in rows:
        print("%-8s %9.1f %9.1f %22s %9d %8d" % (tool, seconds, rate, " ".join("%6d" % m for m in at), peak, count))
    print("%.1f MB extracted by each from %s (%.1f MB)" % (expected / 1e6, os.path.basename(args.archive),
                                                        os.path.getsize(args.archive) / 1e6))


if __name__ == "__main__":
    main()
