#!/usr/bin/env python3
"""End-to-end tests of `zarvel pack`, run through the real binary.

The self-extractors it makes are checked with independent readers (unzip,
7z, Python's zipfile) and, when they work, with `zarvel test` and `zarvel
extract`. Source archives for repacking are made by the real `zip` and `7z`.
The stub is a tiny real PE made by tests/fixtures/gen-pack.sh (any bytes
would do, but signing needs a PE image).

Environment (set by ctest): ZARVEL_BUILD (folder holding the zarvel binary),
ZARVEL_FIXTURES (folder holding pack-stub.exe).
"""
import os
import shutil
import struct
import subprocess
import tempfile
import time
import unittest
import zipfile

BUILD = os.environ.get("ZARVEL_BUILD", "build/native")
FIXTURES = os.environ.get("ZARVEL_FIXTURES", os.path.join(BUILD, "fixtures"))
ZARVEL = os.path.join(BUILD, "zarvel")
BLOCK_SIZE = 514
FIELD_SIZE = 257
UTF8_FLAG = 0x800

# Odd seconds on purpose: DOS times keep two-second steps.
TREE_TIME = time.mktime((2001, 2, 3, 4, 5, 7, 0, 0, -1))
OLD_TIME = time.mktime((1975, 6, 1, 12, 0, 0, 0, 0, -1))


def run(args, cwd=None):
    return subprocess.run(args, cwd=cwd, capture_output=True, text=True)


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def have(tool):
    return shutil.which(tool) is not None


def engine_command_works(command):
    """False while `zarvel list/test/extract` is still a placeholder."""
    probe = run([ZARVEL, command, "--help"])
    return "not available" not in probe.stderr + probe.stdout


def first_member_and_end(path):
    """(local offset of the first central record, end record position,
    central offset, central size) read straight from the bytes."""
    data = read_bytes(path)
    end = data.rfind(b"PK\x05\x06")
    _, _, _, count, size, offset, _ = struct.unpack("<HHHHIIH", data[end + 4:end + 22])
    assert data[offset:offset + 4] == b"PK\x01\x02"
    first_local = struct.unpack("<I", data[offset + 42:offset + 46])[0]
    return first_local, end, offset, size


def raw_members(path):
    """name -> (method, crc, compressed size, compressed bytes) with Python's
    zipfile, reading each member's data straight from its local record."""
    result = {}
    data = read_bytes(path)
    with zipfile.ZipFile(path) as z:
        for info in z.infolist():
            at = info.header_offset
            assert data[at:at + 4] == b"PK\x03\x04", info.filename
            name_length, extra_length = struct.unpack("<HH", data[at + 26:at + 30])
            start = at + 30 + name_length + extra_length
            result[info.filename] = (info.compress_type, info.CRC, info.compress_size,
                                     data[start:start + info.compress_size])
    return result


def snapshot(root):
    """relative path -> ('d', mtime) or ('f', bytes, mtime)."""
    result = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs:
            path = os.path.join(folder, name)
            result[os.path.relpath(path, root)] = ("d", os.stat(path).st_mtime)
        for name in files:
            path = os.path.join(folder, name)
            result[os.path.relpath(path, root)] = ("f", read_bytes(path), os.stat(path).st_mtime)
    return result


def dos_floor(t):
    """The time a DOS date and time gives back for t (local, even seconds)."""
    lt = time.localtime(t)
    return time.mktime(lt[:5] + (lt.tm_sec - lt.tm_sec % 2, 0, 0, -1))


class PackTestCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zarvel-pack-")
        stub = os.path.join(FIXTURES, "pack-stub.exe")
        if os.path.exists(stub):
            self.stub = stub
        else:
            self.stub = os.path.join(self.tmp, "stub.bin")
            with open(self.stub, "wb") as f:
                f.write(bytes((i * 7 + 3) % 256 for i in range(4096)))
        self.stub_bytes = read_bytes(self.stub)

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def pack(self, inputs, out="out.exe", extra=(), expect_ok=True):
        out_path = self.path(out)
        result = run([ZARVEL, "pack", "-o", out_path, "--stub", self.stub, *extra, *inputs], cwd=self.tmp)
        if expect_ok:
            self.assertEqual(result.returncode, 0, result.stderr)
        return out_path, result

    def make_tree(self, root_name="tree"):
        """A tree with the awkward cases: empty files and folders, a deep path,
        spaces, names that fit CP437 (é, ü) and names that need UTF-8."""
        root = self.path(root_name)
        files = {
            "readme.txt": b"hello\n" * 200,
            "empty.txt": b"",
            "name with spaces.txt": b"spaces\n",
            "caf\u00e9/\u00fcber.txt": b"cp437 names\n" * 50,
            "\u03a9mega/\u65e5\u672c.txt": "utf-8 names\n".encode() * 50,
            "random.bin": os.urandom(20000),
            "a/b/c/d/e/f/g/h/i/j/deep.txt": b"deep\n",
            "numbers.txt": "".join(str(i) + "\n" for i in range(20000)).encode(),
        }
        for name, content in files.items():
            full = os.path.join(root, name)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "wb") as f:
                f.write(content)
        os.makedirs(os.path.join(root, "empty folder", "inner empty"))
        for folder, dirs, names in os.walk(root, topdown=False):
            for name in names + dirs:
                os.utime(os.path.join(folder, name), (TREE_TIME, TREE_TIME))
        os.utime(root, (TREE_TIME, TREE_TIME))
        return root

    def assertRefused(self, inputs, reason, extra=(), out="out.exe"):
        out_path = self.path(out)
        before = read_bytes(out_path) if os.path.exists(out_path) else None
        out_path, result = self.pack(inputs, out=out, extra=extra, expect_ok=False)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn(reason, result.stderr)
        if before is None:
            self.assertFalse(os.path.exists(out_path), "output left behind")
        else:
            self.assertEqual(read_bytes(out_path), before, "existing output changed")
        folder = os.path.dirname(out_path)
        leftovers = [n for n in os.listdir(folder) if ".tmp-" in n]
        self.assertEqual(leftovers, [], "temporary file left behind")
        return result


