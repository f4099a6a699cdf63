#!/usr/bin/env python3
"""zarvel list, test, extract and info on archives from real tools: output, exit
statuses, what is written, and extraction as unzip does it. Helpers shared with the packer's tests."""
import os, pathlib, shutil, struct, subprocess, tempfile, time, unittest, zipfile

BUILD = os.environ.get("ZARVEL_BUILD", "build/native")
FIXTURES = os.environ.get("ZARVEL_FIXTURES", os.path.join(BUILD, "fixtures"))
ZARVEL, INTEROP = os.path.join(BUILD, "zarvel"), os.path.join(FIXTURES, "interop")
BASIC, MEMBERS, HOSTILE = (f"{FIXTURES}/{p}" for p in ("archive/basic.exe", "engine/members.zip", "engine/hostile.zip"))
# DOS times are local: everything runs in the zone the archivers used.
os.environ.update(TZ=pathlib.Path(INTEROP, "TZ").read_text().strip(), LC_ALL="C.UTF-8")
time.tzset()


def run(args, cwd=None):
    return subprocess.run(args, cwd=cwd, capture_output=True, text=True, errors="replace")


def read(path):
    return pathlib.Path(path).read_bytes()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    pathlib.Path(path).write_bytes(data)


def snapshot(root):
    """relative path -> (bytes, mtime) for files, None for folders (ending in "/")."""
    out = {}
    for base, dirs, names in os.walk(root):
        out.update({os.path.relpath(os.path.join(base, d), root) + "/": None for d in dirs})
        out.update({os.path.relpath(p, root): (read(p), int(os.stat(p).st_mtime)) for p in
                    (os.path.join(base, n) for n in names)})
    return out


class Tool(unittest.TestCase):  # commands run in a scratch folder, removed afterwards
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zarvel-")
        self.addCleanup(shutil.rmtree, self.tmp)

    def check(self, status, *command, cwd=None):
        result = run(command, cwd=cwd or self.tmp)
        self.assertEqual(result.returncode, status, f"{command}: {result.stdout}{result.stderr}")
        return result


class Cli(Tool):
    def test_outputs_and_exit_statuses(self):
        data = bytearray(read(MEMBERS))
        data[struct.unpack_from("<I", data, data.rfind(b"PK\x05\x06") + 16)[0] + 16] ^= 0xFF  # first CRC
        write(self.tmp + "/crc.zip", data)
        rows = [  # (arguments, exit status, stream, text it holds)
            (["list", BASIC], 0, "stdout", "13 Stored  2021-06-15 13:45:30 f4247453  readme.txt"),
            (["list", FIXTURES + "/archive/nothing-appended.exe"], 1, "stderr", "error 9966 (no end of central"),
            (["info", BASIC], 0, "stdout", "default directory:  C:\\Program Files\\Demo\n"),
            (["info", BASIC], 0, "stdout", "follow-up command:  setup.exe /quiet\nmembers:            3 files, 2 folders\n"),
            (["info", MEMBERS], 0, "stdout", "configuration:      none (a plain ZIP archive)"),
            (["info", INTEROP + "/zip-comment.zip"], 0, "stdout", "archive comment:    33 bytes"),
            (["test", "crc.zip"], 1, "stderr", "stored.bin: error 19962 (CRC mismatch)"),
            (["test", HOSTILE], 1, "stderr", "../evil.txt: error 19963"),
            (["test", HOSTILE], 1, "stderr", "bell?.txt"),  # control characters are not printed raw
            ([], 2, "stderr", "usage: zarvel COMMAND"),
            (["frobnicate"], 2, "stderr", "unknown command 'frobnicate'"),
            (["list"], 2, "stderr", "usage: zarvel list"),
            (["extract", MEMBERS, "--overwrite", "--skip-existing"], 2, "stderr", "usage: zarvel extract"),
            (["extract", MEMBERS, "--bogus"], 2, "stderr", "unexpected argument '--bogus'"),
        ] + [([c, "--help"], 0, "stdout", "usage: zarvel " + c) for c in ("list", "test", "extract", "info", "pack")]
        for args, status, stream, text in rows:
            with self.subTest(args=args):
                self.assertIn(text, getattr(self.check(status, ZARVEL, *args), stream))
        self.assertEqual(os.listdir(self.tmp), ["crc.zip"])  # none of them wrote a file

    def test_extract_replaces_only_when_told(self):
        os.makedirs(self.tmp + "/x")
        self.check(0, ZARVEL, "extract", MEMBERS, cwd=self.tmp + "/x")  # -d defaults to the current folder
        write(self.tmp + "/x/empty.txt", b"changed")
        for policy, status, content, said in (((), 1, b"changed", "empty.txt: exists, not replaced"),
                                              (("--skip-existing",), 0, b"changed", "0 extracted, 4 skipped, 0 failed"),
                                              (("--overwrite",), 0, b"", "4 extracted, 0 skipped, 0 failed")):
            with self.subTest(policy=policy):
                result = self.check(status, ZARVEL, "extract", MEMBERS, "-d", "x", *policy)
                self.assertIn(said, result.stdout + result.stderr)
                self.assertEqual(read(self.tmp + "/x/empty.txt"), content)

    def test_every_archivers_archive_lists_tests_and_extracts_like_unzip(self):
        archives = sorted(n for n in os.listdir(INTEROP) if n.endswith(".zip"))
        self.assertEqual(len(archives), 13)
        source = snapshot(INTEROP + "/tree")
        for name in archives:
            path, ours, theirs = os.path.join(INTEROP, name), self.tmp + "/ours-" + name, self.tmp + "/unzip-" + name
            infos = zipfile.ZipFile(path).infolist()
            files = sum(not i.is_dir() for i in infos)
            with self.subTest(archive=name):
                self.assertIn(f" {len(infos)} members\n", self.check(0, ZARVEL, "list", path).stdout)
                self.assertIn(f"{files} members OK", self.check(0, ZARVEL, "test", path).stdout)
                extracted = self.check(0, ZARVEL, "extract", path, "-d", ours).stdout
                self.assertIn(f"{files} extracted, 0 skipped", extracted)
                self.check(0, "unzip", "-q", "-d", theirs, path)
                ours, theirs = snapshot(ours), snapshot(theirs)
                if name == "zip-raw-names.zip":  # names without the UTF-8 flag: CP437 to us, raw bytes to unzip
                    theirs = {k.encode().decode("cp437"): v for k, v in theirs.items()}
                self.assertEqual(sorted(ours), sorted(theirs))
                for member, value in ((m, v) for m, v in theirs.items() if v):  # unzip may read exact times
                    self.assertTrue(ours[member][0] == value[0] and abs(ours[member][1] - value[1]) < 2, member)
                    # p7zip makes a DOS time with today's zone offset, not that of the file's date.
                    if not name.startswith(("7z-", "zip-raw")):
                        self.assertEqual(ours[member][1], source[member][1], member)


if __name__ == "__main__":
    unittest.main()
