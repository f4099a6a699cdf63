#!/usr/bin/env python3
"""zarvel pack end to end: what it makes, read by unzip, 7z, bsdtar, zipfile and zarvel;
repacking keeping bytes; refusals that leave nothing behind; reproducible output."""
import os, struct, sys, time, unittest, zipfile, zlib
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from test_cli import FIXTURES, ZARVEL, Tool, read, snapshot, write

STUB = os.path.join(FIXTURES, "archive/nothing-appended.exe")  # any bytes stand in for the stub
local = lambda *when: time.mktime(when + (0, 0, -1))  # noqa: E731
WHEN = local(2001, 2, 3, 4, 5, 7)  # an odd second: DOS times keep two-second steps
TREE = {"readme.txt": b"hello\n" * 200, "empty.txt": b"", "random.bin": os.urandom(20000), "a-b.txt": b"",
        "a/b c.txt": b"", "a/b/c/d/e/f/g/h/i/j/deep.txt": b"deep\n",  # "a/b/c" before "a/b c", "a-b" after "a/"
        "caf\u00e9/\u00fcber.txt": b"cp437 names\n" * 50, "\u03a9mega/\u65e5\u672c.txt": "utf-8 names\n".encode() * 50,
        "numbers.txt": "".join(f"{i}\n" for i in range(20000)).encode()}
BAD_NAMES = {"what?.txt": "what?", "a<b": "a<b", "pipe|d": "pipe|d", "back\\slash": "back", "colon:here": "colon",
             "trailing dot.": "dot.", "con.txt": "con.txt", "tab\there": "tab", "c" * 251: "longer than 255 bytes",
             "bad\udcff.txt": "not valid UTF-8"}


def members(path):  # the local records: from the first up to the central directory, which ends at the end record
    data = read(path)
    end = data.rfind(b"PK\x05\x06")
    return data[data.find(b"PK\x03\x04"):end - struct.unpack_from("<I", data, end + 12)[0]]