class RoundTripTest(PackTestCase):
    def test_unzip_gives_the_same_tree_and_times(self):
        tree = self.make_tree()
        out, result = self.pack(["tree"])
        self.assertRegex(result.stdout, r"\d+ files, \d+ folders, \d+ bytes in, \d+ bytes out")
        test = run(["unzip", "-t", out])
        self.assertEqual(test.returncode, 0, test.stdout + test.stderr)
        target = self.path("unzipped")
        os.mkdir(target)
        extracted = run(["unzip", "-q", out, "-d", target])
        self.assertEqual(extracted.returncode, 0, extracted.stderr)
        self.assertSnapshotsMatch(snapshot(tree), snapshot(os.path.join(target, "tree")))

    def assertSnapshotsMatch(self, original, copy):
        self.assertEqual(sorted(original), sorted(copy))
        for name, item in original.items():
            other = copy[name]
            self.assertEqual(item[0], other[0], name)
            if item[0] == "f":
                self.assertEqual(item[1], other[1], name)
            self.assertEqual(dos_floor(item[-1]), other[-1], name)

    def test_python_zipfile_reads_names_flags_methods_and_times(self):
        self.make_tree()
        out, _ = self.pack(["tree"])
        with zipfile.ZipFile(out) as z:
            self.assertIsNone(z.testzip())
            infos = {i.filename: i for i in z.infolist()}
            self.assertIn("tree/empty folder/inner empty/", infos)
            self.assertIn("tree/", infos)
            # é and ü fit CP437: no UTF-8 flag; Ω and 日本 do not.
            self.assertFalse(infos["tree/caf\u00e9/\u00fcber.txt"].flag_bits & UTF8_FLAG)
            self.assertTrue(infos["tree/\u03a9mega/\u65e5\u672c.txt"].flag_bits & UTF8_FLAG)
            self.assertEqual(infos["tree/numbers.txt"].compress_type, zipfile.ZIP_DEFLATED)
            # Nothing gained: stored.
            self.assertEqual(infos["tree/random.bin"].compress_type, zipfile.ZIP_STORED)
            self.assertEqual(infos["tree/empty.txt"].compress_type, zipfile.ZIP_STORED)
            for info in infos.values():
                self.assertLessEqual(info.extract_version, 20, info.filename)
                self.assertEqual(info.date_time, time.localtime(dos_floor(TREE_TIME))[:6], info.filename)
            self.assertEqual(z.read("tree/caf\u00e9/\u00fcber.txt"), b"cp437 names\n" * 50)
        # The sort is by component, so a folder's entry precedes its contents.
        names = [i.filename for i in zipfile.ZipFile(out).infolist()]
        self.assertEqual(names[0], "tree/")
        self.assertLess(names.index("tree/a/"), names.index("tree/a/b/c/d/e/f/g/h/i/j/deep.txt"))

    @unittest.skipUnless(have("7z"), "7z missing")
    def test_7z_tests_clean(self):
        self.make_tree()
        out, _ = self.pack(["tree"])
        result = run(["7z", "t", out])
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertIn("Everything is Ok", result.stdout)

    def test_files_and_folders_named_relative_to_their_parent(self):
        self.make_tree()
        out, _ = self.pack([os.path.join(self.tmp, "tree", "a", "b"), "tree/readme.txt", "tree/empty folder/"])
        names = zipfile.ZipFile(out).namelist()
        self.assertIn("b/c/d/e/f/g/h/i/j/deep.txt", names)
        self.assertIn("readme.txt", names)
        self.assertIn("empty folder/inner empty/", names)

    def test_times_outside_the_dos_range_are_clamped_with_a_warning(self):
        self.make_tree()
        os.utime(self.path("tree", "readme.txt"), (OLD_TIME, OLD_TIME))
        out, result = self.pack(["tree/readme.txt"])
        self.assertIn("warning", result.stderr)
        self.assertEqual(zipfile.ZipFile(out).infolist()[0].date_time, (1980, 1, 1, 0, 0, 0))

    def test_names_windows_would_merge_are_packed_with_a_warning(self):
        os.makedirs(self.path("twins"))
        for name in ("Readme.txt", "README.txt"):
            with open(self.path("twins", name), "wb") as f:
                f.write(name.encode())
        out, result = self.pack(["twins"])
        self.assertIn("differ only in case", result.stderr)
        self.assertEqual(len(zipfile.ZipFile(out).namelist()), 3)

    def test_zarvel_test_and_extract_read_the_result(self):
        if not (engine_command_works("test") and engine_command_works("extract")):
            self.skipTest("zarvel test/extract not available in this build")
        tree = self.make_tree()
        out, _ = self.pack(["tree"])
        tested = run([ZARVEL, "test", out])
        self.assertEqual(tested.returncode, 0, tested.stdout + tested.stderr)
        target = self.path("extracted")
        os.mkdir(target)
        extracted = run([ZARVEL, "extract", out, "-d", target])
        self.assertEqual(extracted.returncode, 0, extracted.stdout + extracted.stderr)
        original = {k: v for k, v in snapshot(tree).items() if v[0] == "f"}
        copy = {k: v for k, v in snapshot(os.path.join(target, "tree")).items() if v[0] == "f"}
        self.assertSnapshotsMatch(original, copy)


class LayoutTest(PackTestCase):
    def test_block_sits_between_stub_and_first_member(self):
        self.make_tree()
        out, _ = self.pack(["tree"], extra=["--dir", "C:\\Program Files\\Zarvel", "--run", "setup.exe /quiet"])
        data = read_bytes(out)
        first_local, end, central_offset, central_size = first_member_and_end(out)
        block = first_local - BLOCK_SIZE
        self.assertEqual(block, len(self.stub_bytes))
        self.assertEqual(data[:block], self.stub_bytes)
        self.assertEqual(data[block:block + FIELD_SIZE], b"C:\\Program Files\\Zarvel".ljust(FIELD_SIZE, b"\0"))
        self.assertEqual(data[block + FIELD_SIZE:first_local], b"setup.exe /quiet".ljust(FIELD_SIZE, b"\0"))
        self.assertEqual(data[first_local:first_local + 4], b"PK\x03\x04")
        # Absolute offsets: the central directory ends where the end record starts.
        self.assertEqual(central_offset + central_size, end)
        self.assertEqual(end + 22, len(data))

    def test_config_texts_of_256_characters_fit_and_257_do_not(self):
        self.make_tree()
        longest = "d" * 256
        out, _ = self.pack(["tree/readme.txt"], extra=["--dir", longest, "--run", "r" * 256])
        data = read_bytes(out)
        block = first_member_and_end(out)[0] - BLOCK_SIZE
        self.assertEqual(data[block:block + FIELD_SIZE], longest.encode() + b"\0")
        os.remove(out)
        self.assertRefused(["tree/readme.txt"], "--dir", extra=["--dir", "d" * 257])
        self.assertRefused(["tree/readme.txt"], "--run", extra=["--run", "r" * 257])


