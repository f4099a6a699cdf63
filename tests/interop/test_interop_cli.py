#!/usr/bin/env python3
"""`zarvel list`, `test` and `extract` on archives made by other archivers.

The archives and their source tree come from tests/fixtures/gen-interop.sh.
Counts are checked against Python's zipfile, extraction against unzip: the
same files with the same bytes and times, and here (unlike the stub, which
only makes folders that hold files) the same folders too, empty ones included.

Environment (set by ctest): ZARVEL_BUILD (folder holding the zarvel binary),
ZARVEL_FIXTURES (folder holding interop/).
"""
import os
import re
import subprocess
import tempfile
import unittest
import zipfile

BUILD = os.environ.get("ZARVEL_BUILD", "build/native")
FIXTURES = os.path.join(os.environ.get("ZARVEL_FIXTURES", os.path.join(BUILD, "fixtures")),
                        "interop")
ZARVEL = os.path.join(BUILD, "zarvel")
# bsdtar-dot-prefix.zip is left to interop_extract_test (its names are refused today).
ARCHIVES = sorted(n for n in os.listdir(FIXTURES)
                  if n.endswith(".zip") and n != "bsdtar-dot-prefix.zip") if os.path.isdir(FIXTURES) else []


def environment():
    env = dict(os.environ, LC_ALL="C.UTF-8")
    with open(os.path.join(FIXTURES, "TZ")) as f:
        env["TZ"] = f.read().strip()
    return env


def run(args):
    return subprocess.run(args, capture_output=True, text=True, env=environment())


def read_tree(root):
    """(files: relative path -> (bytes, mtime), folders: set of relative paths)."""
    files, folders = {}, set()
    for base, dirs, names in os.walk(root):
        for d in dirs:
            folders.add(os.path.relpath(os.path.join(base, d), root))
        for n in names:
            path = os.path.join(base, n)
            with open(path, "rb") as f:
                files[os.path.relpath(path, root)] = (f.read(), int(os.stat(path).st_mtime))
    return files, folders


def extract_both(test, archive, scratch):
    ours, theirs = os.path.join(scratch, "ours"), os.path.join(scratch, "unzip")
    result = run([ZARVEL, "extract", archive, "-d", ours])
    test.assertEqual(result.returncode, 0, result.stderr)
    unzipped = run(["unzip", "-q", "-o", "-d", theirs, archive])
    test.assertEqual(unzipped.returncode, 0, unzipped.stderr)
    return read_tree(ours), read_tree(theirs)


class ArchiverInteropCli(unittest.TestCase):
    def setUp(self):
        self.assertTrue(os.access(ZARVEL, os.X_OK), ZARVEL)
        self.assertGreaterEqual(len(ARCHIVES), 15, "gen-interop.sh made too few archives")

    def test_list_counts_every_entry(self):
        for name in ARCHIVES:
            with self.subTest(archive=name):
                path = os.path.join(FIXTURES, name)
                result = run([ZARVEL, "list", path])
                self.assertEqual(result.returncode, 0, result.stderr)
                last = result.stdout.strip().splitlines()[-1]
                expected = len(zipfile.ZipFile(path).infolist())
                self.assertRegex(last, r"\b%d members$" % expected)
                # One line per entry between the heading and the totals.
                self.assertEqual(len(result.stdout.strip().splitlines()), expected + 2)

    def test_every_archive_passes_test(self):
        for name in ARCHIVES:
            with self.subTest(archive=name):
                path = os.path.join(FIXTURES, name)
                files = [i for i in zipfile.ZipFile(path).infolist() if not i.is_dir()]
                result = run([ZARVEL, "test", path])
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn("%d members OK" % len(files), result.stdout)

    def test_extract_matches_unzip_with_folders(self):
        for name in ARCHIVES:
            if name == "zip-raw-names.zip":
                continue
            with self.subTest(archive=name), tempfile.TemporaryDirectory() as scratch:
                (ours, our_folders), (theirs, their_folders) = extract_both(
                    self, os.path.join(FIXTURES, name), scratch)
                self.assertEqual(sorted(ours), sorted(theirs))
                for path, (data, mtime) in theirs.items():
                    self.assertTrue(ours[path][0] == data, path + ": contents differ")
                    self.assertLess(abs(ours[path][1] - mtime), 2, path)
                self.assertEqual(our_folders, their_folders)

    def test_raw_utf8_names_read_as_oem(self):
        # zip writes the UTF-8 bytes of a name without the UTF-8 flag.
        # unzip writes those bytes back as they are; we (like the stub on
        # Windows) read a name without the flag in the OEM code page, 437.
        with tempfile.TemporaryDirectory() as scratch:
            (ours, _), (theirs, _) = extract_both(
                self, os.path.join(FIXTURES, "zip-raw-names.zip"), scratch)
            self.assertTrue(any(re.search(r"[^\x00-\x7f]", n) for n in theirs))
            expected = {n.encode("utf-8").decode("cp437"): v for n, v in theirs.items()}
            self.assertEqual(sorted(ours), sorted(expected))
            for path, value in expected.items():
                self.assertEqual(ours[path], value, path)

    def test_info_shows_archive_comment_length(self):
        path = os.path.join(FIXTURES, "zip-comment.zip")
        comment = zipfile.ZipFile(path).comment
        self.assertGreater(len(comment), 0)
        result = run([ZARVEL, "info", path])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout, r"archive comment:\s+%d bytes" % len(comment))


if __name__ == "__main__":
    unittest.main()
