#!/usr/bin/env python3
"""The packages of dist/ as a publisher, a player and an operator get them.

  test_package.py --dist DIST --windows-build BUILD --work WORK [unittest options]

* SHA256SUMS checks the packages (sha256sum -c, inside DIST).
* The zip holds exactly the files it should, under one folder named after
  the version; unpacked into a fresh folder, its .exe and .dll import system
  DLLs only, and their version resources (read with pefile) carry the
  version of the package name.  The notices name the libraries linked in.
* From the unpacked folder, under Wine: the repair tool checks archives made
  with the packaged qov.exe (its window inside Xvfb, driven as in
  repairtool/tests/window_test.py), and MORLHost.exe repairs a game whose
  plug-in folder is the unpacked package (Brevik.dll from the zip, the
  patch-engine stand-ins of BUILD beside it).
* The .deb, unpacked into a scratch root with dpkg -x: its qov prints the
  version and verifies an archive (intact: 0, damaged: 1); its manual page
  has every command of 'qov help'.  The tarball holds qov and qov.1.
* A tool built with mingw-w64 against the zip's QOVLib.h and libnqov.a
  alone writes an archive, reads it back and verifies it under Wine.

BUILD is build/windows: wine-run, MORLHost.exe, morl.dll and MORLCheck.dll.
The repair tool's case needs an X display, xdotool and ImageMagick.
"""

import argparse
import glob
import gzip
import os
import re
import shutil
import subprocess
import sys
import tarfile
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "repairtool", "tests"))
sys.path.insert(0, os.path.join(ROOT, "standin", "host", "tests", "e2e"))
sys.path.insert(0, os.path.join(ROOT, "standin", "host", "tests"))
import window_test  # noqa: E402
import test_repair_e2e as e2e  # noqa: E402
import hostrun  # noqa: E402

DIST = BUILD = WORK = None
OBJDUMP = "x86_64-w64-mingw32-objdump"
FIXTURES = os.path.join(ROOT, "nqov", "tests", "data", "fixtures")
BINARIES = ("Brevik.dll", "MORLRepairTools.exe", "qov.exe")


def only(pattern):
    found = glob.glob(os.path.join(DIST, pattern))
    if len(found) != 1:
        raise AssertionError("%s: %d files in %s" % (pattern, len(found), DIST))
    return found[0]


def version():
    """The version in the zip's name."""
    name = os.path.basename(only("brevik-*-windows-x64.zip"))
    return name[len("brevik-"):-len("-windows-x64.zip")]


def numbers(text):
    """(major, minor, patch, commits after the release) of a version text."""
    match = re.match(r"^(\d+)\.(\d+)\.(\d+)(?:-(\d+)-g[0-9a-f]+)?(?:-dirty)?$", text)
    assert match, text
    return tuple(int(g or 0) for g in match.groups())


def fresh(*parts):
    path = os.path.join(WORK, *parts)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def unpack_zip(where):
    """The zip unpacked (with unzip) into the fresh folder WHERE; its top folder."""
    folder = fresh(where)
    subprocess.run(["unzip", "-q", only("brevik-*-windows-x64.zip"), "-d", folder], check=True)
    return os.path.join(folder, "brevik-%s-windows-x64" % version())


class Checksums(unittest.TestCase):
    def test_sha256sums_check_every_package(self):
        with open(os.path.join(DIST, "SHA256SUMS")) as f:
            names = sorted(line.split()[1] for line in f)
        self.assertEqual(names, sorted(os.path.basename(p) for p in glob.glob(os.path.join(DIST, "*"))
                                       if not p.endswith("SHA256SUMS")))
        self.assertTrue(all("/" not in name for name in names))
        subprocess.run(["sha256sum", "--quiet", "-c", "SHA256SUMS"], cwd=DIST, check=True)


