#!/usr/bin/env python3
# zarvel end to end. list, test, extract and info on archives from real tools: output, exit statuses, what is written,
# extraction as unzip does it. pack: what it makes, read by unzip, 7z, bsdtar, zipfile and zarvel; repacking that keeps
# bytes; refusals that leave nothing behind; reproducible output, large members in pieces too; no crash nor leftover
# when memory runs short.
import itertools, os, pathlib, re, resource, shutil, signal, struct, subprocess, tempfile, time, unittest, zipfile, zlib

BUILD = os.environ.get("ZARVEL_BUILD", "build/native")
FIXTURES = os.environ.get("ZARVEL_FIXTURES", os.path.join(BUILD, "fixtures"))
ZARVEL, INTEROP = os.path.join(BUILD, "zarvel"), os.path.join(FIXTURES, "interop")
BASIC, MEMBERS, HOSTILE = (f"{FIXTURES}/{p}" for p in ("archive/basic.exe", "engine/members.zip", "engine/hostile.zip"))
# DOS times are local: everything runs in the zone the archivers used.
os.environ.update(TZ=pathlib.Path(INTEROP, "TZ").read_text().strip(), LC_ALL="C.UTF-8")
time.tzset()


def read(path):
    return pathlib.Path(path).read_bytes()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    pathlib.Path(path).write_bytes(data)


def snapshot(root):  # relative path -> (bytes, mtime) for files, None for folders (ending in "/")
    out = {}
    for path in (os.path.join(base, n) for base, dirs, names in os.walk(root) for n in dirs + names):
        folder = os.path.isdir(path)
        out[os.path.relpath(path, root) + "/" * folder] = None if folder else (read(path), int(os.stat(path).st_mtime))
    return out


class Tool(unittest.TestCase):  # commands run in a scratch folder, removed afterwards
    def setUp(self):
        self.tmp = self.enterContext(tempfile.TemporaryDirectory(prefix="zarvel-"))

    def check(self, status, *command, cwd=None):
        result = subprocess.run(command, cwd=cwd or self.tmp, capture_output=True, text=True, errors="replace")
        self.assertEqual(result.returncode, status, f"{command}: {result.stdout}{result.stderr}")
        return result

    def readable(self, path):  # zipfile, unzip, 7z and zarvel test it clean
        self.assertIsNone(zipfile.ZipFile(path).testzip())
        for tool in ("unzip -t", "7z t", ZARVEL + " test"):
            self.check(0, *tool.split(), path)


