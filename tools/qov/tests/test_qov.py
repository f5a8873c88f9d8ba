#!/usr/bin/env python3
"""End-to-end tests of the qov command line.

Usage: test_qov.py PATH_TO_QOV [--md5 KERNEL] [unittest options]

Every test runs the built program in a temporary folder of its own.  When
the environment variable BREVIK_EMULATOR is set (for example a Wine wrapper),
its words are put in front of the program.  With --md5 KERNEL every command
that hashes runs with that MD5 kernel forced (`qov CMD --md5 KERNEL`); when
this machine cannot run the kernel, the whole run is skipped (exit 77).  The interop archives of the
archive library's test data are copied before use, because they may be
read-only.
"""

import hashlib
import json
import os
import random
import re
import shlex
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

QOV = None  # the program under test, from the command line
MD5_KERNEL = None  # --md5 KERNEL of the command line
# The commands that take --md5.
HASHING_COMMANDS = ("create", "add", "cat", "extract", "verify", "repair")
EXIT_SKIPPED = 77
EMULATOR = shlex.split(os.environ.get("BREVIK_EMULATOR", ""))
HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.normpath(os.path.join(HERE, "..", "..", "..", "nqov", "tests", "data", "fixtures"))

# File flags, as in QOVLib.h.
FILE_EXISTS = 0x80000000
FILE_FLAG_30 = 0x40000000
FILE_DIRECTORY = 0x08000000
FILE_SECTOR_CRC = 0x04000000
FILE_DELETE_MARKER = 0x02000000
FILE_SINGLE_UNIT = 0x01000000
FILE_FLAG_20 = 0x00100000
FILE_FIX_KEY = 0x00020000
FILE_ENCRYPTED = 0x00010000
FILE_COMPRESSED = 0x0000FF00
FILE_COMPRESS = 0x00000200


def md5(data):
    return hashlib.md5(data).hexdigest()


def pseudo_random(seed, size):
    """Deterministic bytes that do not compress."""
    return random.Random(seed).randbytes(size)


def read_tree(root):
    """{relative path with '/': content} of every file under ROOT."""
    files = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                files[os.path.relpath(path, root).replace(os.sep, "/")] = f.read()
    return files