class ReproducibleTest(PackTestCase):
    def test_thread_count_and_input_order_do_not_change_the_bytes(self):
        self.make_tree()
        one, _ = self.pack(["tree", "tree/readme.txt"], out="one.exe", extra=["--jobs", "1"])
        four, _ = self.pack(["tree/readme.txt", "tree"], out="four.exe", extra=["--jobs", "4"])
        self.assertEqual(read_bytes(one), read_bytes(four))

    def test_level_changes_size_not_content(self):
        self.make_tree()
        fast, _ = self.pack(["tree"], out="fast.exe", extra=["--level", "1"])
        best, _ = self.pack(["tree"], out="best.exe")
        self.assertLess(os.path.getsize(best), os.path.getsize(fast))
        with zipfile.ZipFile(fast) as a, zipfile.ZipFile(best) as b:
            for name in a.namelist():
                self.assertEqual(a.read(name), b.read(name), name)


class RepackTest(PackTestCase):
    def check_repack(self, source):
        out, _ = self.pack([source])
        before, after = raw_members(source), raw_members(out)
        self.assertEqual(sorted(before), sorted(after))
        for name in before:
            self.assertEqual(before[name], after[name], name)
        test = run(["unzip", "-t", out])
        self.assertEqual(test.returncode, 0, test.stdout + test.stderr)
        first_local, end, central_offset, central_size = first_member_and_end(out)
        self.assertEqual(first_local - BLOCK_SIZE, len(self.stub_bytes))
        self.assertEqual(central_offset + central_size, end)
        if engine_command_works("test"):
            tested = run([ZARVEL, "test", out])
            self.assertEqual(tested.returncode, 0, tested.stdout + tested.stderr)
        return out

    @unittest.skipUnless(have("zip"), "zip missing")
    def test_zip_made_archive_with_comment_keeps_every_member(self):
        self.make_tree()
        self.assertEqual(run(["zip", "-q", "-r", "-9", "src.zip", "tree"], cwd=self.tmp).returncode, 0)
        subprocess.run(["zip", "-q", "-z", "src.zip"], input=b"an archive comment\n", cwd=self.tmp)
        out = self.check_repack(self.path("src.zip"))
        self.assertEqual(zipfile.ZipFile(out).comment, b"an archive comment")

    @unittest.skipUnless(have("7z"), "7z missing")
    def test_7z_made_archive_keeps_every_member(self):
        self.make_tree()
        made = run(["7z", "a", "-tzip", "-mx=9", "src.zip", "tree"], cwd=self.tmp)
        self.assertEqual(made.returncode, 0, made.stdout)
        self.check_repack(self.path("src.zip"))

    @unittest.skipUnless(have("zip"), "zip missing")
    def test_data_descriptors_and_a_prefix_are_handled(self):
        self.make_tree()
        # Written to a pipe, zip cannot seek back: every member gets a data
        # descriptor. The junk in front leaves the offsets relative to it.
        with open(self.path("streamed.zip"), "wb") as f:
            f.write(b"junk in front " * 100)
        subprocess.run("zip -q -r - tree | cat >> streamed.zip", shell=True, cwd=self.tmp, check=True)
        self.assertTrue(any(i.flag_bits & 0x8 for i in zipfile.ZipFile(self.path("streamed.zip")).infolist()))
        self.check_repack(self.path("streamed.zip"))

    @unittest.skipUnless(have("zip"), "zip missing")
    def test_zip64_archive_is_refused(self):
        self.make_tree()
        subprocess.run("zip -q -r -fz src.zip tree", shell=True, cwd=self.tmp, check=True)
        self.assertRefused(["src.zip"], "ZIP64")

    def test_strong_encryption_is_refused(self):
        source = self.path("strong.zip")
        with zipfile.ZipFile(source, "w") as z:
            z.writestr("secret.txt", b"x" * 100)
        data = bytearray(read_bytes(source))
        central = data.find(b"PK\x01\x02")
        flags = struct.unpack_from("<H", data, central + 8)[0]
        struct.pack_into("<H", data, central + 8, flags | 0x41)
        with open(source, "wb") as f:
            f.write(bytes(data))
        self.assertRefused(["strong.zip"], "strong encryption")