class Pack(Tool):
    def setUp(self):
        super().setUp()
        for name, data in TREE.items():
            write(os.path.join(self.tmp, "tree", name), data)
        os.makedirs(self.tmp + "/tree/empty folder/inner empty")
        for path in (os.path.join(base, n) for base, dirs, names in os.walk(self.tmp) for n in dirs + names):
            os.utime(path, (WHEN, WHEN))

    def pack(self, *args, out="out.exe", status=0):
        return os.path.join(self.tmp, out), self.check(status, ZARVEL, "pack", "-o", out, "--stub", STUB, *args)

    def check_layout(self, out, directory="", command=""):
        """The stub, the block, the archive with absolute offsets; readers test it clean."""
        data = read(out)
        end = data.rfind(b"PK\x05\x06")
        size, at = struct.unpack_from("<II", data, end + 12)
        first = struct.unpack_from("<I", data, at + 42)[0]
        block = directory.encode().ljust(257, b"\0") + command.encode().ljust(257, b"\0")
        self.assertTrue(data[:first] == read(STUB) + block, "stub and block")
        self.assertEqual((data[first:first + 4], at + size), (b"PK\x03\x04", end))
        self.assertIsNone(zipfile.ZipFile(out).testzip())
        for tool in ("unzip -t", "7z t", ZARVEL + " test"):
            self.check(0, *tool.split(), out)

    def test_readers_extract_the_tree_and_records_hold_names_methods_times_and_modes(self):
        out, _ = self.pack("tree", "--dir", "d" * 256, "--run", "setup.exe /quiet")
        self.check_layout(out, "d" * 256, "setup.exe /quiet")
        source = {k: v and (v[0], v[1] - v[1] % 2) for k, v in snapshot(self.tmp + "/tree").items()}
        for i, tool in enumerate(("unzip -q {} -d {}", "7z x {} -o{}", "bsdtar -xf {} -C {}",
                                  ZARVEL + " extract {} -d {}")):
            with self.subTest(tool=tool):
                os.makedirs(f"{self.tmp}/x{i}")
                self.check(0, *tool.format(out, f"{self.tmp}/x{i}").split())
                self.assertEqual(snapshot(f"{self.tmp}/x{i}/tree"), source)
        infos = zipfile.ZipFile(out).infolist()
        names = [i.filename for i in infos]  # a folder precedes what it holds; components sort by bytes
        self.assertEqual(names, sorted(names, key=lambda n: n.rstrip("/").split("/")))
        # (UTF-8 flag, method): é and ü fit CP437, Ω and 日本 do not; nothing gained is stored.
        rows = {"tree/caf\u00e9/\u00fcber.txt": (0, 8), "tree/\u03a9mega/\u65e5\u672c.txt": (0x800, 8),
                "tree/random.bin": (0, 0), "tree/empty.txt": (0, 0), "tree/empty folder/": (0, 0)}
        for i in infos:
            with self.subTest(name=i.filename):
                self.assertEqual(i.date_time, time.localtime(WHEN - 1)[:6])
                self.assertLessEqual(i.extract_version, 20)
                mode = os.stat(os.path.join(self.tmp, i.filename)).st_mode  # and the DOS folder attribute
                self.assertEqual(i.external_attr, mode << 16 | (0x10 if i.is_dir() else 0))
                self.assertEqual((i.flag_bits & 0x800, i.compress_type), rows.get(i.filename, (0, i.compress_type)))
                # A non-ASCII CP437 name carries its UTF-8 form: version 1, CRC of the stored name, the name.
                name = i.filename.encode()
                self.assertEqual(i.extra, b"" if i.flag_bits & 0x800 or name.isascii() else struct.pack(
                    "<HHBI", 0x7075, 5 + len(name), 1, zlib.crc32(i.filename.encode("cp437"))) + name)

    def test_inputs_name_members_from_their_parent_and_times_clamp(self):
        write(self.tmp + "/twins/Readme.txt", b"1")
        write(self.tmp + "/twins/README.txt", b"2")
        write(self.tmp + "/n/" + "l" * 253, b"")  # a stored name of 255 bytes, the most there is room for
        first, last = (1980, 1, 1, 0, 0, 0), (2107, 12, 31, 23, 59, 58)
        rows = [  # (inputs, time of readme.txt, warning, member -> date, or None for any)
            ((self.tmp + "/tree/a/b", "tree/empty folder/", "tree/numbers.txt"), WHEN, "",
             {"b/c/d/e/f/g/h/i/j/deep.txt": None, "empty folder/inner empty/": None, "numbers.txt": None}),
            (("twins",), WHEN, "differ only in case", {"twins/Readme.txt": None, "twins/README.txt": None}),
            (("n",), WHEN, "", {"n/" + "l" * 253: None}),
            (("tree/readme.txt",), local(1979, 12, 31, 23, 59, 59), "outside 1980..2107", {"readme.txt": first}),
            (("tree/readme.txt",), local(*first), "", {"readme.txt": first}),
            (("tree/readme.txt",), local(2107, 12, 31, 23, 59, 59), "", {"readme.txt": last}),
            (("tree/readme.txt",), local(2108, 1, 1, 0, 0, 0), "outside 1980..2107", {"readme.txt": last})]
        for inputs, when, warning, expected in rows:
            with self.subTest(inputs=inputs, when=when):
                os.utime(self.tmp + "/tree/readme.txt", (when, when))
                out, result = self.pack(*inputs)
                self.assertEqual(("warning" in result.stderr, warning in result.stderr), (bool(warning), True))
                dates = {i.filename: i.date_time for i in zipfile.ZipFile(out).infolist()}
                self.assertEqual({n: dates[n] for n in expected}, {n: d or dates[n] for n, d in expected.items()})

    def test_output_depends_only_on_the_members_and_the_level(self):
        one = read(self.pack("tree", "tree/readme.txt", "--jobs", "1", "--level", "12", out="one.exe")[0])
        four = read(self.pack("tree/readme.txt", "tree", "--jobs", "4", "--level", "12", out="four.exe")[0])
        fast = self.pack("tree", "tree/readme.txt", "--level", "0", out="fast.exe")[0]
        self.assertTrue(one == four, "input order or thread count changed the bytes")
        self.assertLess(len(one), os.path.getsize(fast))
        self.check_layout(fast)

    def test_repacked_archives_keep_every_member_byte_for_byte(self):
        rows = [  # (source, shell command making it, its comment)
            ("zip.zip", "zip -qr -9 zip.zip tree && printf 'a comment\\n' | zip -qz zip.zip", b"a comment"),
            ("7z.zip", "7z a -tzip -mx=9 7z.zip tree >/dev/null", b""),
            # To a pipe zip writes data descriptors; the junk in front leaves its offsets relative.
            ("streamed.zip", "printf 'junk in front' > streamed.zip && zip -qr - tree | cat >> streamed.zip", b"")]
        for source, command, comment in rows:
            with self.subTest(source=source):
                self.check(0, "sh", "-c", command)
                out, made = self.pack(source, "--dir", "C:\\Apps", out=source + ".exe")
                self.check_layout(out, "C:\\Apps")
                self.assertTrue(members(out) == members(os.path.join(self.tmp, source)), "members changed")
                self.assertEqual((zipfile.ZipFile(out).comment, made.stderr), (comment, ""))  # and no warning
        self.assertTrue(any(i.flag_bits & 8 for i in zipfile.ZipFile(self.tmp + "/streamed.zip").infolist()))

    def test_refusals_say_why_and_leave_no_output(self):
        for i, bad in enumerate(BAD_NAMES):
            write(f"{self.tmp}/bad{i}/{bad}", b"")
        write(self.tmp + "/big/huge.bin", b"")
        os.truncate(self.tmp + "/big/huge.bin", 4 << 30)  # sparse
        os.makedirs(self.tmp + "/links")
        os.symlink("nowhere", self.tmp + "/links/dangling")
        self.check(0, "zip", "-qr", "-fz", "zip64.zip", "tree")
        strong = bytearray(read(self.pack("tree/readme.txt", out="strong.zip")[0]))
        strong[strong.find(b"PK\x01\x02") + 8] |= 0x41  # encrypted, strongly
        write(self.tmp + "/strong.zip", strong)
        write(self.tmp + "/kept", b"previous")
        rows = [((f"bad{i}",), "out.exe", 1, why) for i, why in enumerate(BAD_NAMES.values())] + [
            (("missing",), "out.exe", 1, "missing"), (("big",), "out.exe", 1, "4 GiB"),
            (("links",), "out.exe", 1, "dangling"), (("zip64.zip",), "out.exe", 1, "ZIP64"),
            (("strong.zip",), "out.exe", 1, "strong encryption"), (("tree",), "tree/self.exe", 1, "lies inside"),
            (("tree/readme.txt",), "tree/readme.txt", 1, "lies inside"), (("tree", "--bogus"), "kept", 2, "--bogus"),
            (("tree", "--dir", "d" * 257), "kept", 1, "--dir"), (("tree", "--run", "r" * 257), "kept", 1, "--run"),
            (("tree", "--level", "13"), "kept", 2, "--level"), (("tree", "--jobs", "0"), "kept", 2, "--jobs")]
        for args, out, status, reason in rows:
            with self.subTest(args=args):
                path = os.path.join(self.tmp, out)
                before = os.path.exists(path) and read(path)
                self.assertIn(reason, self.pack(*args, out=out, status=status)[1].stderr)
                self.assertEqual(os.path.exists(path) and read(path), before)
                self.assertFalse([n for n in os.listdir(os.path.dirname(path)) if ".tmp-" in n])

    def test_signed_after_packing_every_reader_still_reads_it(self):  # the signature goes after the archive
        key, cert, out, signed = (os.path.join(self.tmp, n) for n in ("key.pem", "cert.pem", "out.exe", "signed.exe"))
        self.check(0, ZARVEL, "pack", "-o", out, "tree")  # the built-in stub, a real image
        self.check(0, *f"openssl req -x509 -newkey rsa:2048 -nodes -keyout {key} -out {cert} -subj /CN=t".split())
        self.check(0, "osslsigncode", "sign", "-certs", cert, "-key", key, "-in", out, "-out", signed)
        self.assertGreater(os.path.getsize(signed), os.path.getsize(out))
        self.assertIsNone(zipfile.ZipFile(signed).testzip())
        for tool in ("unzip -t", "7z t", ZARVEL + " test"):
            self.check(0, *tool.split(), signed)


if __name__ == "__main__":
    unittest.main()