class Cli(Tool):
    def test_outputs_and_exit_statuses(self):
        rows = [  # (arguments, exit status, stream, text it holds)
            (["list", BASIC], 0, "stdout", "13 Stored  2021-06-15 13:45:30 f4247453  readme.txt"),
            (["list", FIXTURES + "/archive/nothing-appended.exe"], 1, "stderr", "error 9966 (no end of central"),
            (["info", BASIC], 0, "stdout", "default directory:  C:\\Program Files\\Demo\nfollow-up command:  setup.exe "
             "/quiet\nstub asks for:      (no manifest level)\ncommand's program:  setup.exe, not in the archive"),
            (["info", MEMBERS], 0, "stdout", "configuration:      none (a plain ZIP archive)"),
            (["info", INTEROP + "/zip-comment.zip"], 0, "stdout", "archive comment:    33 bytes"),
            (["test", FIXTURES + "/shell/damaged.zip"], 1, "stderr", "sub/b.txt: error 19962 (CRC mismatch)"),
            (["test", FIXTURES + "/shell/damaged.zip"], 1, "stderr", "damaged.zip: 1 of 3 members failed"),
            (["test", FIXTURES + "/robust/bomb-longer.zip"], 1, "stderr", "bomb-longer.zip: 1 of 1 members failed"),
            (["test", HOSTILE], 1, "stderr", "bell?.txt: error 19963"),  # unsafe, and not printed raw
            ([], 2, "stderr", "usage: zarvel COMMAND"),
            (["frobnicate"], 2, "stderr", "unknown command 'frobnicate'"),
            (["list"], 2, "stderr", "usage: zarvel list"),
            (["extract", MEMBERS, "--overwrite", "--skip-existing"], 2, "stderr", "usage: zarvel extract"),
            (["extract", MEMBERS, "--bogus"], 2, "stderr", "unexpected argument '--bogus'"),
        ] + [([c, "--help"], 0, "stdout", "usage: zarvel " + c) for c in ("list", "extract", "pack")] + [
            ([c, f"{FIXTURES}/robust/bomb-{b}.zip"], 1, "stderr", "error 9964 (")  # sizes that lie, shared data
            for c in ("test", "extract") for b in ("longer", "shorter", "overlapping")]
        for args, status, stream, text in rows:
            with self.subTest(args=args):
                self.assertIn(text, getattr(self.check(status, ZARVEL, *args), stream))
        self.assertEqual(os.listdir(self.tmp), [])  # none of them wrote a file

    def test_extract_replaces_only_when_told(self):  # into the current folder when no -d is given
        write(self.tmp + "/x/empty.txt", b"changed")
        for policy, status, content, said in (((), 1, b"changed", "3 extracted, 0 skipped, 1 failed"),
                                              (("--skip-existing",), 0, b"changed", "0 extracted, 4 skipped, 0 failed"),
                                              (("--overwrite",), 0, b"", "4 extracted, 0 skipped, 0 failed")):
            with self.subTest(policy=policy):
                result = self.check(status, ZARVEL, "extract", MEMBERS, *policy, cwd=self.tmp + "/x")
                self.assertIn(said, result.stdout)
                self.assertEqual("empty.txt: exists, not replaced" in result.stderr, not policy)
                self.assertEqual(read(self.tmp + "/x/empty.txt"), content)

    def test_extract_refuses_hostile_names(self):  # each one, a name past 255 bytes too: never cut into a folder's
        refused = read(HOSTILE.replace(".zip", ".names")).count(b"\n")
        result = self.check(1, ZARVEL, "extract", HOSTILE, "-d", "out")
        self.assertIn(f"2 extracted, 0 skipped, {refused} failed", result.stdout)
        self.assertEqual(sorted(snapshot(self.tmp + "/out")), ["d/", "d/x.txt", "good.txt"])

    def test_a_killed_extraction_leaves_whole_files_or_none(self):  # then --skip-existing completes the tree
        content = {"a/big.bin": os.urandom(32 << 20), "text.txt": b"a line\n" * (3 << 20), "b/small.txt": b"small"}
        with zipfile.ZipFile(self.tmp + "/k.zip", "w") as archive:
            for name, data in content.items():
                archive.writestr(name, data, zipfile.ZIP_DEFLATED if name.endswith(".txt") else zipfile.ZIP_STORED)
        for run in range(20):  # killed from the first file written on, a few milliseconds later each time
            out = f"{self.tmp}/out{run}"
            process = subprocess.Popen([ZARVEL, "extract", self.tmp + "/k.zip", "-d", out], stdout=subprocess.DEVNULL)
            while process.poll() is None and not any(names for _, _, names in os.walk(out)):
                pass
            time.sleep(run * 0.005)
            process.kill(), process.wait()
            partial = [n for n, data in content.items() if os.path.exists(f"{out}/{n}") and read(f"{out}/{n}") != data]
            self.assertEqual(partial, [], f"killed after {run * 5} ms")
            self.check(0, ZARVEL, "extract", self.tmp + "/k.zip", "-d", out, "--skip-existing")
            self.assertEqual({k: v[0] for k, v in snapshot(out).items() if v and "/~zv" not in "/" + k}, content)
            shutil.rmtree(out)

    def test_extract_never_writes_through_a_link(self):  # below the target, whatever the policy; DIR may be one
        out, outside = self.tmp + "/out", self.tmp + "/outside"
        tree = ["a/", "a/evil.txt", "d/", "d/sub/", "evil.txt", "ok.txt"]
        for name in tree:
            write(self.tmp + "/src/" + name, b"new") if name[-1] != "/" else os.makedirs(self.tmp + "/src/" + name)
        self.check(0, "zip", "-qr", "../l.zip", ".", cwd=self.tmp + "/src")
        rows = [  # (link in the target, where it points, the members refused)
            ("evil.txt", outside + "/none", ["evil.txt"]), ("evil.txt", outside + "/file", ["evil.txt"]),
            ("a", outside, ["a/", "a/evil.txt"]), ("d", outside, ["d/", "d/sub/"])]
        for (link, to, refused), policy in itertools.product(rows, ((), ("--overwrite",), ("--skip-existing",))):
            with self.subTest(link=link, to=to, policy=policy):
                shutil.rmtree(out, ignore_errors=True), shutil.rmtree(outside, ignore_errors=True)
                write(outside + "/file", b"mine"), os.makedirs(out), os.symlink(to, out + "/" + link)
                result = self.check(1, ZARVEL, "extract", self.tmp + "/l.zip", "-d", out, *policy)
                self.assertEqual(sorted(re.findall(r"zarvel: (\S+): error 19963", result.stderr)), refused)
                self.assertIn(f"{3 - sum(r[-1] != '/' for r in refused)} extracted, 0 skipped, {len(refused)} failed",
                              result.stdout)
                self.assertEqual((os.listdir(outside), read(outside + "/file")), (["file"], b"mine"))
                self.assertEqual(read(out + "/ok.txt"), b"new")
        shutil.rmtree(out), os.makedirs(out), os.symlink(out, self.tmp + "/linked")
        self.check(0, ZARVEL, "extract", self.tmp + "/l.zip", "-d", self.tmp + "/linked")
        self.assertEqual(sorted(snapshot(out)), tree)

    def test_extract_gives_members_from_unix_their_permission_bits(self):  # never set-id, within the umask
        modes = {"run.sh": 0o755, "private": 0o600, "setuid": 0o4755, "group": 0o775}
        for name, mode in modes.items():
            write(self.tmp + "/src/" + name, b"x"), os.chmod(self.tmp + "/src/" + name, mode)
        self.check(0, "zip", "-q", "../m.zip", *modes, cwd=self.tmp + "/src")
        with zipfile.ZipFile(self.tmp + "/m.zip", "a") as archive:  # made on a FAT host: the mode is not read
            info = zipfile.ZipInfo("dos.txt")
            info.create_system, info.external_attr = 0, 0o100700 << 16
            archive.writestr(info, b"x")
        expected = {"run.sh": 0o755, "private": 0o600, "setuid": 0o755, "group": 0o755, "dos.txt": 0o644}
        self.check(0, "sh", "-c", f"umask 022 && {ZARVEL} extract m.zip -d out")
        self.assertEqual({n: os.stat(self.tmp + "/out/" + n).st_mode & 0o7777 for n in expected}, expected)

    def test_file_and_folder_names_are_taken_literally(self):  # a backslash is a byte of a name on Linux
        shutil.copy(MEMBERS, self.tmp + "/a\\b.zip")
        for command in (["list"], ["test"], ["info"], ["extract", "-d", "x\\y"]):
            self.check(0, ZARVEL, *command, "a\\b.zip")
        self.assertEqual(sorted(os.listdir(self.tmp)), ["a\\b.zip", "x\\y"])
        self.assertIn("x\\y/text/deflated.txt", snapshot(self.tmp))

    def test_zip64_values_are_read_whole(self):  # every size and offset 0xFFFFFFFF, with its value in ZIP64 records
        plain, wide = (self.check(0, ZARVEL, "list", f"{FIXTURES}/robust/small-{n}.zip").stdout
                       for n in ("payload", "zip64"))
        self.assertEqual(wide, plain)

    def test_every_archivers_archive_lists_tests_and_extracts_like_unzip(self):
        archives = sorted(n for n in os.listdir(INTEROP) if n.endswith(".zip"))
        self.assertEqual(len(archives), 15)
        for name in archives:
            path, ours, theirs = os.path.join(INTEROP, name), self.tmp + "/ours-" + name, self.tmp + "/unzip-" + name
            infos = zipfile.ZipFile(path).infolist()
            files = sum(not i.is_dir() for i in infos)
            with self.subTest(archive=name):
                self.assertIn(f" {len(infos)} members\n", self.check(0, ZARVEL, "list", path).stdout)
                self.assertIn(f"{files} members OK", self.check(0, ZARVEL, "test", path).stdout)
                self.assertIn(f"{files} extracted, ", self.check(0, ZARVEL, "extract", path, "-d", ours).stdout)
                self.check(0, "unzip", "-q", "-d", theirs, path)
                ours, theirs = snapshot(ours), snapshot(theirs)
                if name == "zip-raw-names.zip":  # names without the UTF-8 flag: CP437 to us, raw bytes to unzip
                    theirs = {k.encode().decode("cp437"): v for k, v in theirs.items()}
                # The tree's times are even, so a DOS time is exact, and unzip reads the exact time of an extra
                # field where there is one: times too must be equal.
                self.assertEqual(ours, theirs)