class RefusalTest(PackTestCase):
    def test_names_the_stub_would_refuse(self):
        for bad in ["what?.txt", "a<b", "pipe|d", "back\\slash", "colon:here", "trailing dot.", "con.txt",
                    "tab\there"]:
            with self.subTest(name=bad):
                folder = self.path("in")
                shutil.rmtree(folder, ignore_errors=True)
                os.makedirs(folder)
                open(os.path.join(folder, bad), "wb").close()
                self.assertRefused(["in"], bad)

    def test_stored_name_over_255_bytes(self):
        deep = self.path("long", "a" * 100, "b" * 100)
        os.makedirs(deep)
        open(os.path.join(deep, "c" * 60), "wb").close()
        self.assertRefused(["long"], "longer than 255 bytes")

    def test_unreadable_and_missing_inputs(self):
        os.makedirs(self.path("in"))
        os.symlink("nowhere", self.path("in", "dangling"))
        self.assertRefused(["in"], "dangling")
        self.assertRefused(["does-not-exist"], "does-not-exist")
        if os.geteuid() != 0:
            os.remove(self.path("in", "dangling"))
            secret = self.path("in", "secret")
            open(secret, "wb").close()
            os.chmod(secret, 0)
            self.assertRefused(["in"], "secret")

    def test_output_that_is_an_input_or_inside_one(self):
        self.make_tree()
        self.assertRefused(["tree"], "lies inside", out="tree/self.exe")
        self.assertRefused(["tree/readme.txt"], "lies inside", out="tree/readme.txt")

    def test_file_of_4_gib(self):
        os.makedirs(self.path("big"))
        with open(self.path("big", "huge.bin"), "wb") as f:
            f.truncate(4 << 30)  # sparse: costs no disk space
        self.assertRefused(["big"], "4 GiB")

    def test_a_refused_pack_keeps_the_previous_output(self):
        self.make_tree()
        with open(self.path("out.exe"), "wb") as f:
            f.write(b"previous")
        _, result = self.pack(["tree"], extra=["--dir", "x" * 300], expect_ok=False)
        self.assertNotEqual(result.returncode, 0)
        self.assertEqual(read_bytes(self.path("out.exe")), b"previous")

    def test_missing_stub_and_bad_options(self):
        self.make_tree()
        help_text = run([ZARVEL, "pack", "--help"])
        self.assertEqual(help_text.returncode, 0)
        self.assertIn("usage: zarvel pack", help_text.stdout)
        if "required" in help_text.stdout:
            result = run([ZARVEL, "pack", "-o", self.path("out.exe"), self.path("tree")])
            self.assertNotEqual(result.returncode, 0)
            self.assertIn("--stub", result.stderr)
            self.assertFalse(os.path.exists(self.path("out.exe")))
        for args in (["--level", "13"], ["--jobs", "0"], ["--bogus"]):
            result = run([ZARVEL, "pack", "-o", self.path("out.exe"), "--stub", self.stub, *args, "tree"])
            self.assertEqual(result.returncode, 2, args)
            self.assertFalse(os.path.exists(self.path("out.exe")))


@unittest.skipUnless(have("osslsigncode") and have("openssl"), "osslsigncode or openssl missing")
class SigningTest(PackTestCase):
    def test_signed_self_extractor_still_reads(self):
        if self.stub_bytes[:2] != b"MZ":
            self.skipTest("no PE stub fixture")
        tree = self.make_tree()
        out, _ = self.pack(["tree"])
        key, cert, signed = self.path("key.pem"), self.path("cert.pem"), self.path("signed.exe")
        made = run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=Zarvel test signer"])
        self.assertEqual(made.returncode, 0, made.stderr)
        sign = run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-in", out, "-out", signed])
        self.assertEqual(sign.returncode, 0, sign.stdout + sign.stderr)
        self.assertGreater(os.path.getsize(signed), os.path.getsize(out))  # the signature is appended
        test = run(["unzip", "-t", signed])
        self.assertEqual(test.returncode, 0, test.stdout + test.stderr)
        with zipfile.ZipFile(signed) as z:
            self.assertIsNone(z.testzip())
        target = self.path("unzipped")
        run(["unzip", "-q", signed, "-d", target])
        self.assertEqual(read_bytes(os.path.join(target, "tree", "numbers.txt")),
                         read_bytes(os.path.join(tree, "numbers.txt")))
        if engine_command_works("test"):
            tested = run([ZARVEL, "test", signed])
            self.assertEqual(tested.returncode, 0, tested.stdout + tested.stderr)


if __name__ == "__main__":
    unittest.main()