def write_file(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def make_sample_tree(root):
    """A folder with the cases that matter: text, an empty file, a file of
    exactly one sector (4096 bytes), a file over 1 MiB, nested folders and a
    UTF-8 name.  Returns {archived name: content}."""
    text = "".join("line %d of a readme file\n" % i for i in range(400)).encode()
    large = pseudo_random(1, 700_000) + bytes(300_000) + pseudo_random(2, 200_000)
    files = {
        "readme.txt": text,
        "empty.dat": b"",
        "one_sector.bin": pseudo_random(3, 4096),
        "big/large.bin": large,
        "nested/deeper/deepest/note.txt": b"deep inside\n" * 50,
        "ünïcödé/名字.txt": "héllo wörld, 你好\n".encode() * 20,
    }
    for name, data in files.items():
        write_file(os.path.join(root, *name.split("/")), data)
    return {name.replace("/", "\\"): data for name, data in files.items()}


def with_md5_kernel(args):
    """ARGS with `--md5 MD5_KERNEL` after the command, when one is forced."""
    if MD5_KERNEL and args and args[0] in HASHING_COMMANDS:
        return args[:1] + ["--md5", MD5_KERNEL] + args[1:]
    return args


def kernel_missing(kernel):
    """Whether this machine cannot run the MD5 kernel (qov says so)."""
    result = subprocess.run(EMULATOR + [QOV, "verify", "--md5", kernel, "no-such.qov"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
    return b"not supported on this machine" in result.stderr


class QovTestCase(unittest.TestCase):
    """Runs qov in a fresh temporary folder per test."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="qov_test_")

    def tearDown(self):
        # Read-only files made by a test must not stop the clean-up.
        for folder, _, names in os.walk(self.tmp):
            for name in names:
                os.chmod(os.path.join(folder, name), stat.S_IRUSR | stat.S_IWUSR)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def run_qov(self, *args, cwd=None, stderr=subprocess.PIPE):
        args = with_md5_kernel(list(args))
        for attempt in range(3):
            result = subprocess.run(EMULATOR + [QOV] + args, cwd=cwd or self.tmp,
                                    stdout=subprocess.PIPE, stderr=stderr, timeout=600)
            # Under a busy Wine a program now and then never starts: Wine
            # exits 1 and nothing is printed.  qov itself always says why it
            # fails, so that result is Wine's, and the run is tried again.
            started = result.returncode != 1 or result.stdout or result.stderr
            if not EMULATOR or started or stderr is not subprocess.PIPE:
                break
        return result

    def qov(self, *args, expect=0, cwd=None):
        """Runs qov, checks its exit code and returns the result."""
        result = self.run_qov(*args, cwd=cwd)
        self.assertEqual(result.returncode, expect,
                         "qov %s exited %d, not %d\nstdout: %s\nstderr: %s" % (
                             " ".join(args), result.returncode, expect,
                             result.stdout.decode(errors="replace")[-2000:],
                             result.stderr.decode(errors="replace")[-2000:]))
        return result

    def qov_json(self, *args, expect=0):
        result = self.qov(*args, expect=expect)
        return json.loads(result.stdout.decode("utf-8"))

    def new_archive(self, name="test.qov", *options):
        archive = self.path(name)
        self.qov("create", *options, archive)
        return archive

    def copy_fixture(self, name):
        target = self.path(name)
        shutil.copyfile(os.path.join(FIXTURES, name), target)
        os.chmod(target, stat.S_IRUSR | stat.S_IWUSR)
        return target

    def listing(self, archive):
        return self.qov_json("list", "--json", archive)

    def by_name(self, archive):
        return {entry["name"]: entry for entry in self.listing(archive)}


class CreateTest(QovTestCase):
    def test_defaults(self):
        archive = self.new_archive()
        info = self.qov_json("info", "--json", archive)
        self.assertEqual(info["max_file_count"], 65536)
        self.assertEqual(info["sector_size_exp"], 3)
        self.assertEqual(info["sector_bytes"], 4096)
        self.assertEqual(info["piece_size"], 1024 * 1024)
        self.assertEqual(info["raw_chunk_size"], 0)
        self.assertEqual(info["format_version"], 0)
        self.assertEqual(info["header_offset"], 0)
        self.assertEqual(self.listing(archive), [])
        self.qov("verify", archive)

    def test_every_option_shows_in_info(self):
        archive = self.new_archive("opts.qov", "--capacity", "100", "--sector-size-exp", "1",
                                   "--piece-size", "8192", "--chunk-size", "1024",
                                   "--format-version", "1", "--header-offset", "1024")
        info = self.qov_json("info", "--json", archive)
        self.assertEqual(info["max_file_count"], 100)
        self.assertEqual(info["sector_size_exp"], 1)
        self.assertEqual(info["sector_bytes"], 1024)
        self.assertEqual(info["piece_size"], 8192)
        self.assertEqual(info["raw_chunk_size"], 1024)
        self.assertEqual(info["format_version"], 1)
        self.assertEqual(info["header_offset"], 1024)
        with open(archive, "rb") as f:
            data = f.read()
        self.assertEqual(data[:1024], bytes(1024), "the bytes before the header are zero")
        self.assertEqual(data[1024:1028], b"nqov")

        text = self.qov("info", archive).stdout.decode()
        for label, value in (("header offset", "1024"), ("format version", "1"),
                             ("sector size", "1024"), ("piece size", "8192"),
                             ("chunk-digest size", "1024"), ("capacity (files)", "100")):
            self.assertRegex(text, r"(?m)^\s*%s\s+%s$" % (re.escape(label), value))

        # The archive works with these parameters.
        payload = pseudo_random(7, 50_000)
        write_file(self.path("payload.bin"), payload)
        self.qov("add", archive, self.path("payload.bin"))
        self.assertEqual(self.qov("cat", archive, "payload.bin").stdout, payload)
        self.qov("verify", archive)

    def test_sector_size_in_bytes_and_suffixes(self):
        archive = self.new_archive("bytes.qov", "--sector-size", "16K", "--piece-size", "64K",
                                   "--capacity", "0x40")
        info = self.qov_json("info", "--json", archive)
        self.assertEqual(info["sector_size_exp"], 5)
        self.assertEqual(info["sector_bytes"], 16384)
        self.assertEqual(info["piece_size"], 65536)
        self.assertEqual(info["max_file_count"], 64)

    def test_existing_archive_needs_force(self):
        archive = self.new_archive()
        result = self.qov("create", archive, expect=1)
        self.assertIn(b"ERROR_ALREADY_EXISTS (183)", result.stderr)
        self.assertIn(archive.encode(), result.stderr)
        self.qov("create", "--force", "--capacity", "10", archive)
        self.assertEqual(self.qov_json("info", "--json", archive)["max_file_count"], 10)

    def test_bad_values_are_usage_errors(self):
        archive = self.path("bad.qov")
        for options in (["--capacity", "0"], ["--capacity", "abc"], ["--capacity", "16777217"],
                        ["--sector-size-exp", "23"], ["--sector-size", "1000"],
                        ["--sector-size", "4096", "--sector-size-exp", "3"],
                        ["--piece-size", "0"], ["--header-offset", "100"],
                        ["--format-version", "65536"], ["--piece-size", "-5"]):
            result = self.qov("create", *options, archive, expect=2)
            self.assertIn(b"usage: qov create", result.stderr)
        self.assertFalse(os.path.exists(archive))


class AddListCatTest(QovTestCase):
    def setUp(self):
        super().setUp()
        self.archive = self.new_archive()
        self.src = self.path("src")
        self.files = make_sample_tree(self.src)

    def test_folder_is_stored_under_relative_names(self):
        self.qov("add", self.archive, self.src)
        entries = self.listing(self.archive)
        names = [entry["name"] for entry in entries]
        self.assertEqual(len(names), len(set(names)))
        for entry in entries:
            self.assertEqual(set(entry), {"name", "flags", "size", "stored_size", "md5"})
            self.assertRegex(entry["md5"], r"^[0-9a-f]{32}$")
            self.assertTrue(entry["flags"] & FILE_EXISTS)
        found = {entry["name"]: entry for entry in entries}
        for name, data in self.files.items():
            self.assertIn(name, found)
            self.assertEqual(found[name]["size"], len(data), name)
            self.assertEqual(found[name]["md5"], md5(data), name)
            self.assertFalse(found[name]["flags"] & FILE_DIRECTORY)
        for folder in ("big", "nested", "nested\\deeper", "nested\\deeper\\deepest", "ünïcödé"):
            self.assertTrue(found[folder]["flags"] & FILE_DIRECTORY, folder)
        self.assertIn("(listfile)", found)
        # Large files are compressed by default; random data may not shrink.
        self.assertTrue(found["big\\large.bin"]["flags"] & FILE_COMPRESS)
        self.assertLess(found["big\\large.bin"]["stored_size"], len(self.files["big\\large.bin"]))

    def test_file_under_base_name_or_as(self):
        note = os.path.join(self.src, "nested", "deeper", "deepest", "note.txt")
        self.qov("add", self.archive, note)
        self.qov("add", "--as", "docs\\renamed.txt", self.archive, note)
        self.qov("add", "--as", "tree", self.archive, os.path.join(self.src, "nested"))
        found = self.by_name(self.archive)
        self.assertEqual(found["note.txt"]["md5"], md5(self.files["nested\\deeper\\deepest\\note.txt"]))
        self.assertIn("docs\\renamed.txt", found)
        self.assertIn("tree\\deeper\\deepest\\note.txt", found)

    def test_every_flag_option(self):
        large = os.path.join(self.src, "big", "large.bin")
        sector = os.path.join(self.src, "one_sector.bin")
        cases = [
            # (options, bits that must be set, bits that must be clear)
            ([], FILE_COMPRESS, FILE_ENCRYPTED | FILE_SECTOR_CRC | FILE_SINGLE_UNIT),
            (["--no-compress"], 0, FILE_COMPRESSED | FILE_ENCRYPTED),
            (["--encrypt"], FILE_ENCRYPTED | FILE_COMPRESS, FILE_FIX_KEY),
            (["--fix-key"], FILE_ENCRYPTED | FILE_FIX_KEY, 0),
            (["--crc"], FILE_SECTOR_CRC | FILE_COMPRESS, 0),
            (["--single-unit"], FILE_SINGLE_UNIT, 0),
            (["--flags", "0x00100000"], FILE_FLAG_20, 0),
            (["--flags", "0x40000000"], FILE_FLAG_30, 0),
            (["--crc", "--encrypt", "--fix-key"],
             FILE_SECTOR_CRC | FILE_COMPRESS | FILE_ENCRYPTED | FILE_FIX_KEY, 0),
            # Sector checksums live beside the sector offset table, which
            # files stored as they are do not have: the library drops them.
            (["--no-compress", "--encrypt", "--crc"], FILE_ENCRYPTED,
             FILE_COMPRESSED | FILE_SECTOR_CRC),
            (["--single-unit", "--encrypt", "--no-compress"], FILE_SINGLE_UNIT | FILE_ENCRYPTED,
             FILE_COMPRESSED),
        ]
        expected = {}
        for number, (options, _, _) in enumerate(cases):
            for source, data in ((large, self.files["big\\large.bin"]),
                                 (sector, self.files["one_sector.bin"])):
                name = "case%d\\%s" % (number, os.path.basename(source))
                self.qov("add", *options, "--as", name, self.archive, source)
                expected[name] = (number, data)
        found = self.by_name(self.archive)
        for name, (number, data) in expected.items():
            options, set_bits, clear_bits = cases[number]
            entry = found[name]
            self.assertEqual(entry["flags"] & set_bits, set_bits, "%s %s" % (name, options))
            self.assertEqual(entry["flags"] & clear_bits, 0, "%s %s" % (name, options))
            self.assertEqual(entry["size"], len(data))
            self.assertEqual(entry["md5"], md5(data))
            if "--no-compress" in options and "--crc" not in options:
                self.assertEqual(entry["stored_size"], len(data), name)
            self.assertEqual(self.qov("cat", self.archive, name).stdout, data, name)
        self.assertEqual(self.qov_json("verify", "--json", self.archive)["bad_files"], [])
        self.qov("extract", "-o", self.path("out"), self.archive)
        extracted = read_tree(self.path("out"))
        for name, (_, data) in expected.items():
            self.assertEqual(extracted[name.replace("\\", "/")], data, name)

    def test_small_files_lose_flags_as_the_library_says(self):
        write_file(self.path("three.bin"), b"abc")
        write_file(self.path("twenty.bin"), b"x" * 20)
        self.qov("add", "--encrypt", "--crc", self.archive, self.path("three.bin"),
                 self.path("twenty.bin"))
        found = self.by_name(self.archive)
        self.assertEqual(found["three.bin"]["flags"], FILE_EXISTS)
        self.assertEqual(found["twenty.bin"]["flags"], FILE_EXISTS | FILE_ENCRYPTED)
        self.assertEqual(found["three.bin"]["md5"], md5(b"abc"))

    def test_empty_file_with_any_common_option_records_its_md5(self):
        for options in ([], ["--no-compress"], ["--encrypt"], ["--crc"], ["--fix-key"]):
            name = "empty%s.dat" % "".join(options)
            self.qov("add", *options, "--as", name, self.archive, self.path("src", "empty.dat"))
            entry = self.by_name(self.archive)[name]
            self.assertEqual(entry["size"], 0)
            self.assertEqual(entry["md5"], md5(b""), options)
            self.assertEqual(self.qov("cat", self.archive, name).stdout, b"")

    def test_empty_single_unit_file_records_its_md5(self):
        # A 0-byte file written with SFileCreateFileEx and finished with
        # SFileFinishFile carries the MD5 of the empty content.
        self.qov("add", "--single-unit", "--as", "e.dat", self.archive, self.path("src", "empty.dat"))
        self.assertEqual(self.by_name(self.archive)["e.dat"]["md5"], md5(b""))

    def test_cat_is_byte_exact(self):
        self.qov("add", self.archive, self.src)
        for name, data in self.files.items():
            self.assertEqual(self.qov("cat", self.archive, name).stdout, data, name)
        # Names match without regard to case or slash direction.
        self.assertEqual(self.qov("cat", self.archive, "BIG/Large.BIN").stdout,
                         self.files["big\\large.bin"])
        result = self.qov("cat", self.archive, "no\\such.file", expect=1)
        self.assertIn(b"ERROR_FILE_NOT_FOUND (2)", result.stderr)
        self.assertIn(b"no\\such.file", result.stderr)
        result = self.qov("cat", self.archive, "big", expect=1)
        self.assertIn(b"'big'", result.stderr)

    def test_json_escapes_names(self):
        # The library refuses control bytes in names (they could not come
        # back from the list file), so DEL stands in for them.
        name = 'odd "quoted" back\\slash\x7fdel ünï €'
        write_file(self.path("odd.txt"), b"odd")
        self.qov("add", "--as", name, self.archive, self.path("odd.txt"))
        raw = self.qov("list", "--json", self.archive).stdout
        raw.decode("utf-8")  # valid UTF-8
        self.assertIn(b'odd \\"quoted\\" back\\\\slash\\u007fdel', raw)
        self.assertIn("ünï €".encode(), raw, "UTF-8 passes through unescaped")
        entries = json.loads(raw)
        self.assertIn(name, [entry["name"] for entry in entries])
        self.assertEqual(self.qov("cat", self.archive, name).stdout, b"odd")

    def test_human_table(self):
        self.qov("add", self.archive, self.src)
        text = self.qov("list", self.archive).stdout.decode()
        for name, data in self.files.items():
            self.assertRegex(text, r"(?m)^\s*%d\s+\d+\s+0x[0-9A-F]{8}\s.*  %s$" % (
                len(data), re.escape(name)))

    def test_existing_name_is_refused_and_archive_kept(self):
        self.qov("add", self.archive, self.src)
        before = self.listing(self.archive)
        write_file(self.path("readme.txt"), b"another readme")
        result = self.qov("add", self.archive, self.path("readme.txt"), expect=1)
        self.assertIn(b"ERROR_ALREADY_EXISTS (183)", result.stderr)
        self.assertEqual(self.qov("cat", self.archive, "readme.txt").stdout,
                         self.files["readme.txt"])
        self.assertEqual(sorted(e["name"] for e in self.listing(self.archive)),
                         sorted(e["name"] for e in before))
        self.qov("verify", self.archive)

    def test_missing_path_and_bad_archive(self):
        result = self.qov("add", self.archive, self.path("nothing-here"), expect=1)
        self.assertIn(b"nothing-here", result.stderr)
        self.assertEqual(self.listing(self.archive), [])
        write_file(self.path("plain.txt"), b"not an archive at all" * 100)
        result = self.qov("add", self.path("plain.txt"), self.src, expect=1)
        self.assertIn(b"cannot open archive", result.stderr)
        self.assertIn(b"ERROR_BAD_FORMAT (11)", result.stderr)
        result = self.qov("add", self.path("missing.qov"), self.src, expect=1)
        self.assertIn(b"ERROR_FILE_NOT_FOUND (2)", result.stderr)

    def test_reserved_name_is_refused(self):
        result = self.qov("add", "--as", "(listfile)", self.archive, self.path("src", "readme.txt"),
                          expect=1)
        self.assertIn(b"ERROR_QOV_INTERNAL_FILE_NAME (10003)", result.stderr)


class ExtractTest(QovTestCase):
    def setUp(self):
        super().setUp()
        self.archive = self.new_archive()
        self.src = self.path("src")
        self.files = make_sample_tree(self.src)
        self.qov("add", self.archive, self.src)

    def test_extract_all(self):
        self.qov("extract", self.archive, "-o", self.path("out"))
        self.assertEqual(read_tree(self.path("out")), read_tree(self.src))

    def test_extract_into_current_folder_by_default(self):
        os.makedirs(self.path("here"))
        self.qov("extract", self.archive, cwd=self.path("here"))
        self.assertEqual(read_tree(self.path("here")), read_tree(self.src))

    def test_extract_named(self):
        self.qov("extract", "--output", self.path("out"), self.archive, "big\\large.bin",
                 "ünïcödé/名字.txt")
        self.assertEqual(read_tree(self.path("out")), {
            "big/large.bin": self.files["big\\large.bin"],
            "ünïcödé/名字.txt": self.files["ünïcödé\\名字.txt"],
        })

    def test_non_ascii_archive_and_disk_paths(self):
        # The command line carries names outside ASCII (on Windows as UTF-16):
        # the archive's own path, the source file's path and the target folder.
        source = self.path("données", "größe €.txt")
        write_file(source, "wörter 字\n".encode() * 50)
        archive = self.new_archive("архив 名字.qov")
        self.qov("add", "--as", "目录\\文件.txt", archive, source)
        names = [entry["name"] for entry in self.qov_json("list", "--json", archive)]
        self.assertIn("目录\\文件.txt", names)
        self.qov("extract", "-o", self.path("выход"), archive, "目录\\文件.txt")
        with open(self.path("выход", "目录", "文件.txt"), "rb") as f:
            self.assertEqual(f.read(), "wörter 字\n".encode() * 50)
        self.assertEqual(self.qov("cat", archive, "目录/文件.txt").stdout, "wörter 字\n".encode() * 50)

    def test_jobs_give_identical_trees(self):
        # More files, so that three workers really share them.
        for i in range(40):
            write_file(self.path("more", "f%02d" % (i % 7), "file%02d.bin" % i),
                       pseudo_random(100 + i, 1000 * i))
        self.qov("add", "--as", "more", self.archive, self.path("more"))
        self.qov("extract", "--jobs", "1", "-o", self.path("one"), self.archive)
        self.qov("extract", "-j", "3", "-o", self.path("three"), self.archive)
        self.qov("extract", "-j3", "-o", self.path("many"), self.archive)
        one = read_tree(self.path("one"))
        self.assertEqual(len(one), len(self.files) + 40)
        self.assertEqual(one, read_tree(self.path("three")))
        self.assertEqual(one, read_tree(self.path("many")))
        self.assertEqual({k: v for k, v in one.items() if not k.startswith("more/")},
                         read_tree(self.src))

    def test_missing_name_fails_but_others_are_extracted(self):
        result = self.qov("extract", "-o", self.path("out"), self.archive, "readme.txt",
                          "missing.txt", expect=1)
        self.assertIn(b"missing.txt", result.stderr)
        self.assertIn(b"ERROR_FILE_NOT_FOUND (2)", result.stderr)
        self.assertEqual(read_tree(self.path("out")), {"readme.txt": self.files["readme.txt"]})

    def test_names_leaving_the_folder_are_refused(self):
        self.qov("add", "--as", "..\\escape.txt", self.archive, self.path("src", "readme.txt"))
        os.makedirs(self.path("out"))
        result = self.qov("extract", "-o", self.path("out"), self.archive, expect=1)
        self.assertIn(b"..\\escape.txt", result.stderr)
        self.assertFalse(os.path.exists(self.path("escape.txt")))
        self.assertEqual(read_tree(self.path("out")), read_tree(self.src))

    def test_a_file_and_its_part_name_keep_their_own_content(self):
        # "a" is large, so that with several jobs "a.part" is written while
        # "a" is still being extracted; nothing already in the folder is lost.
        contents = {"a": pseudo_random(1, 3 << 20), "a.part": pseudo_random(2, 1000)}
        for name, content in contents.items():
            write_file(self.path("parts", name), content)
        for order in (("a", "a.part"), ("a.part", "a")):
            archive = self.new_archive("%s-first.qov" % order[0])
            for name in order:
                self.qov("add", "--no-compress", "--as", name, archive, self.path("parts", name))
            for jobs in ("1", "4"):
                out = self.path("out-%s-%s" % (order[0], jobs))
                kept = {"a.tmp": b"kept", "a.part.part": b"kept too"}
                for name, content in kept.items():
                    write_file(os.path.join(out, name), content)
                self.qov("extract", "-j", jobs, "-o", out, archive)
                digests = {name: md5(content) for name, content in read_tree(out).items()}
                self.assertEqual(digests, {name: md5(content) for name, content in dict(contents, **kept).items()},
                                 "%s first, %s jobs" % (order[0], jobs))

    def test_device_names_are_refused_on_windows(self):
        devices = ["nul.txt", "sub\\Com1.dat", "AUX", "lpt9.log"]
        for name in devices:
            self.qov("add", "--as", name, self.archive, self.path("src", "readme.txt"))
        out = self.path("out")
        if not EMULATOR and os.name != "nt":
            # Not devices here: ordinary files.
            self.qov("extract", "-o", out, self.archive)
            self.assertEqual(len(read_tree(out)), len(self.files) + len(devices))
            return
        result = self.qov("extract", "-j", "2", "-o", out, self.archive, expect=1)
        for name in devices:
            self.assertIn(("not extracting '%s'" % name).encode(), result.stderr)
        self.assertEqual(read_tree(out), read_tree(self.src))


class VerifyTest(QovTestCase):
    def corrupt_archive(self):
        """An archive with one file of 64 KiB stored as it is in 4 KiB pieces,
        and one byte of that file flipped on disk.  Returns (archive, piece)."""
        archive = self.new_archive("damaged.qov", "--piece-size", "4096")
        payload = pseudo_random(42, 65536)
        write_file(self.path("payload.bin"), payload)
        self.qov("add", "--no-compress", archive, self.path("payload.bin"))
        self.assertEqual(self.qov_json("verify", "--json", archive)["bad_pieces"], [])
        piece_size = self.qov_json("info", "--json", archive)["piece_size"]
        with open(archive, "rb") as f:
            data = bytearray(f.read())
        start = data.find(payload)
        self.assertGreaterEqual(start, 0, "the stored bytes are the content")
        position = start + 20000
        data[position] ^= 0x55
        with open(archive, "wb") as f:
            f.write(data)
        return archive, position // piece_size

    def test_clean_archive(self):
        archive = self.new_archive()
        make_sample_tree(self.path("src"))
        self.qov("add", archive, self.path("src"))
        result = self.qov("verify", archive)
        self.assertIn(b"intact", result.stdout)
        self.assertEqual(result.stderr, b"", "no progress bar when stderr is not a terminal")
        info = self.qov_json("info", "--json", archive)
        report = self.qov_json("verify", "--json", archive)
        self.assertEqual(report, {"pieces": info["piece_count"],
                                  "last_piece_size": info["last_piece_size"],
                                  "bad_pieces": [], "bad_files": [], "deep": False})
        self.assertEqual(self.qov_json("verify", "--deep", "--json", archive),
                         dict(report, deep=True))

    def test_one_damaged_byte(self):
        archive, piece = self.corrupt_archive()
        with open(archive, "rb") as f:
            before = f.read()
        report = self.qov_json("verify", "--json", archive, expect=1)
        self.assertEqual(report["bad_pieces"], [piece])
        self.assertEqual(report["bad_files"], ["payload.bin"])
        result = self.qov("verify", archive, expect=1)
        text = result.stdout.decode()
        self.assertIn("1 bad: %d" % piece, text)
        self.assertIn("payload.bin", text)
        self.assertIn("bad file payload.bin (holds bad piece %d)" % piece, text)
        self.assertIn("damage found", text)
        deep = self.qov_json("verify", "--deep", "--json", archive, expect=1)
        self.assertEqual((deep["bad_pieces"], deep["bad_files"], deep["deep"]),
                         ([piece], ["payload.bin"], True))
        with open(archive, "rb") as f:
            self.assertEqual(f.read(), before, "verify writes nothing")
        # Reading checks the pieces too.
        self.qov("cat", archive, "payload.bin", expect=1)
        result = self.qov("extract", "-o", self.path("out"), archive, expect=1)
        self.assertIn(b"payload.bin", result.stderr)

    def test_files_sharing_a_bad_piece_are_all_named(self):
        archive = self.new_archive("shared.qov", "--piece-size", "4096")
        first, second = pseudo_random(5, 1500), pseudo_random(6, 1500)
        write_file(self.path("src", "first.bin"), first)
        write_file(self.path("src", "second.bin"), second)
        self.qov("add", "--no-compress", archive, self.path("src"))
        with open(archive, "r+b") as f:
            data = f.read()
            start = data.find(first)
            self.assertGreaterEqual(start, 0)
            self.assertEqual((start + len(first)) // 4096, data.find(second) // 4096,
                             "both files lie in one piece")
            f.seek(start + 10)
            f.write(bytes([data[start + 10] ^ 1]))
        # The list file (compressed) lies in that piece too: it holds a bad
        # piece, but reading it finds its content whole.
        for options, files in (((), ["(listfile)", "first.bin", "second.bin"]),
                               (("--deep",), ["first.bin", "second.bin"])):
            with self.subTest(options=options):
                report = self.qov_json("verify", "--json", *options, archive, expect=1)
                self.assertEqual(report["bad_pieces"], [(start + 10) // 4096])
                self.assertEqual(sorted(report["bad_files"]), files)

    def test_deep_finds_content_stored_wrong(self):
        """A file whose stored bytes were wrong when its piece digests were
        made: every piece verifies, only reading the file finds it."""
        archive = self.new_archive("wrong.qov", "--piece-size", "4096")
        payload = pseudo_random(43, 20000)
        write_file(self.path("payload.bin"), payload)
        self.qov("add", "--no-compress", archive, self.path("payload.bin"))
        info = self.qov_json("info", "--json", archive)
        with open(archive, "r+b") as f:
            data = bytearray(f.read())
            start = data.find(payload)
            self.assertGreaterEqual(start, 0)
            position = start + 5000
            data[position] ^= 0x10
            # The piece's digest and the piece table's own digest made anew.
            piece, size = position // info["piece_size"], info["piece_size"]
            table, table_size = info["md5_table_pos"], info["md5_table_size"]
            data[table + 16 * piece:table + 16 * piece + 16] = hashlib.md5(
                data[piece * size:(piece + 1) * size]).digest()
            data[table + table_size - 16:table + table_size] = hashlib.md5(
                data[table:table + table_size - 16]).digest()
            f.seek(0)
            f.write(data)
        self.assertEqual(self.qov_json("verify", "--json", archive),
                         {"pieces": info["piece_count"], "last_piece_size": info["last_piece_size"],
                          "bad_pieces": [], "bad_files": [], "deep": False})
        self.assertIn(b"--deep also reads each one", self.qov("verify", archive).stdout)
        report = self.qov_json("verify", "--deep", "--json", archive, expect=1)
        self.assertEqual((report["bad_pieces"], report["bad_files"]), ([], ["payload.bin"]))
        text = self.qov("verify", "--deep", archive, expect=1).stdout.decode()
        self.assertIn("bad file payload.bin (MD5 mismatch)", text)
        self.assertIn("damage found", text)

    def test_jobs_and_kernels_give_the_same_report(self):
        archive, piece = self.corrupt_archive()
        make_sample_tree(self.path("more"))
        expected = self.qov_json("verify", "--json", "--jobs", "1", archive, expect=1)
        self.assertEqual(expected["bad_pieces"], [piece])
        runs = [["--jobs", "2"], ["-j", "7"], ["--jobs", "3", "--deep"]]
        for kernel in ("scalar", "avx2", "avx512", "auto"):
            if kernel_missing(kernel):
                result = self.qov("verify", "--md5", kernel, archive, expect=2)
                self.assertIn(b"the MD5 kernel '%s' is not supported on this machine" % kernel.encode(),
                              result.stderr)
                self.assertEqual(result.stdout, b"")
                continue
            runs += [["--md5", kernel, "--jobs", "1"], ["--md5", kernel, "--jobs", "4", "--deep"]]
        for options in runs:
            with self.subTest(options=options):
                report = self.qov_json("verify", "--json", *options, archive, expect=1)
                self.assertEqual(report, dict(expected, deep="--deep" in options))

    def test_progress_bar_on_a_terminal(self):
        if EMULATOR:
            self.skipTest("an emulated program does not see the pseudo terminal as a console")
        try:
            import pty
        except ImportError:
            self.skipTest("no pseudo terminals here")
        archive = self.new_archive("small.qov", "--piece-size", "4096")
        make_sample_tree(self.path("src"))
        self.qov("add", archive, self.path("src"))
        master, slave = pty.openpty()
        try:
            result = self.run_qov("verify", archive, stderr=slave)
            os.close(slave)
            slave = None
            drawn = b""
            while True:
                try:
                    chunk = os.read(master, 65536)
                except OSError:
                    break
                if not chunk:
                    break
                drawn += chunk
        finally:
            os.close(master)
            if slave is not None:
                os.close(slave)
        self.assertEqual(result.returncode, 0)
        self.assertIn(b"pieces", drawn)
        self.assertIn(b"100%", drawn)

    def test_not_an_archive(self):
        write_file(self.path("plain.txt"), b"just some text\n" * 1000)
        self.assertEqual(self.qov_json("verify", "--json", self.path("plain.txt"), expect=2),
                         {"error": 11})
        result = self.qov("verify", self.path("plain.txt"), expect=2)
        self.assertIn(b"cannot open archive", result.stderr)
        self.assertIn(b"plain.txt", result.stderr)
        self.assertIn(b"ERROR_BAD_FORMAT (11)", result.stderr)

    def test_missing_archive(self):
        missing = self.path("missing.qov")
        self.assertEqual(self.qov_json("verify", "--json", missing, expect=2), {"error": 2})
        result = self.qov("verify", missing, expect=2)
        self.assertIn(b"ERROR_FILE_NOT_FOUND (2)", result.stderr)
        for command in ("list", "info", "extract"):
            result = self.qov(command, missing, expect=1)
            self.assertIn(b"ERROR_FILE_NOT_FOUND (2)", result.stderr)

    def test_read_only_archive_file(self):
        archive = self.new_archive()
        files = make_sample_tree(self.path("src"))
        self.qov("add", archive, self.path("src"))
        os.chmod(archive, stat.S_IRUSR)
        with open(archive, "rb") as f:
            before = f.read()
        self.qov("list", archive)
        self.qov("info", archive)
        self.qov("verify", archive)
        self.assertEqual(self.qov("cat", archive, "readme.txt").stdout, files["readme.txt"])
        self.qov("extract", "-o", self.path("out"), archive)
        self.assertEqual(read_tree(self.path("out")), read_tree(self.path("src")))
        with open(archive, "rb") as f:
            self.assertEqual(f.read(), before)


class FixtureTest(QovTestCase):
    """The interop archives, written by an independent implementation."""

    def manifest(self, case):
        with open(os.path.join(FIXTURES, case + ".json"), encoding="utf-8") as f:
            return json.load(f)

    def test_list_matches_manifest(self):
        for case in ("basic", "many_1000", "methods", "pseudo_names", "header_at_1024"):
            with self.subTest(case=case):
                manifest = self.manifest(case)
                archive = self.copy_fixture(case + ".qov")
                expected = [{"name": f["name"], "flags": int(f["flags"], 16),
                             "size": f["file_size"], "stored_size": f["stored_size"],
                             "md5": f["content_md5"]}
                            for f in manifest["files"] if int(f["flags"], 16) & FILE_EXISTS]
                self.assertEqual(self.listing(archive), expected)

    def test_info_matches_manifest(self):
        keys = ("header_offset", "format_version", "sector_size_exp", "sector_bytes",
                "archive_size", "piece_size", "piece_count", "last_piece_size", "raw_chunk_size",
                "het_pos", "het_size", "bet_pos", "bet_size", "md5_table_pos", "md5_table_size",
                "bitmap_pos", "bitmap_size", "max_file_count", "hash_table_size",
                "file_table_size", "md5_header", "md5_het", "md5_bet", "patch_base_tag",
                "patched_tag")
        for case in ("basic", "header_at_1024", "size_3p5", "sector512_piece3000", "raw_chunks"):
            with self.subTest(case=case):
                manifest = self.manifest(case)
                info = self.qov_json("info", "--json", self.copy_fixture(case + ".qov"))
                for key in keys:
                    self.assertEqual(info[key], manifest[key], key)

    def extractable(self, manifest):
        """Manifest files that `extract` writes: content records other than
        the list file, with the MD5 of what a plain read delivers."""
        for f in manifest["files"]:
            flags = int(f["flags"], 16)
            if flags & (FILE_DIRECTORY | FILE_DELETE_MARKER) or f["name"] == "(listfile)":
                continue
            yield f["name"].replace("\\", "/"), f["read"]["md5"]

    def test_extract_basic(self):
        manifest = self.manifest("basic")
        archive = self.copy_fixture("basic.qov")
        self.qov("extract", "-o", self.path("out"), archive)
        tree = read_tree(self.path("out"))
        expected = dict(self.extractable(manifest))
        self.assertEqual({name: md5(data) for name, data in tree.items()}, expected)
        self.assertIn("中文/名字.txt", tree)
        self.assertEqual(self.qov_json("verify", "--json", archive),
                         {"pieces": manifest["piece_count"],
                          "last_piece_size": manifest["last_piece_size"],
                          "bad_pieces": [], "bad_files": [], "deep": False})
        self.assertEqual(self.qov_json("verify", "--deep", "--json", archive)["bad_files"], [])

    def test_extract_many_with_jobs(self):
        manifest = self.manifest("many_1000")
        archive = self.copy_fixture("many_1000.qov")
        self.qov("extract", "-j", "1", "-o", self.path("one"), archive)
        self.qov("extract", "-j", "4", "-o", self.path("four"), archive)
        one = read_tree(self.path("one"))
        self.assertEqual({name: md5(data) for name, data in one.items()},
                         dict(self.extractable(manifest)))
        self.assertEqual(one, read_tree(self.path("four")))

    def test_corrupt_piece7(self):
        manifest = self.manifest("corrupt_piece7")
        archive = self.copy_fixture("corrupt_piece7.qov")
        report = self.qov_json("verify", "--json", archive, expect=1)
        self.assertEqual(report["bad_pieces"], [7])
        self.assertEqual(report["pieces"], manifest["piece_count"])
        self.assertEqual(report["bad_files"], ["big.bin"])
        self.assertIn(b"1 bad: 7", self.qov("verify", archive, expect=1).stdout)

    def test_archives_that_do_not_open(self):
        for case, error in (("no_signature", 11), ("bad_piece_table", 1392),
                            ("version0_bad_digest", 1392)):
            with self.subTest(case=case):
                self.assertEqual(self.manifest(case)["open_error"], error)
                archive = self.copy_fixture(case + ".qov")
                self.assertEqual(self.qov_json("verify", "--json", archive, expect=2),
                                 {"error": error})
                result = self.qov("list", archive, expect=1)
                self.assertIn(b"(%d)" % error, result.stderr)


class ChainTest(QovTestCase):
    """Patch archives: the fixture chain patch_base.qov + patch_1.qov +
    patch_2.qov (written by an independent implementation), and chains made
    with qov alone."""

    CHAIN = ("patch_base", "patch_1", "patch_2")

    def manifest(self, case):
        with open(os.path.join(FIXTURES, case + ".json"), encoding="utf-8") as f:
            return json.load(f)

    def setUp(self):
        super().setUp()
        self.base, self.p1, self.p2, self.bad = (
            self.copy_fixture(case + ".qov")
            for case in ("patch_base", "patch_1", "patch_2", "patch_bad"))

    def chain_args(self):
        return [self.base, "--patch", self.p1, "--patch", self.p2]

    def expected_winners(self):
        """{name hash: (archive index, manifest record)} of the fixture chain:
        for every name hash, the record of the newest archive holding it."""
        winners = {}
        for index, case in enumerate(self.CHAIN):
            for record in self.manifest(case)["files"]:
                if int(record["flags"], 16) & FILE_EXISTS:
                    winners[int(record["name_hash"], 16)] = (index, record)
        return winners

    def test_list_is_the_winning_record_of_every_name(self):
        listed = self.qov_json("list", "--json", *self.chain_args())
        winners = self.expected_winners()
        self.assertEqual(len(listed), len(winners))
        # File-id order: ascending name hash.
        for entry, name_hash in zip(listed, sorted(winners)):
            archive, record = winners[name_hash]
            self.assertEqual(entry, {"name": record["name"], "flags": int(record["flags"], 16),
                                     "size": record["file_size"],
                                     "stored_size": record["stored_size"],
                                     "md5": record["content_md5"], "archive": archive})

    def test_list_agrees_with_the_chain_manifest(self):
        listed = self.qov_json("list", "--json", *self.chain_args())
        chain = self.manifest("patch_chain")["chain"]
        self.assertEqual(len(listed), len(chain))
        contents = 0
        for entry, link in zip(listed, chain):
            with self.subTest(name=link["name"]):
                flags = entry["flags"]
                if flags & FILE_DELETE_MARKER:
                    # A delete marker has no stored name: its pseudo name.
                    self.assertEqual(entry["name"], ".File%d." % int(link["name_hash"], 16))
                else:
                    self.assertEqual(entry["name"], link["name"])
                if flags & (FILE_DIRECTORY | FILE_DELETE_MARKER):
                    continue
                contents += 1
                self.assertEqual(entry["archive"], link["archive"])
                self.assertEqual(entry["size"], link["read"]["size"])
                data = self.qov("cat", *self.chain_args(), entry["name"]).stdout
                self.assertEqual(len(data), link["read"]["size"])
                self.assertEqual(md5(data), link["read"]["md5"])
                self.assertEqual(md5(data), entry["md5"])
        self.assertEqual(contents, 8)

    def test_cat_through_the_chain_where_ids_and_names_differ(self):
        listed = {entry["name"]: entry for entry in
                  self.qov_json("list", "--json", *self.chain_args())}
        chain = {link["name"]: link for link in self.manifest("patch_chain")["chain"]}
        # 'stuff' is a folder in patch 2 (which wins its id), but opening the
        # name passes over folders to the file of the base below it.
        self.assertTrue(listed["stuff"]["flags"] & FILE_DIRECTORY)
        self.assertEqual(listed["stuff"]["archive"], 2)
        self.assertEqual(chain["stuff"]["archive"], 0)
        data = self.qov("cat", *self.chain_args(), "stuff").stdout
        self.assertEqual(md5(data), chain["stuff"]["read"]["md5"])
        # 'gone.txt' is deleted by patch 2: it reads as empty there.
        self.assertEqual(self.qov("cat", *self.chain_args(), "gone.txt").stdout, b"")
        self.assertEqual(chain["gone.txt"]["read"]["size"], 0)
        base_gone = self.qov("cat", self.base, "gone.txt").stdout
        self.assertEqual(md5(base_gone), "56c6183698c3810d2e86b768e625ec1d")
        # A folder cannot be read, with or without the chain.
        result = self.qov("cat", *self.chain_args(), "dir", expect=1)
        self.assertIn(b"ERROR_NOT_SUPPORTED (50)", result.stderr)
        # Names only a patch has are found through the chain only.
        self.assertEqual(md5(self.qov("cat", self.base, "--patch", self.p1, "p1_only.txt").stdout),
                         "34713c77c49bbd28c91ce2958f3e0496")
        result = self.qov("cat", self.base, "p1_only.txt", expect=1)
        self.assertIn(b"ERROR_FILE_NOT_FOUND (2)", result.stderr)
        # One patch: the version of patch 1.
        data = self.qov("cat", self.base, "--patch", self.p1, "common.txt").stdout
        self.assertEqual(md5(data), "e5c10d821b5f23b978687ff7161d25ca")

    def test_list_without_patches_is_unchanged(self):
        listed = self.listing(self.base)
        manifest = self.manifest("patch_base")
        self.assertEqual([entry["name"] for entry in listed],
                         [f["name"] for f in manifest["files"]])
        for entry in listed:
            self.assertEqual(set(entry), {"name", "flags", "size", "stored_size", "md5"})
        self.assertNotIn(b"archive", self.qov("list", self.base).stdout.splitlines()[0])

    def test_human_table_shows_the_archive(self):
        lines = self.qov("list", *self.chain_args()).stdout.decode().splitlines()
        self.assertEqual(lines[0].split(), ["size", "stored", "flags", "kind", "archive", "name"])
        rows = {line.split()[-1]: line.split() for line in lines[1:-1]}
        self.assertEqual(rows["p1_only.txt"][-2], "1")
        self.assertEqual(rows["common.txt"][-2], "2")
        self.assertEqual(rows["base_only.txt"][-2], "0")
        self.assertIn("11 records, 8 files", lines[-1])

    def refused(self, patches, error_name, code, culprit):
        """Every command that takes --patch refuses the chain PATCHES."""
        args = [self.base]
        for patch in patches:
            args += ["--patch", patch]
        expected = b"%s (%d)" % (error_name, code)
        for command in (["list"], ["list", "--json"], ["cat"], ["extract", "-o", self.path("out")],
                        ["patch-tag"]):
            with self.subTest(command=command):
                extra = ["common.txt"] if command == ["cat"] else []
                result = self.qov(*command, *args, *extra, expect=1)
                self.assertIn(b"cannot attach patch", result.stderr)
                self.assertIn(os.path.basename(culprit).encode(), result.stderr)
                self.assertIn(expected, result.stderr)
                self.assertEqual(result.stdout, b"")
        self.assertEqual(self.qov_json("verify", "--json", *args, expect=2), {"error": code})
        result = self.qov("verify", *args, expect=2)
        self.assertIn(expected, result.stderr)
        self.assertIn(os.path.basename(culprit).encode(), result.stderr)
        self.assertFalse(os.path.exists(self.path("out", "common.txt")))

    def test_refused_patches(self):
        # As the manifests of these chains say.
        for case, results in (("patch_reject", [0, 87]), ("patch_wrong_order", [87, 0]),
                              ("patch_twice", [0, 87])):
            self.assertEqual([p["attach_error"] for p in self.manifest(case)["patches"]], results)
        # patch_bad after patch_1: its base tag is the base's, not patch 1's.
        self.refused([self.p1, self.bad], b"ERROR_INVALID_PARAMETER", 87, self.bad)
        # patch_2 straight on the base.
        self.refused([self.p2], b"ERROR_INVALID_PARAMETER", 87, self.p2)
        # The same patch twice.
        self.refused([self.p1, self.p1], b"ERROR_INVALID_PARAMETER", 87, self.p1)
        # A patch that is not there, and one that is no archive.
        self.refused([self.path("missing.qov")], b"ERROR_FILE_NOT_FOUND", 2, "missing.qov")
        write_file(self.path("plain.txt"), b"no archive here\n" * 100)
        self.refused([self.p1, self.path("plain.txt")], b"ERROR_BAD_FORMAT", 11, "plain.txt")

    def test_extract_the_chain_with_jobs(self):
        chain = {link["name"].replace("\\", "/"): link["read"]["md5"]
                 for link in self.manifest("patch_chain")["chain"] if "read" in link}
        self.qov("extract", "-j", "1", "-o", self.path("one"), *self.chain_args())
        self.qov("extract", "-j", "3", "-o", self.path("three"), *self.chain_args())
        one = read_tree(self.path("one"))
        self.assertEqual(one, read_tree(self.path("three")))
        # Every name whose winner has content, each as the chain reads it.
        self.assertEqual(sorted(one), sorted(["base_only.txt", "p1p2.bin", "p1_only.txt",
                                              "dir/x.txt", "base_p1.txt", "stuff/inner.txt",
                                              "common.txt"]))
        for name, data in one.items():
            self.assertEqual(md5(data), chain[name], name)
        # Named files, on several workers: each worker attaches the patches.
        self.qov("extract", "-j", "2", "-o", self.path("named"), *self.chain_args(),
                 "p1_only.txt", "p1p2.bin", "common.txt")
        self.assertEqual({name: md5(data) for name, data in read_tree(self.path("named")).items()},
                         {name: chain[name] for name in ("p1_only.txt", "p1p2.bin", "common.txt")})

    def piece_figures(self, case, path):
        manifest = self.manifest(case)
        return {"archive": path, "pieces": manifest["piece_count"],
                "last_piece_size": manifest["last_piece_size"], "bad_pieces": []}

    def test_verify_a_clean_chain(self):
        report = self.qov_json("verify", "--json", *self.chain_args())
        base = self.manifest("patch_base")
        self.assertEqual(report, {
            "pieces": base["piece_count"], "last_piece_size": base["last_piece_size"],
            "bad_pieces": [], "bad_files": [], "deep": False,
            "patches": [self.piece_figures("patch_1", self.p1),
                        self.piece_figures("patch_2", self.p2)]})
        self.assertEqual(self.qov_json("verify", "--deep", "--json", *self.chain_args()),
                         dict(report, deep=True))
        text = self.qov("verify", *self.chain_args()).stdout.decode()
        self.assertIn("patch 1 %s" % self.p1, text)
        self.assertIn("patch 2 %s" % self.p2, text)
        self.assertIn("files: 8 checked, 0 bad", text)
        self.assertIn("intact", text)
        # Without patches the report has no "patches".
        self.assertNotIn("patches", self.qov_json("verify", "--json", self.base))

    def test_verify_finds_damage_in_a_patch(self):
        record = next(f for f in self.manifest("patch_2")["files"] if f["name"] == "p1p2.bin")
        position = self.manifest("patch_2")["header_offset"] + record["stored_offset"] + 100
        with open(self.p2, "r+b") as f:
            f.seek(position)
            byte = f.read(1)
            f.seek(position)
            f.write(bytes([byte[0] ^ 0x40]))
        piece = position // self.manifest("patch_2")["piece_size"]
        # Reading every file finds p1p2.bin damaged; the compressed
        # common.txt lies in the same piece with its own bytes whole.
        report = self.qov_json("verify", "--deep", "--json", *self.chain_args(), expect=1)
        self.assertEqual(report["bad_pieces"], [], "the base is whole")
        self.assertEqual(report["patches"][0]["bad_pieces"], [])
        self.assertEqual(report["patches"][1]["bad_pieces"], [piece])
        self.assertEqual(report["bad_files"], ["p1p2.bin"])
        # By their pieces, both files hold the bad one.
        report = self.qov_json("verify", "--json", *self.chain_args(), expect=1)
        self.assertEqual(report["patches"][1]["bad_pieces"], [piece])
        self.assertEqual(sorted(report["bad_files"]), ["common.txt", "p1p2.bin"])
        self.assertIn(b"damage found", self.qov("verify", *self.chain_args(), expect=1).stdout)
        # The base alone and the chain up to patch 1 are still intact.
        self.qov("verify", self.base, "--patch", self.p1)

    def test_info_dump(self):
        for case in ("patch_base", "patch_2"):
            with self.subTest(case=case):
                manifest = self.manifest(case)
                lines = self.qov("info", "--dump", self.path(case + ".qov")).stdout.decode().splitlines()
                self.assertEqual(lines[0], "Header")
                fields = dict(line.split(":", 1) for line in lines[1:] if not line.startswith("isdir["))
                self.assertEqual(fields["MAX_FILE"], str(manifest["max_file_count"]))
                self.assertEqual(fields["HeaderSize"], "172")
                self.assertEqual(fields["wFormatVersion"], str(manifest["format_version"]))
                self.assertEqual(fields["ArchieveSize"], str(manifest["archive_size"]))
                self.assertEqual(fields["wSectorSize"], "(512*2^%d)" % manifest["sector_size_exp"])
                for field, key in (("HetTablePos64", "het_pos"), ("HetTableSize64", "het_size"),
                                   ("BetTablePos64", "bet_pos"), ("BetTableSize64", "bet_size"),
                                   ("MD5TablePos64", "md5_table_pos"),
                                   ("MD5TableSize64", "md5_table_size"),
                                   ("BitmapPos64", "bitmap_pos"), ("BitmapSize64", "bitmap_size"),
                                   ("dwMD5PieceSize", "piece_size"),
                                   ("dwRawChunkSize", "raw_chunk_size")):
                    self.assertEqual(fields[field], str(manifest[key]), field)
                for field, key in (("MD5_BetTable", "md5_bet"), ("MD5_HetTable", "md5_het"),
                                   ("MD5_QOVHeader", "md5_header"),
                                   ("MD5_PatchBaseTag", "patch_base_tag"),
                                   ("MD5_PatchedTag", "patched_tag")):
                    self.assertEqual(fields[field], manifest[key].upper(), field)
                records = [line for line in lines if line.startswith("isdir[")]
                existing = [f for f in manifest["files"] if int(f["flags"], 16) & FILE_EXISTS]
                self.assertEqual(len(records), len(existing))
                for line, f in zip(records, existing):
                    directory = 1 if int(f["flags"], 16) & FILE_DIRECTORY else 0
                    self.assertTrue(line.startswith("isdir[%d]FileName[%s] size[%d] compSize[%d] "
                                                    "name_hash[%d] md5[%s]" % (
                                                        directory, f["name"], f["file_size"],
                                                        f["stored_size"], int(f["name_hash"], 16),
                                                        f["content_md5"].upper())), line)
        result = self.qov("info", "--dump", "--json", self.base, expect=2)
        self.assertIn(b"not both", result.stderr)
        self.assertIn(b"ERROR_FILE_NOT_FOUND (2)",
                      self.qov("info", "--dump", self.path("missing.qov"), expect=1).stderr)

    def test_patch_tag_values(self):
        for case in ("patch_base", "patch_1", "patch_2", "patch_bad"):
            with self.subTest(case=case):
                manifest = self.manifest(case)
                path = self.path(case + ".qov")
                self.assertEqual(self.qov("patch-tag", path).stdout.decode(),
                                 "identity %s\nbase %s\n" % (manifest["version_tag"],
                                                             manifest["patch_base_tag"]))
                self.assertEqual(self.qov_json("patch-tag", "--json", path),
                                 {"identity": manifest["version_tag"],
                                  "base": manifest["patch_base_tag"]})
        # Over a chain: the identity of its newest archive, the base's own base tag.
        self.assertEqual(self.qov_json("patch-tag", "--json", self.base, "--patch", self.p1),
                         {"identity": self.manifest("patch_1")["version_tag"],
                          "base": "0" * 32})
        self.assertEqual(self.qov_json("patch-tag", "--json", *self.chain_args()),
                         {"identity": self.manifest("patch_2")["version_tag"],
                          "base": "0" * 32})
        # Each patch's base tag is the identity of the chain it was made for.
        self.assertEqual(self.qov_json("patch-tag", "--json", self.p2)["base"],
                         self.qov_json("patch-tag", "--json", self.base, "--patch",
                                       self.p1)["identity"])

    def test_build_a_chain_with_qov_alone(self):
        files = {"a.txt": b"first version\n" * 300, "b.bin": pseudo_random(5, 9000),
                 "c.txt": b"only in the base\n"}
        for name, data in files.items():
            write_file(self.path("v0", name), data)
        base = self.new_archive("base.qov", "--piece-size", "4096")
        self.qov("add", base, self.path("v0"))
        identity = self.qov_json("patch-tag", "--json", base)["identity"]
        self.assertRegex(identity, r"^[0-9a-f]{32}$")

        # Patch 1: a new a.txt and a new file.
        write_file(self.path("v1", "a.txt"), b"second version\n" * 200)
        write_file(self.path("v1", "new.txt"), b"added by patch 1\n")
        p1 = self.new_archive("p1.qov", "--piece-size", "4096")
        self.qov("add", "--base-tag", identity.upper(), p1, self.path("v1"))
        self.assertEqual(self.qov_json("patch-tag", "--json", p1)["base"], identity)

        # Patch 2 on top of patch 1: a new b.bin.
        chain_identity = self.qov_json("patch-tag", "--json", base, "--patch", p1)["identity"]
        self.assertEqual(chain_identity, self.qov_json("patch-tag", "--json", p1)["identity"])
        write_file(self.path("v2", "b.bin"), pseudo_random(6, 12000))
        p2 = self.new_archive("p2.qov")
        self.qov("add", "--base-tag", chain_identity, "--no-compress", p2, self.path("v2", "b.bin"))

        chain = [base, "--patch", p1, "--patch", p2]
        listed = {entry["name"]: entry for entry in self.qov_json("list", "--json", *chain)}
        self.assertEqual({name: listed[name]["archive"] for name in
                          ("a.txt", "b.bin", "c.txt", "new.txt")},
                         {"a.txt": 1, "b.bin": 2, "c.txt": 0, "new.txt": 1})
        self.assertEqual(listed["(listfile)"]["archive"], 2)
        self.assertEqual(self.qov("cat", *chain, "a.txt").stdout, b"second version\n" * 200)
        self.assertEqual(self.qov("cat", *chain, "b.bin").stdout, pseudo_random(6, 12000))
        self.assertEqual(self.qov("cat", *chain, "c.txt").stdout, files["c.txt"])
        self.assertEqual(self.qov("cat", *chain, "new.txt").stdout, b"added by patch 1\n")
        report = self.qov_json("verify", "--json", *chain)
        self.assertEqual((report["bad_pieces"], report["bad_files"]), ([], []))
        self.assertEqual([p["bad_pieces"] for p in report["patches"]], [[], []])
        self.qov("extract", "-o", self.path("out"), *chain)
        self.assertEqual(read_tree(self.path("out")), {
            "a.txt": b"second version\n" * 200, "b.bin": pseudo_random(6, 12000),
            "c.txt": files["c.txt"], "new.txt": b"added by patch 1\n"})

        # Patch 2 does not fit the base alone, nor does patch 1 twice.
        result = self.qov("list", base, "--patch", p2, expect=1)
        self.assertIn(b"ERROR_INVALID_PARAMETER (87)", result.stderr)
        self.qov("list", base, "--patch", p1, "--patch", p1, expect=1)

    def test_base_tag_needs_files_and_hex(self):
        archive = self.new_archive("p.qov")
        os.makedirs(self.path("empty"))
        with open(archive, "rb") as f:
            before = f.read()
        result = self.qov("add", "--base-tag", "ab" * 16, archive, self.path("empty"), expect=1)
        self.assertIn(b"base tag is not set", result.stderr)
        with open(archive, "rb") as f:
            self.assertEqual(f.read(), before)
        for tag in ("ab" * 15, "ab" * 17, "xy" * 16, "0x" + "ab" * 15, ""):
            with self.subTest(tag=tag):
                result = self.qov("add", "--base-tag", tag, archive, self.path("empty"), expect=2)
                self.assertIn(b"--base-tag must be 32 hex digits", result.stderr)
        self.assertEqual(self.qov_json("patch-tag", "--json", archive)["base"], "0" * 32)


class RepairTest(QovTestCase):
    """`qov repair --from MIRROR`: a mirror archive on disk as the source
    (the web sources have their own tests, repair/tests)."""

    def mirror_and_copy(self):
        """A mirror with the sample tree in 4 KiB pieces, and a copy of it as
        the archive to repair.  Returns (mirror, archive, files)."""
        mirror = self.new_archive("mirror.qov", "--piece-size", "4096")
        files = make_sample_tree(self.path("src"))
        self.qov("add", mirror, self.path("src"))
        archive = self.path("game.qov")
        shutil.copyfile(mirror, archive)
        return mirror, archive, files

    def damage(self, archive, pieces, at=100):
        with open(archive, "r+b") as f:
            for piece in pieces:
                f.seek(piece * 4096 + at)
                f.write(bytes(range(1, 33)))

    def assertLikeMirror(self, archive, files):
        self.assertEqual(self.qov_json("verify", "--json", archive)["bad_pieces"], [])
        out = self.path("out-%d" % len(os.listdir(self.tmp)))
        self.qov("extract", "-o", out, archive)
        self.assertEqual(read_tree(out), {name.replace("\\", "/"): data for name, data in files.items()})

    def test_damaged_pieces_come_from_the_mirror(self):
        mirror, archive, files = self.mirror_and_copy()
        info = self.qov_json("info", "--json", mirror)
        pieces = [1, 2, 5, info["het_pos"] // 4096 - 1]
        self.damage(archive, pieces)
        with open(archive, "rb") as f:
            before = f.read()
        result = self.qov("repair", "--dry-run", archive, "--from", mirror)
        self.assertIn(b"plan: 4 pieces, 16384 bytes to fetch", result.stdout)
        with open(archive, "rb") as f:
            self.assertEqual(f.read(), before, "a dry run writes nothing")
        report = self.qov_json("repair", "--json", "--jobs", "2", archive, "--from", mirror)
        self.assertEqual(report["plan"]["piece_list"], pieces)
        self.assertEqual(report["result"]["outcome"], "repaired")
        self.assertEqual(report["result"]["pieces_stored"], 4)
        self.assertLikeMirror(archive, files)
        result = self.qov("repair", archive, "--from", mirror)
        self.assertIn(b"plan: 0 pieces, 0 bytes to fetch, 0 files affected", result.stdout)

    def test_a_missing_archive_or_unreadable_tables_are_rebuilt(self):
        mirror, archive, files = self.mirror_and_copy()
        os.remove(archive)
        report = self.qov_json("repair", "--json", archive, "--from", mirror)
        self.assertTrue(report["plan"]["archive_missing"])
        self.assertEqual(report["result"]["outcome"], "repaired")
        self.assertLikeMirror(archive, files)
        info = self.qov_json("info", "--json", mirror)
        with open(archive, "r+b") as f:
            f.seek(info["het_pos"] + 16)
            f.write(b"\xff" * 64)
        result = self.qov("repair", archive, "--from", mirror)
        self.assertIn(b"tables cannot be read", result.stdout)
        self.assertLikeMirror(archive, files)

    def test_sources_and_archives_that_cannot_be_used(self):
        mirror, archive, _ = self.mirror_and_copy()
        self.damage(archive, [1])
        with open(archive, "rb") as f:
            before = f.read()
        result = self.qov("repair", archive, "--from", self.path("nowhere.qov"), expect=2)
        self.assertIn(b"nowhere.qov", result.stderr)
        other = self.new_archive("other.qov", "--piece-size", "4096")
        write_file(self.path("one.bin"), pseudo_random(9, 50000))
        self.qov("add", other, self.path("one.bin"))
        result = self.qov("repair", archive, "--from", other, expect=2)
        self.assertIn(b"another version", result.stderr)
        with open(archive, "rb") as f:
            self.assertEqual(f.read(), before, "nothing written")
        self.qov("repair", archive, expect=2)


class UsageTest(QovTestCase):
    def test_help(self):
        for args in (["help"], ["--help"], ["-h"]):
            result = self.qov(*args)
            self.assertIn(b"usage: qov", result.stdout)
            for command in (b"create", b"add", b"list", b"cat", b"extract", b"verify", b"info",
                            b"patch-tag", b"repair"):
                self.assertIn(command, result.stdout)
        self.assertIn(b"--capacity", self.qov("help", "create").stdout)
        self.assertIn(b"--jobs", self.qov("extract", "--help").stdout)
        for command in ("list", "cat", "extract", "verify", "patch-tag"):
            self.assertIn(b"--patch PATCH", self.qov(command, "--help").stdout)
        self.assertIn(b"--base-tag HEX", self.qov("add", "--help").stdout)
        self.assertIn(b"--dump", self.qov("info", "--help").stdout)
        verify = self.qov("verify", "--help").stdout
        for option in (b"--deep", b"--jobs N", b"--md5 KERNEL", b"use --deep"):
            self.assertIn(option, verify)
        overview = self.qov("help").stdout.decode()
        for command in HASHING_COMMANDS:
            if re.search(r"^  %s " % command, overview, re.M):  # repair: not in every build
                self.assertIn(b"--md5 KERNEL", self.qov(command, "--help").stdout, command)

    def test_version(self):
        # The product's version, with git describe's suffix off a release tag.
        result = self.qov("--version")
        self.assertRegex(result.stdout.decode(),
                         r"^qov \d+\.\d+\.\d+(-\d+-g[0-9a-f]{12})?(-dirty)?\r?\n$")
        self.assertIn(b"--version", self.qov("help").stdout)
        self.qov("--version", "list", expect=2)

    def test_bad_usage_exits_2(self):
        archive = self.path("a.qov")
        for args in ([], ["frobnicate"], ["help", "frobnicate"], ["create"],
                     ["create", archive, "extra"], ["list"], ["list", "--bogus", archive],
                     ["add", archive], ["add", "--as", "x", archive, "p1", "p2"],
                     ["add", "--flags", "0x8", archive, "p"], ["cat", archive],
                     ["cat", archive, "a", "b"], ["extract"], ["extract", archive, "--jobs", "0"],
                     ["extract", archive, "--jobs", "x"], ["extract", archive, "-o"],
                     ["verify"], ["verify", archive, "b"], ["info"], ["info", "--json=1", archive],
                     ["list", archive, "--patch"], ["cat", archive, "--patch", "p"],
                     ["verify", "--patch", "p"], ["info", "--dump", "--json", archive],
                     ["info", "--dump=1", archive], ["patch-tag"], ["patch-tag", archive, "b"],
                     ["patch-tag", "--bogus", archive],
                     ["add", "--base-tag", "123", archive, "p"], ["add", "--base-tag", archive],
                     ["verify", "--jobs", "0", archive], ["verify", "-j", "x", archive],
                     ["verify", "--md5", "sse", archive], ["extract", "--md5", archive],
                     ["add", "--md5", "AVX2", archive, "p"], ["list", "--md5", "auto", archive]):
            with self.subTest(args=args):
                result = self.qov(*args, expect=2)
                self.assertIn(b"qov:", result.stderr)
                self.assertIn(b"usage:", result.stderr)
                self.assertEqual(result.stdout, b"")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: test_qov.py PATH_TO_QOV [--md5 KERNEL] [unittest options]")
    QOV = os.path.abspath(sys.argv[1])
    rest = sys.argv[2:]
    if rest[:1] == ["--md5"]:
        if len(rest) < 2:
            sys.exit("--md5 needs a kernel")
        MD5_KERNEL, rest = rest[1], rest[2:]
        if kernel_missing(MD5_KERNEL):
            print("skipped: the MD5 kernel %s is not supported on this machine" % MD5_KERNEL)
            sys.exit(EXIT_SKIPPED)
        print("every command that hashes runs with --md5 %s" % MD5_KERNEL)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