STUB = os.environ.get("ZARVEL_STUB") or "build/i686/zarvel-stub.exe"  # the stub zarvel has built in
CHECK_STUB = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../gui/check-stub-binary.sh")
WINE_PROGRAM = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/notepad.exe"  # a Windows program, not a stub
local = lambda *when: time.mktime(when + (0, 0, -1))  # noqa: E731
WHEN = local(2001, 2, 3, 4, 5, 7)  # an odd second: DOS times keep two-second steps
BAD_NAMES = {"what?.txt": "'?'", "back\\slash": "'\\'", "colon:here": "unsafe", "trailing dot.": "unsafe",
             "con.txt": "unsafe", "tab\there": "control character", "c" * 251: "longer than 255 bytes",
             "bad\udcff.txt": "not valid UTF-8"}


def members(path):  # the local records: from the first up to the central directory
    data = read(path)
    return data[data.find(b"PK\x03\x04"):zipfile.ZipFile(path).start_dir]


class Pack(Tool):
    def setUp(self):  # a copy of the archivers' tree, every time odd
        super().setUp()
        shutil.copytree(INTEROP + "/tree", self.tmp + "/tree")
        for path in (os.path.join(base, n) for base, dirs, names in os.walk(self.tmp) for n in dirs + names):
            os.utime(path, (WHEN, WHEN))

    def pack(self, *args, out="out.exe", status=0):
        return os.path.join(self.tmp, out), self.check(status, ZARVEL, "pack", "-o", out, "--stub", STUB, *args)

    def check_layout(self, out, directory="", command=""):  # the stub, the block, the archive with absolute offsets
        data = read(out)
        end = data.rfind(b"PK\x05\x06")
        size, at = struct.unpack_from("<II", data, end + 12)
        first = struct.unpack_from("<I", data, at + 42)[0]
        block = directory.encode().ljust(257, b"\0") + command.encode().ljust(257, b"\0")
        self.assertTrue(data[:first] == read(STUB) + block, "stub and block")
        self.assertEqual((data[first:first + 4], at + size), (b"PK\x03\x04", end))
        self.readable(out)

    def test_readers_extract_the_tree_and_records_hold_names_methods_times_and_modes(self):
        out, made = self.pack("tree", "--dir", "d" * 256, "--run", "setup.exe /quiet", "--run-unchecked")
        self.check_layout(out, "d" * 256, "setup.exe /quiet")
        self.assertIn("2 name(s) need UTF-8, such as 'tree/intl/\u65e5\u672c/'", made.stderr)
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
        # (UTF-8 flag, method): ï and é fit CP437, 日本 and メモ do not; nothing gained is stored.
        rows = {"tree/intl/na\u00efve r\u00e9sum\u00e9.txt": (0, 8), "tree/intl/\u65e5\u672c/": (0x800, 0),
                "tree/intl/\u65e5\u672c/\u30e1\u30e2.txt": (0x800, 8), "tree/data/random.bin": (0, 0),
                "tree/empty.txt": (0, 0), "tree/empty folder/": (0, 0)}
        for i in infos:
            with self.subTest(name=i.filename):
                mode = os.stat(os.path.join(self.tmp, i.filename)).st_mode  # and the DOS folder attribute
                self.assertEqual(i.external_attr, mode << 16 | (0x10 if i.is_dir() else 0))
                self.assertEqual((i.flag_bits & 0x800, i.compress_type), rows.get(i.filename, (0, i.compress_type)))
                # A non-ASCII CP437 name carries its UTF-8 form: version 1, CRC of the stored name, the name.
                name = i.filename.encode()
                self.assertEqual(i.extra, b"" if i.flag_bits & 0x800 or name.isascii() else struct.pack(
                    "<HHBI", 0x7075, 5 + len(name), 1, zlib.crc32(i.filename.encode("cp437"))) + name)

    def test_inputs_name_members_from_their_parent_and_times_clamp(self):
        # Two names that differ only in case; a stored name of 255 bytes, the most there is room for.
        for name in ("twins/Readme.txt", "twins/README.txt", "n/" + "l" * 253):
            write(f"{self.tmp}/{name}", b"")
        first, last = (1980, 1, 1, 0, 0, 0), (2107, 12, 31, 23, 59, 58)
        rows = [  # (inputs, time of README.txt, warning, member -> date, or None for any)
            ((self.tmp + "/tree/docs/deep", "tree/docs/", "tree/README.txt"), WHEN, "",
             {"deep/er/and/deeper/still/bottom.txt": None, "docs/empty inside/": None, "README.txt": None}),
            (("twins",), WHEN, "differ only in case", {"twins/Readme.txt": None, "twins/README.txt": None}),
            (("n",), WHEN, "", {"n/" + "l" * 253: None}),
            (("tree/README.txt",), local(1979, 12, 31, 23, 59, 59), "outside 1980..2107", {"README.txt": first}),
            (("tree/README.txt",), local(*first), "", {"README.txt": first}),
            (("tree/README.txt",), local(2107, 12, 31, 23, 59, 59), "", {"README.txt": last}),
            (("tree/README.txt",), local(2108, 1, 1, 0, 0, 0), "outside 1980..2107", {"README.txt": last})]
        for inputs, when, warning, expected in rows:
            with self.subTest(inputs=inputs, when=when):
                os.utime(self.tmp + "/tree/README.txt", (when, when))
                out, result = self.pack(*inputs)
                self.assertEqual(("warning" in result.stderr, warning in result.stderr), (bool(warning), True))
                dates = {i.filename: i.date_time for i in zipfile.ZipFile(out).infolist()}
                self.assertEqual({n: dates[n] for n in expected}, {n: d or dates[n] for n, d in expected.items()})

    def test_output_depends_only_on_the_members_and_the_level(self):
        one = read(self.pack("tree", "tree/README.txt", "--jobs", "1", "--level", "12", out="one.exe")[0])
        four = read(self.pack("tree/README.txt", "tree", "--jobs", "4", "--level", "12", out="four.exe")[0])
        fast = self.pack("tree", "tree/README.txt", "--level", "0", out="fast.exe")[0]
        self.assertTrue(one == four, "input order or thread count changed the bytes")
        self.assertLess(len(one), os.path.getsize(fast))
        self.check_layout(fast)

    def test_repacked_archives_keep_every_member_byte_for_byte(self):
        # Behind junk, the streamed archive's offsets (with data descriptors: zip could not seek back) are relative.
        write(self.tmp + "/streamed.zip", b"junk in front" + read(INTEROP + "/zip-streamed.zip"))
        # ZIP64: zip's central records and end record, behind junk too; zipfile's local headers and, streamed, its
        # 64-bit data descriptors. Small, the output needs none of it in its central records or end record.
        self.check(0, *"zip -qr -fz z64.zip tree -x tree/intl/*".split())  # names that stay as they are
        write(self.tmp + "/z64-junk.zip", b"junk in front" + read(self.tmp + "/z64.zip"))
        code = "import sys, zipfile\nwith zipfile.ZipFile(sys.stdout.buffer, 'w', zipfile.ZIP_DEFLATED) as z:\n" \
               " for n in sys.argv[1:]:\n  with z.open(n, 'w', force_zip64=True) as m: m.write(open(n, 'rb').read())"
        files = [os.path.join(b, n)[len(self.tmp) + 1:] for b, _, names in os.walk(self.tmp + "/tree") for n in names]
        write(self.tmp + "/py64.zip", subprocess.run(["python3", "-c", code, *files], cwd=self.tmp, stdout=subprocess.PIPE,
                                                     check=True).stdout)
        for source in (INTEROP + "/zip-comment.zip", INTEROP + "/7z-mx9.zip", self.tmp + "/streamed.zip",
                       *(f"{self.tmp}/{n}.zip" for n in ("z64", "z64-junk", "py64"))):
            with self.subTest(source=source):
                out, made = self.pack(source, "--dir", "C:\\Apps", out=os.path.basename(source) + ".exe")
                self.check_layout(out, "C:\\Apps")
                self.assertTrue(members(out) == members(source), "members changed")
                self.assertNotIn(b"\x01\x00\x08\x00", read(out)[zipfile.ZipFile(out).start_dir:])  # zip's ZIP64 field
                # The comment kept (zip-comment.zip has 33 bytes), and no warning.
                self.assertEqual((zipfile.ZipFile(out).comment, made.stderr), (zipfile.ZipFile(source).comment, ""))
        for streamed in ("streamed", "py64"):
            self.assertTrue(any(i.flag_bits & 8 for i in zipfile.ZipFile(f"{self.tmp}/{streamed}.zip").infolist()))

    def test_unflagged_utf8_names_are_stored_anew_when_repacked(self):
        names = ["gr\u00fc\u00dfe.txt", "\u03a9mega.txt", "\u65e5\u672c.txt"]
        for name in names:
            write(f"{self.tmp}/unix/{name}", name.encode())
        for source, options in (("unix.zip", ["-fd"]), ("unix64.zip", ["-fz"])):  # as zip on Linux stores them
            self.check(0, "zip", "-q", *options, "../" + source, *names, cwd=self.tmp + "/unix")

        class Unflagged(zipfile.ZipInfo):  # the name's bytes (given as Latin-1 characters), without the UTF-8 flag
            def _encodeFilenameFlags(self):
                return self.filename.encode("latin-1"), self.flag_bits

        with zipfile.ZipFile(self.tmp + "/field.zip", "w") as archive:  # Latin-1 bytes; the second field is stale
            for stored, field, crc, meant in ((b"gr\xfc\xdfe.txt", names[0], b"", names[0]),
                                              (b"r\xe9sum\xe9.txt", "wrong.txt", b"x", "r\u0398sum\u0398.txt")):
                info = Unflagged(stored.decode("latin-1"))
                info.extra = struct.pack("<HHBI", 0x7075, 5 + len(field.encode()), 1, zlib.crc32(crc or stored))
                info.extra += field.encode()
                archive.writestr(info, meant)
        rows = [  # (source, names it converts, names kept as CP437, what list and test say of each converted one)
            ("unix.zip", names, [], "looks like UTF-8 without the UTF-8 flag"),
            ("unix64.zip", names, [], "looks like UTF-8 without the UTF-8 flag"),
            ("field.zip", names[:1], ["r\u0398sum\u0398.txt"], "named by its Unicode path field")]
        for source, converted, kept, warning in rows:
            with self.subTest(source=source):
                out, made = self.pack(source, out=source + ".exe")
                self.assertIn(f"{len(converted)} name(s) converted", made.stdout)
                self.readable(out)
                self.assertEqual([i.filename for i in zipfile.ZipFile(out).infolist()], converted + kept)
                for tool in ("unzip -l", "7z l"):
                    listing = self.check(0, *tool.split(), out).stdout
                    self.assertEqual([n for n in converted if n in listing], converted, tool)
                for command in ("list", "test"):
                    self.assertEqual(self.check(0, ZARVEL, command, source).stderr.count(warning), len(converted))
                    self.assertEqual(self.check(0, ZARVEL, command, out).stderr, "")
                self.check(0, ZARVEL, "extract", out, "-d", "x-" + source)
                written = {n: read(f"{self.tmp}/x-{source}/{n}").decode() for n in os.listdir(f"{self.tmp}/x-{source}")}
                self.assertEqual(written, {n: n for n in converted + kept})
        # The follow-up command's checks see the names repacked, and the program's manifest through its deflated bytes.
        admin = self.pack("unix", "--elevation", "requireAdministrator", out="admin.exe")[0]
        shutil.copy(admin, self.tmp + "/unix/日本.exe")
        self.check(0, "zip", "-q", "../unix.zip", "日本.exe", cwd=self.tmp + "/unix")
        made = self.pack("unix.zip", "--run", "日本.exe /quiet", out="run.exe")[1]
        self.assertIn("asks for requireAdministrator, as 日本.exe's manifest does", made.stdout + made.stderr)

    def test_refusals_say_why_and_leave_no_output(self):
        for i, bad in enumerate(BAD_NAMES):
            write(f"{self.tmp}/bad{i}/{bad}", b"")
        self.check(0, *"zip -qr -fz z64.zip tree".split())
        z64 = read(self.tmp + "/z64.zip")
        end, first = z64.rfind(b"PK\x05\x06"), z64.find(b"PK\x01\x02")
        wide = first + 34 + sum(struct.unpack_from("<HH", z64, first + 28))  # the last extra field, 12 bytes
        for name, at, value in (("pointer", end - 12, z64[end - 12] + 1), ("count", end + 10, z64[end + 10] + 1),
                                ("wide", wide, 2), ("locator", end - 20, 0)):  # ZIP64 records damaged
            write(f"{self.tmp}/{name}.zip", z64[:at] + bytes([value]) + z64[at + 1:])
        os.makedirs(self.tmp + "/links")
        os.symlink("nowhere", self.tmp + "/links/dangling")
        strong = bytearray(read(self.pack("tree/README.txt", out="strong.zip")[0]))
        strong[strong.rfind(b"PK\x01\x02") + 8] |= 0x41  # encrypted, strongly
        write(self.tmp + "/strong.zip", strong)
        write(self.tmp + "/kept", b"previous")
        rows = [((f"bad{i}",), "out.exe", 1, why) for i, why in enumerate(BAD_NAMES.values())] + [
            (("missing",), "out.exe", 1, "missing"), (("links",), "out.exe", 1, "dangling"),
            (("pointer.zip",), "out.exe", 1, "does not end at the ZIP64"), (("count.zip",), "out.exe", 1, "disagree"),
            (("wide.zip",), "out.exe", 1, "lacks a 64-bit size"), (("locator.zip",), "out.exe", 1, "locator"),
            (("strong.zip",), "out.exe", 1, "strong encryption"), (("tree",), "tree/self.exe", 1, "lies inside"),
            (("tree/README.txt",), "tree/README.txt", 1, "lies inside"), (("tree", "--bogus"), "kept", 2, "--bogus"),
            (("tree", "--run", "r" * 257), "kept", 1, "--run"), (("tree", "--level", "13"), "kept", 2, "--level"),
            (("tree", "--jobs", "0"), "kept", 2, "--jobs")]
        for args, out, status, reason in rows:
            with self.subTest(args=args):
                path = os.path.join(self.tmp, out)
                before = os.path.exists(path) and read(path)
                self.assertIn(reason, self.pack(*args, out=out, status=status)[1].stderr)
                self.assertEqual(os.path.exists(path) and read(path), before)
                self.assertFalse([n for n in os.listdir(os.path.dirname(path)) if ".tmp-" in n])

    def test_past_65535_members_a_zip64_end_record_counts_them(self):  # and a repack gives the same bytes again
        os.makedirs(self.tmp + "/many")
        for i in range(70000):
            pathlib.Path(f"{self.tmp}/many/{i:05}").touch()
        out = self.pack("many")[0]
        data = read(out)
        end = data.rfind(b"PK\x05\x06")
        self.assertEqual((data[end - 76:end - 72], data[end - 20:end - 16]), (b"PK\x06\x06", b"PK\x06\x07"))
        self.assertEqual((struct.unpack_from("<QQ", data, end - 52), data[end + 8:end + 12]), ((70001,) * 2, b"\xff" * 4))
        self.readable(self.signed(out))
        self.check(0, "bsdtar", "-tf", out)
        shutil.copy(out, self.tmp + "/many.zip")
        self.assertTrue(read(self.pack("many.zip", out="again.exe")[0]) == data, "repacked differently")

    def test_an_interrupted_pack_leaves_nothing(self):  # Ctrl-C while the output is being written
        write(self.tmp + "/noise/n.bin", os.urandom(96 << 20))
        run = subprocess.Popen([ZARVEL, "pack", "-o", "out.exe", "--stub", STUB, "noise"], cwd=self.tmp)
        while run.poll() is None and not [n for n in os.listdir(self.tmp) if ".tmp-" in n]:
            time.sleep(0.01)
        run.send_signal(signal.SIGINT)
        self.assertEqual((run.wait(), sorted(os.listdir(self.tmp))), (-signal.SIGINT, ["noise", "tree"]))

    def big(self):  # above 16 MiB, compressed in pieces: hex digits (about half their size in Deflate), and noise
        write(self.tmp + "/big/digits.txt", os.urandom(9 << 20).hex().encode())
        write(self.tmp + "/big/noise.bin", os.urandom(17 << 20))

    def test_members_in_pieces_join_into_one_stream_whatever_the_threads(self):
        self.big()
        one, two = (self.pack("big", "--jobs", jobs, out=f"jobs{jobs}.exe")[0] for jobs in "12")
        self.assertTrue(read(one) == read(two), "the thread count changed the bytes")
        self.check_layout(one)
        methods = {i.filename: i.compress_type for i in zipfile.ZipFile(one).infolist()}
        self.assertEqual(methods, {"big/": 0, "big/digits.txt": 8, "big/noise.bin": 0})  # the noise did not shrink

    @unittest.skipIf("ASAN_OPTIONS" in os.environ, "the sanitizers reserve more address space than any limit here")
    def test_short_of_memory_it_says_so_and_leaves_nothing(self):  # from too little for its threads to enough
        self.big()
        outcomes = set()
        for mib in range(8, 104, 8):
            with self.subTest(limit=mib):
                run = subprocess.run([ZARVEL, "pack", "-o", "out.exe", "--stub", STUB, "--jobs", "4", "--level", "1",
                                      "big", "tree"], cwd=self.tmp, capture_output=True, text=True,
                                     preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (mib << 20,) * 2))
                self.assertIn(run.returncode, (0, 1), run.stderr)  # never a signal
                outcomes.add(run.returncode)
                if run.returncode == 0:
                    self.check(0, ZARVEL, "test", "out.exe")
                    os.remove(self.tmp + "/out.exe")
                else:
                    self.assertIn("out of memory", run.stderr)
                    self.assertEqual(sorted(os.listdir(self.tmp)), ["big", "tree"])
        self.assertEqual(outcomes, {0, 1})

    def test_the_follow_up_program_is_checked_and_the_stub_asks_for_its_level(self):
        shutil.copy(self.pack("tree", "--elevation", "requireAdministrator", out="admin.exe")[0], self.tmp + "/tree/SetupA.exe")
        found, admin = "'tree/SetupA.exe' in the archive, which asks for requireAdministrator", "requireAdministrator"
        rows = [  # (options, exit status, what pack says, what info says of the program, the level the stub asks for)
            (["--run", "tree\\setupa /q"], 0, "asks for requireAdministrator, as tree/SetupA.exe's manifest does", found,
             admin),
            (["--run", ' "tree\\SetupA.exe" /q', "--elevation", "asInvoker"], 0, "may fail to start it", found, "asInvoker"),
            (["--run", "cmd /c install.bat"], 0, "", "system directory", "asInvoker"),
            (["--run", "cmd /c echo \x1b[31m\x07", "--dir", "C:\\a\tb"], 0, "", "system directory", "asInvoker"),
            (["--run", "C:\\Tools\\x.exe", "--elevation", "highestAvailable"], 0, "", "absolute", "highestAvailable"),
            (["--run", "setup.exe", "--run-unchecked"], 0, "", "not in the archive", "asInvoker"),
            (["--run", "tree/SetupA.exe.bak"], 1, "'tree/SetupA.exe.bak' is not in the archive", "", ""),
            (["--run", ' \t"" /q'], 1, "is not in the archive", "", "")]
        for i, (options, status, said, program, level) in enumerate(rows):
            with self.subTest(options=options):
                out, made = self.pack("tree", *options, out=f"run{i}.exe", status=status)
                self.assertIn(said, made.stdout + made.stderr)
                self.assertEqual(os.path.exists(out), status == 0)
                if status == 0:
                    info = self.check(0, ZARVEL, "info", out).stdout
                    self.assertIn(f"stub asks for:      {level}\n", info)
                    self.assertRegex(info, f"command's program:  [^,]+, .*{program}")
                    self.assertNotRegex(info, "[\x00-\x09\x0b-\x1f\x7f]")  # shown as '?', as list shows names
                self.assertEqual("in another letter case" in made.stderr, options is rows[0][0])

    def signed(self, path):  # a signed copy of the self-extractor: the signature goes after the archive
        key, cert, signed = (os.path.join(self.tmp, n) for n in ("key.pem", "cert.pem", "signed.exe"))
        self.check(0, *f"openssl req -x509 -newkey rsa:2048 -nodes -keyout {key} -out {cert} -subj /CN=t".split())
        self.check(0, "osslsigncode", "sign", "-certs", cert, "-key", key, "-in", path, "-out", signed)
        return signed

    def test_signed_after_packing_every_reader_still_reads_it(self):  # ZIP64 too: past 65,535 members
        self.check(0, ZARVEL, "pack", "-o", self.tmp + "/out.exe", "tree")  # the built-in stub, a real image
        self.readable(self.signed(self.tmp + "/out.exe"))

    def test_publisher_resources_go_into_the_stub_and_unusable_ones_are_refused(self):
        ico, out, t = self.tmp + "/icon.ico", self.tmp + "/out.exe", self.tmp + "/"
        # 256 (PNG), 48, 32 and 16 pixels: the 256-pixel image alone outgrows the stub's resource section.
        self.check(0, *"convert -seed 7 -size 256x256 plasma: -alpha set -depth 8 -define "
                   "icon:auto-resize=256,48,32,16".split(), ico)
        strings = ["FileVersion=1.65535", "ProductVersion=7 beta", "CompanyName=Ex\u00e4mple \u65e5\u672c"]
        versions = [a for pair in strings for a in ("--version-info", pair)]
        self.pack("tree", "--icon", ico, "--elevation", "highestAvailable", *versions)
        self.readable(out)  # and the stub inside it, by a reader of its own:
        self.check(0, "bash", CHECK_STUB, out, "i686", "highestAvailable", "16,32,48,256", *strings)
        icon, key = read(ico), t + "key.pem"
        write(t + "cut.ico", icon[:-1])
        write(t + "empty.ico", icon[:4] + b"\0\0")
        write(t + "outside.ico", icon[:18] + struct.pack("<I", len(icon)) + icon[22:])  # where the first image lies
        self.check(0, *f"openssl req -x509 -newkey rsa:2048 -nodes -keyout {key} -out {t}c.pem -subj /CN=t".split())
        self.check(0, *f"osslsigncode sign -certs {t}c.pem -key {key} -in {STUB} -out {t}signed.exe".split())
        rows = [("--icon", "cut.ico", 1, "image 4 lies outside the file"), ("--icon", "empty.ico", 1, "holds no image"),
                ("--icon", "outside.ico", 1, "image 1 lies outside the file"),
                ("--version-info", "Colour=red", 2, "unknown key"), ("--stub", "signed.exe", 1, "after packing"),
                ("--stub", WINE_PROGRAM, 1, "no dialog 101"), ("--stub", "tree/README.txt", 1, "no MZ header"),
                ("--stub", out, 1, "is it a self-extractor already?")]
        for option, value, status, reason in rows:
            with self.subTest(value=value):
                result = self.check(status, ZARVEL, "pack", "-o", "bad.exe", option, value, "tree")
                self.assertIn(reason, result.stderr)
                self.assertFalse([n for n in os.listdir(self.tmp) if n.startswith("bad.exe")])



if __name__ == "__main__":
    unittest.main()