class WindowsZip(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.top = unpack_zip("zip")

    def test_listing(self):
        top = "brevik-%s-windows-x64/" % version()
        with zipfile.ZipFile(only("brevik-*-windows-x64.zip")) as z:
            names = [info.filename for info in z.infolist()]
            times = {info.date_time for info in z.infolist()}
        expected = ["Brevik.dll", "MORLRepairTools.exe", "MORLRepairTools.zip", "README.txt",
                    "THIRD-PARTY-NOTICES.txt", "include/MORLRepair.h", "include/QOVLib.h",
                    "lib/libnqov.a", "qov.exe"]
        self.assertEqual(names, sorted(top + name for name in expected), "sorted, nothing else")
        self.assertEqual(len(times), 1, "one time on every entry (the commit's)")

    def test_binaries_import_system_dlls_only(self):
        result = subprocess.run([os.path.join(ROOT, "cmake", "windows", "check-imports.sh"), OBJDUMP,
                                 self.top], capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(result.stdout.count("\nok ") + result.stdout.startswith("ok "), 3, result.stdout)
        print(result.stdout, end="")

    def test_binaries_are_shipped_without_debug_information(self):
        for name in BINARIES:
            sections = subprocess.run([OBJDUMP, "-h", os.path.join(self.top, name)], check=True,
                                      capture_output=True, text=True).stdout
            self.assertNotIn(".debug_", sections, name)

    def test_version_resources_carry_the_package_version(self):
        import pefile
        major, minor, patch, commits = numbers(version())
        for name in BINARIES:
            pe = pefile.PE(os.path.join(self.top, name))
            fixed = pe.VS_FIXEDFILEINFO[0]
            for ms, ls in ((fixed.FileVersionMS, fixed.FileVersionLS),
                           (fixed.ProductVersionMS, fixed.ProductVersionLS)):
                self.assertEqual((ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF),
                                 (major, minor, patch, commits), name)
            strings = {}
            for info in pe.FileInfo[0]:
                for table in getattr(info, "StringTable", []):
                    strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
            self.assertEqual(strings["FileVersion"], version(), name)
            self.assertEqual(strings["ProductVersion"], version(), name)
            self.assertEqual(strings["OriginalFilename"], name)
            print("%-20s %d.%d.%d.%d  FileVersion %s  ProductVersion %s" % (
                name, major, minor, patch, commits, strings["FileVersion"], strings["ProductVersion"]))
            self.assertEqual(pe.FILE_HEADER.TimeDateStamp, 0, name + ": no link time stamp")

    def test_notices_name_the_linked_libraries(self):
        with open(os.path.join(self.top, "THIRD-PARTY-NOTICES.txt"), encoding="utf-8") as f:
            notices = f.read()
        listed = re.findall(r"^- ([^:]+): .*; in (.*)$", notices, re.M)
        names = {name: binaries.strip() for name, binaries in listed}
        for library in ("zlib", "bzip2", "libtomcrypt", "TinyXML", "SimpleIni", "LZMA SDK decoder",
                        "minizip (zlib's contrib/minizip)", "mingw-w64 runtime and winpthreads"):
            self.assertIn(library, names)
        self.assertIn("Brevik.dll", names["SimpleIni"])
        self.assertIn("MORLRepairTools.exe", names["minizip (zlib's contrib/minizip)"])
        self.assertNotIn("libcurl", names, "the Windows binaries fetch over WinHTTP")
        self.assertTrue("Jean-loup Gailly" in notices, "zlib's text")
        self.assertTrue("Julian R Seward" in notices, "bzip2's text")
        with open(os.path.join(self.top, "README.txt"), encoding="utf-8") as f:
            readme = f.read()
        for needle in (version(), "CreateMORLRepair", "morlfixedconfig.ini", "QosHost", "libnqov.a"):
            self.assertIn(needle, readme)


class FromTheUnpackedZip(unittest.TestCase):
    """The packaged programs run where the zip was unpacked."""

    def test_repair_tool_checks_archives(self):
        if not os.environ.get("DISPLAY") or shutil.which("xdotool") is None:
            self.skipTest("no X display or xdotool: run under xvfb-run")
        top = unpack_zip("tool")
        os.makedirs(os.path.join(top, "MORLDownload"))
        folder = window_test.ProgramFolder.__new__(window_test.ProgramFolder)
        folder.root, folder.wine_run = top, os.path.join(BUILD, "wine-run")
        folder.qov = window_test.windows_path(os.path.join(top, "qov.exe"))
        folder.make_archive("good.qov", 2_000_000, 65536)
        folder.make_archive("damaged.qov", 500_000, 16384)
        folder.damage("damaged.qov")
        names = ["good.qov", "damaged.qov", "missing.qov"]
        folder.write_list(names)
        tool = window_test.RunningTool(folder, fresh("tool-screens"))
        tool.click_at(window_test.START_BUTTON)
        tool.wait_for_passes(1)
        self.assertEqual(folder.result(), [folder.display_path(n) for n in names[1:]])
        tool.screenshot("packaged-tool-after-pass")
        tool.click_at(window_test.CLOSE_BUTTON)
        self.assertEqual(tool.wait_exit(), 0)

    def test_launcher_host_repairs_with_the_packaged_plugin(self):
        e2e.HOST = os.path.join(BUILD, "bin", "MORLHost.exe")
        e2e.BIN = os.path.join(BUILD, "bin")
        e2e.WORK = fresh("host")
        hostrun.EMULATOR = [os.path.join(BUILD, "wine-run")]
        game = e2e.Game("game")
        # The plug-in folder is the unpacked package, with the engine beside it.
        shutil.rmtree(game.plugin)
        shutil.move(unpack_zip("host-zip"), game.plugin)
        for engine in ("morl.dll", "MORLCheck.dll"):
            shutil.copy(os.path.join(BUILD, "bin", engine), game.plugin)
        game.add_file("a.dat", Size=1048576, Sync="2@300")
        game.download_list(["a.dat"])
        game.add_file("r.dat", Size=5, Complete=1, ExtractWrite="fresh")
        os.makedirs(game.plugin_path("data"))
        game.restore_list([("r.dat", "data")])
        run = game.run()
        self.assertEqual(run.code, hostrun.EXIT_SUCCESS, run.describe())
        self.assertIn(e2e.DONE, run.stdout)
        with open(game.plugin_path("data", "r.dat"), "rb") as f:
            self.assertEqual(f.read(), b"fresh")
        self.assertTrue(game.calls(), "the engine beside the packaged plug-in was driven")
        self.assertEqual(game.recorded("version"), e2e.CLIENT_VERSION)


class LibraryInThePackage(unittest.TestCase):
    """A publisher's tool built against include/ and lib/ of the zip alone."""

    def test_a_tool_links_and_writes_reads_verifies(self):
        top = unpack_zip("library")
        work = fresh("library-build")
        exe = os.path.join(work, "library_user.exe")
        subprocess.run(["x86_64-w64-mingw32-g++", "-std=c++17", "-O1", "-static",
                        "-I", os.path.join(top, "include"), os.path.join(HERE, "library_user.cpp"),
                        os.path.join(top, "lib", "libnqov.a"), "-o", exe], check=True)
        archive = window_test.windows_path(os.path.join(work, "made.qov"))
        run = subprocess.run([os.path.join(BUILD, "wine-run"), exe, archive], capture_output=True, text=True,
                             timeout=300)
        self.assertEqual((run.returncode, run.stdout.strip()), (0, "ok"), run.stdout + run.stderr)


class LinuxPackages(unittest.TestCase):
    def qov_commands(self, qov):
        overview = subprocess.run([qov, "help"], check=True, capture_output=True, text=True).stdout
        listed = overview.split("Commands:\n", 1)[1].split("\n\n", 1)[0]
        return [line.split()[0] for line in listed.splitlines()
                if not line.split()[0].startswith("-") and line.split()[0] != "help"]

    def test_deb_unpacked_runs_and_verifies(self):
        deb = only("qov_*_amd64.deb")
        root = fresh("debroot")
        subprocess.run(["dpkg", "-x", deb, root], check=True)
        fields = subprocess.run(["dpkg-deb", "-f", deb, "Package", "Version", "Depends"], check=True,
                                capture_output=True, text=True).stdout
        self.assertIn("Package: qov", fields)
        self.assertIn("Version: " + re.sub(r"^([0-9.]+)-(\d+)-g", r"\1+\2.g", version()).replace("-", "."),
                      fields)
        qov = os.path.join(root, "usr", "bin", "qov")
        self.assertEqual(subprocess.run([qov, "--version"], check=True, capture_output=True,
                                        text=True).stdout, "qov %s\n" % version())
        intact = os.path.join(FIXTURES, "basic.qov")
        self.assertEqual(subprocess.run([qov, "verify", intact], capture_output=True).returncode, 0)
        damaged = os.path.join(WORK, "damaged.qov")
        shutil.copy(intact, damaged)
        with open(damaged, "r+b") as f:
            f.seek(os.path.getsize(damaged) // 2)
            byte = f.read(1)
            f.seek(-1, 1)
            f.write(bytes([byte[0] ^ 0xFF]))
        self.assertEqual(subprocess.run([qov, "verify", damaged], capture_output=True).returncode, 1)
        with gzip.open(os.path.join(root, "usr", "share", "man", "man1", "qov.1.gz"), "rt") as f:
            page = f.read()
        commands = self.qov_commands(qov)
        self.assertGreaterEqual(len(commands), 8)
        for command in commands:
            self.assertIn(".SS %s\n" % command.replace("-", "\\-"), page)
            self.assertIn("usage: qov %s " % command.replace("-", "\\-"), page)
        self.assertTrue(os.path.exists(os.path.join(root, "usr", "share", "doc", "qov", "copyright")))

    def test_tarball_holds_qov_and_its_page(self):
        tarball = only("qov-*-linux-x86_64.tar.gz")
        top = "qov-%s-linux-x86_64" % version()
        with tarfile.open(tarball) as t:
            members = t.getmembers()
            self.assertEqual([m.name for m in members], [top, top + "/qov", top + "/qov.1"])
            self.assertEqual({(m.uid, m.gid, m.uname, m.gname) for m in members}, {(0, 0, "", "")})
            folder = fresh("tarball")
            t.extractall(folder)
        qov = os.path.join(folder, top, "qov")
        self.assertEqual(subprocess.run([qov, "--version"], check=True, capture_output=True,
                                        text=True).stdout, "qov %s\n" % version())


def main():
    global DIST, BUILD, WORK
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--dist", required=True)
    parser.add_argument("--windows-build", required=True)
    parser.add_argument("--work", required=True)
    args, rest = parser.parse_known_args()
    DIST, BUILD, WORK = (os.path.abspath(p) for p in (args.dist, args.windows_build, args.work))
    os.makedirs(WORK, exist_ok=True)
    unittest.main(argv=[sys.argv[0], "-v"] + rest)


if __name__ == "__main__":
    main()
