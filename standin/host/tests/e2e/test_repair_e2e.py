#!/usr/bin/env python3
"""The plug-in end to end: MORLHost.exe loads the real Brevik.dll, which drives
the scripted patch engine (morl.dll) and checker (MORLCheck.dll), in game
folders laid out here.  What the host prints, what the plug-in records in its
settings file, what the engine was asked (its call log) and the files on
disk are checked.

Usage: test_repair_e2e.py --host MORLHost.exe --bin BIN_DIR --work DIR [unittest options]

BIN_DIR holds Brevik.dll, morl.dll and MORLCheck.dll.  When one of them (or
the host) is missing, nothing runs and the test fails.
The scripted engine's settings file, morl_script.ini, is described in
standin/engine/README.md.
"""

import argparse
import configparser
import hashlib
import os
import re
import shutil
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import hostrun  # noqa: E402

HOST = BIN = WORK = None
BINARIES = ("Brevik.dll", "morl.dll", "MORLCheck.dll")

CLIENT_VERSION = "1.0.3.7"
PLUGIN_FOLDER = "MORL"

# What the host is shown.
ENGINE_FAIL = "请重新启动进行修复，若继续失败，请手动修复。"
DOWNLOAD_LIST_FAIL = "解析下载列表失败"
PREPARE_DOWNLOAD_FAIL = "准备下载文件时失败"
BITMAP_FAIL = "下载文件设置状态失败"
DOWNLOAD_FAIL = "下载文件失败"
RESTORE_LIST_FAIL = "解析解压列表失败"
RESTORE_FAIL = "解压文件失败"
ENGINE_REPAIRING = "正在修复损坏的数据文件"
UPDATING = "正在更新数据文件..."
DONE = "校验数据完成"
PACKAGE_DAMAGED = "包文件被破坏，请重新启动客户端"
PACKAGE_DAMAGED_CAPTION = "异常错误"

SPEED_LINE = re.compile(r"^正在更新数据文件\.\.\. 更新速度：(\d+) (KB|B)/s  更新进度：(\d+)\.(\d)%$")
RESTORE_LINE = re.compile(r"^正在更新数据文件\.\.\.  更新进度：(\d+)\.(\d)%$")


def md5_upper(data):
    return hashlib.md5(data).hexdigest().upper()


def write_ini(path, sections):
    """Writes {section: {key: value}} as an ASCII INI file with CRLF lines."""
    lines = []
    for section, keys in sections.items():
        lines.append("[%s]" % section)
        lines.extend("%s=%s" % (key, value) for key, value in keys.items())
        lines.append("")
    with open(path, "w", encoding="ascii", newline="\r\n") as f:
        f.write("\n".join(lines))


def read_ini(path):
    parser = configparser.ConfigParser(interpolation=None, strict=False)
    parser.optionxform = str
    if os.path.exists(path):
        with open(path, encoding="latin-1") as f:
            parser.read_string(f.read())
    return parser


class Game:
    """A game folder: the launcher's version file, the plug-in settings, and
    the plug-in folder with the DLLs, the two lists and the engine's script.

    The engine script starts from a quiet engine that is ready at once, tells
    the plug-in early that it may stop (so a stop takes no three seconds),
    reports 2048 bytes per second and logs every call."""

    def __init__(self, name, micro_version_type=1):
        self.root = os.path.join(WORK, name)
        shutil.rmtree(self.root, ignore_errors=True)
        self.plugin = os.path.join(self.root, PLUGIN_FOLDER)
        os.makedirs(self.plugin)
        os.makedirs(os.path.join(self.root, "Sidlo"))
        for binary in BINARIES:
            shutil.copy(os.path.join(BIN, binary), self.plugin)
        self.micro = micro_version_type
        # Statistics go to this machine (no name to resolve, nothing leaves it).
        self.settings = {"MicroVersionType": str(micro_version_type),
                         "QosHost": "127.0.0.1"}
        self.engine = {
            "Engine": {"Behaviour": "scripted", "DownloadSpeed": "2048", "CallLog": "calls.log"},
            "Post.SetNotifyWindow": {"1": "0,WM_ENGINE_STOP_READY,0,0"},
        }
        self.files = []
        self.runs = 0
        self.write_version_file(CLIENT_VERSION)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def plugin_path(self, *parts):
        return os.path.join(self.plugin, *parts)

    # --- what the game folder holds

    def write_version_file(self, version):
        with open(self.path("Sidlo", "mmog_data.xml"), "w", encoding="utf-8") as f:
            f.write('<?xml version="1.0" encoding="utf-8"?>\n'
                    "<MmogData><ClientConf><Name>Dravik</Name><VersionData>"
                    "<Build>77</Build><Version>%s</Version>"
                    "</VersionData></ClientConf></MmogData>\n" % version)

    def add_file(self, name, **keys):
        """A file of the engine's archive; keys as in the engine's README."""
        keys = {key: str(value) for key, value in keys.items()}
        keys.setdefault("Index", str(len(self.files)))
        keys["Name"] = name
        self.files.append(keys)
        return int(keys["Index"])

    def download_list(self, names, file_count=None, key="Src"):
        sections = {"ListConfig": {"FileCount": str(len(names) if file_count is None else file_count)}}
        for number, name in enumerate(names):
            sections[str(number)] = {key: name}
        write_ini(self.plugin_path("DLList_%d.ini" % self.micro), sections)

    def restore_list(self, pairs):
        sections = {"ListConfig": {"FileCount": str(len(pairs))}}
        for number, (source, destination) in enumerate(pairs):
            entry = {}
            if source is not None:
                entry["Src"] = source
            if destination is not None:
                entry["Dst"] = destination
            sections[str(number)] = entry
        write_ini(self.plugin_path("RTList_%d.ini" % self.micro), sections)

    def write_scripts(self):
        write_ini(self.path("morlfixedconfig.ini"), {"MORL": self.settings})
        sections = dict(self.engine)
        sections["Files"] = {"Count": str(len(self.files))}
        for number, keys in enumerate(self.files, 1):
            sections["File%d" % number] = keys
        write_ini(self.plugin_path("morl_script.ini"), sections)

    # --- running and looking

    def run(self, *options, write=True, timeout=120):
        """One MORLHost.exe run; the engine's call log and the plug-in's trace
        are those of this run only."""
        if write:
            self.write_scripts()
        self.runs += 1
        for leftover in (self.plugin_path("calls.log"),):
            if os.path.exists(leftover):
                os.remove(leftover)
        self.trace_file = self.path("trace-%d.txt" % self.runs)
        arguments = ["--timestamps", "--timeout", str(timeout),
                     "--trace", hostrun.windows_path(self.trace_file)] + list(options)
        # The feedback page goes through the shell to the prefix's URL
        # handler, which records it (cmake/windows/url-recorder.c).
        record = {"BREVIK_URL_RECORD": hostrun.windows_path(self.path("feedback.txt"))}
        return hostrun.run_host(HOST, self.root, arguments, env=record, timeout=timeout + 120)

    def recorded(self, key):
        """A key of section MORL of morlfixedconfig.ini, as the plug-in left it."""
        return read_ini(self.path("morlfixedconfig.ini")).get("MORL", key, fallback=None)

    def calls(self):
        path = self.plugin_path("calls.log")
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8", errors="replace") as f:
            return [line.rstrip("\r\n") for line in f if line.strip()]

    def trace(self):
        if not os.path.exists(self.trace_file):
            return ""
        with open(self.trace_file, encoding="utf-8", errors="replace") as f:
            return f.read()

    def feedback(self):
        path = self.path("feedback.txt")
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8") as f:
            return [line for line in f.read().splitlines() if line]


class RepairCase(unittest.TestCase):
    maxDiff = None

    def game(self, **keys):
        return Game(self.id().rsplit(".", 1)[-1], **keys)

    @staticmethod
    def brief(calls):
        return [(c.name, c.percent, c.text) if c.name == "OnProgress" else (c.name, c.text) for c in calls]

    def assertSinkCalls(self, run, expected):
        self.assertEqual(self.brief(run.sink_calls()), expected, run.describe())

    def assertSinkCallsEndWith(self, run, expected):
        self.assertEqual(self.brief(run.sink_calls()[-len(expected):]), expected, run.describe())

    def assertFailsWith(self, run, text):
        """The repair ends in exactly one OnFail with TEXT, and nothing (no
        progress from a timer still running) follows it."""
        self.assertEqual(run.code, hostrun.EXIT_FAILURE, run.describe())
        names = run.names()
        self.assertEqual(names.count("OnFail"), 1, run.describe())
        self.assertNotIn("OnSuccess", names, run.describe())
        self.assertEqual(names[-1], "OnFail", run.describe())
        self.assertEqual(run.sink_calls()[-1].text, text, run.describe())


def small_repair(game):
    """One file to download (synced at once), one to restore."""
    game.add_file("a.dat", Size=1000, Sync="2@100")
    game.add_file("r.dat", Size=10, Complete=1, ExtractWrite="restored")
    game.download_list(["a.dat"])
    game.restore_list([("r.dat", "data")])
    return game


class WholeRepair(RepairCase):
    def test_whole_repair_then_up_to_date(self):
        game = self.game(micro_version_type=2)
        # The download list: 1200 names (three parses of at most 500), among
        # them four files to sync, one that is whole and one the engine lacks.
        names = ["pad/%04d.dat" % i for i in range(1200)]
        mib = 1048576
        to_sync = {
            0: ("a.dat", dict(Size=4 * mib, Sync="1:1048577@800,1:2097152@1800,1:3145728@2800,2@3800")),
            600: ("b.dat", dict(Size=mib, Sync="2@1200")),
            700: ("retry.dat", dict(Size=mib, Sync1="5@300", Sync2="2@900")),
            1100: ("c.dat", dict(Size=2 * mib, DownloadSize=2 * mib, Sync="1:1500000@1000,2@2500")),
        }
        indexes = {}
        for position, (name, keys) in to_sync.items():
            names[position] = name
            indexes[name] = game.add_file(name, **keys)
        names[10] = "whole.dat"
        game.add_file("whole.dat", Size=500, Complete=1)
        names[20] = "absent.dat"
        game.add_file("absent.dat", Size=500, CompleteError="0xE0000013")
        game.download_list(names, file_count="0x4B0")  # 1200, in hexadecimal

        # The restore list: a new file, a file whose MD5 matches (kept), a file
        # whose MD5 differs, one whose stored MD5 is in lower case (extracted
        # again), one the archive lacks, one not whole, one without Dst.
        data = game.plugin_path("data")
        os.makedirs(data)
        kept, stale, lower = b"kept content", b"old content", b"lower content"
        for name, content in (("r_kept.dat", kept), ("r_stale.dat", stale), ("r_lower.dat", lower)):
            with open(os.path.join(data, name), "wb") as f:
                f.write(content)
        for name, keys in (
                ("r_new.dat", dict(ExtractWrite="new file")),
                ("r_kept.dat", dict(MD5=md5_upper(kept), ExtractWrite="must not be written")),
                ("r_stale.dat", dict(MD5=md5_upper(b"fresh"), ExtractWrite="fresh")),
                ("r_lower.dat", dict(MD5=md5_upper(lower).lower(), ExtractWrite="lower content"))):
            indexes[name] = game.add_file(name, Size=len(keys["ExtractWrite"]), Complete=1, **keys)
        indexes["r_partial.dat"] = game.add_file("r_partial.dat", Size=7, ExtractWrite="partial")
        game.restore_list([("r_new.dat", "data"), ("r_kept.dat", "data\\"), ("r_stale.dat", "data"),
                           ("r_lower.dat", "data"), ("nowhere.dat", "data"), ("r_partial.dat", "data"),
                           ("r_new.dat", None)])

        run = game.run()
        self.assertEqual(run.code, hostrun.EXIT_SUCCESS, run.describe())
        calls = run.sink_calls()
        self.assertNotIn("OnFail", run.names())
        self.assertSinkCallsEndWith(run, [("OnProgress", 100, DONE), ("OnSuccess", "")])

        # The download list parsed in three batches: a line between two parses.
        first_speed = next(i for i, c in enumerate(calls) if SPEED_LINE.match(c.text or ""))
        self.assertEqual([(c.percent, c.text) for c in calls[:first_speed]], [(0, UPDATING)] * 2,
                         run.describe())

        # Download progress: once a second, the speed, a percent that grows.
        speeds = [c for c in calls if c.name == "OnProgress" and SPEED_LINE.match(c.text)]
        self.assertGreaterEqual(len(speeds), 2, run.describe())
        for line in speeds:
            number, unit, whole, tenth = SPEED_LINE.match(line.text).groups()
            self.assertEqual((number, unit), ("2", "KB"), line.text)
            self.assertEqual(line.percent, int(whole), line.text)
            self.assertLess(line.percent, 100)
        self.assertEqual(speeds, sorted(speeds, key=lambda c: c.percent), run.describe())
        # A one-second timer: a tick handled late (a busy machine) may bring
        # the next one closer, so the gaps are judged on average.
        average_gap = (speeds[-1].ms - speeds[0].ms) / (len(speeds) - 1)
        self.assertGreaterEqual(average_gap, 700, run.describe())

        # Then the restore: its list line, its progress lines, the verdict.
        after = calls[calls.index(speeds[-1]) + 1:]
        self.assertEqual((after[0].percent, after[0].text), (0, UPDATING), run.describe())
        for line in after[1:-2]:
            self.assertRegex(line.text, RESTORE_LINE, run.describe())

        # What the engine was asked: every listed name in list order; syncs
        # for the four files only (retry.dat twice); the host action once.
        log = game.calls()
        asked = [line.split(" ", 1)[1].rsplit(" -> ", 1)[0] for line in log
                 if line.startswith("GetFileIndex ")]
        self.assertEqual(asked[:1200], names, "download names asked in list order")
        synced = [int(line.split()[1]) for line in log if line.startswith("StartSync ")]
        self.assertEqual(sorted(synced), sorted([indexes["a.dat"], indexes["b.dat"], indexes["c.dat"],
                                                 indexes["retry.dat"], indexes["retry.dat"]]), log)
        self.assertEqual(sum(line.startswith("SetHostAction 1 1 0") for line in log), 1, log)

        # The restore: extracted with overwrite 0 when missing, 1 when the
        # MD5 differs; the file whose MD5 matches is kept as it was.
        folder = hostrun.windows_path(data) + "\\"
        extracted = {int(line.split()[1]): line for line in log if line.startswith("ExtractFile ")}
        self.assertEqual(set(extracted), {indexes["r_new.dat"], indexes["r_stale.dat"], indexes["r_lower.dat"]}, log)
        self.assertIn("ExtractFile %d %s 0 -> 1" % (indexes["r_new.dat"], folder), log)
        self.assertIn("ExtractFile %d %s 1 -> 1" % (indexes["r_stale.dat"], folder), log)
        self.assertIn("ExtractFile %d %s 1 -> 1" % (indexes["r_lower.dat"], folder), log)
        for name, content in (("r_new.dat", b"new file"), ("r_kept.dat", kept), ("r_stale.dat", b"fresh")):
            with open(os.path.join(data, name), "rb") as f:
                self.assertEqual(f.read(), content, name)
        self.assertFalse(os.path.exists(os.path.join(data, "r_partial.dat")))

        # The version is recorded; no feedback page, no becancel.
        self.assertEqual(game.recorded("version"), CLIENT_VERSION)
        self.assertIsNone(game.recorded("becancel"))
        self.assertEqual(game.feedback(), [])

        # A second start finds the game up to date at once.
        again = game.run(write=False)
        self.assertEqual(again.code, hostrun.EXIT_SUCCESS, again.describe())
        self.assertSinkCalls(again, [("OnProgress", 100, DONE), ("OnSuccess", "")])
        self.assertFalse([line for line in game.calls() if line.startswith(("GetFileIndex", "StartSync"))])

    def test_engine_repairs_itself_first(self):
        """The engine asks to repair its own state: its progress is shown, it
        starts again, and the version it clears makes the data repair run even
        though this version was recorded before."""
        game = self.game()
        game.settings["version"] = CLIENT_VERSION
        game.engine["Engine"].update(InitializeResult="0,1", InitializeError="0x60000026,0")
        game.engine["Post.Initialize1"] = {"1": "10,WM_ENGINE_REPAIR_PROGRESS,250,0",
                                           "2": "20,WM_ENGINE_REPAIR_PROGRESS,805,0",
                                           "3": "30,WM_ENGINE_REPAIR_RETURN,1,0"}
        game.add_file("a.dat", Size=100, Complete=1)
        game.add_file("r.dat", Size=10, Complete=1, ExtractWrite="restored")
        game.download_list(["a.dat"])
        game.restore_list([("r.dat", "data")])

        run = game.run()
        self.assertEqual(run.code, hostrun.EXIT_SUCCESS, run.describe())
        calls = run.sink_calls()
        self.assertEqual([(c.percent, c.text) for c in calls[:2]],
                         [(25, ENGINE_REPAIRING), (80, ENGINE_REPAIRING)], run.describe())
        self.assertEqual([c.name for c in calls[-2:]], ["OnProgress", "OnSuccess"], run.describe())
        self.assertEqual(calls[-2].text, DONE)
        self.assertEqual(sum(line.startswith("Initialize ") for line in game.calls()), 2, game.calls())
        self.assertEqual(game.recorded("version"), CLIENT_VERSION)
        with open(game.plugin_path("data", "r.dat"), "rb") as f:
            self.assertEqual(f.read(), b"restored")


    def test_without_the_launchers_version_file(self):
        """No mmog_data.xml: the client version stays "0.0.0.0", the repair
        runs, and that is the version recorded."""
        game = small_repair(self.game())
        os.remove(game.path("Sidlo", "mmog_data.xml"))
        run = game.run()
        self.assertEqual(run.code, hostrun.EXIT_SUCCESS, run.describe())
        self.assertEqual(game.recorded("version"), "0.0.0.0")
        with open(game.plugin_path("data", "r.dat"), "rb") as f:
            self.assertEqual(f.read(), b"restored")

    def test_the_engines_host_goes_down_and_comes_back(self):
        """The engine's host process dies right after the engine got ready and
        restarts 1.5 s later: the syncs asked for meanwhile wait, then run,
        and the repair ends well.  (Both first messages are posted at once,
        while the engine thread is still inside Initialize, so the host is
        down before the plug-in can ask for a sync.)"""
        game = small_repair(self.game())
        game.engine["Post.Initialize"] = {"1": "0,WM_ENGINE_INIT_RETURN,1,0",
                                          "2": "0,WM_ENGINE_HOST_KILLED,0,0",
                                          "3": "1500,WM_ENGINE_HOST_RESTART,1,0"}
        run = game.run()
        self.assertEqual(run.code, hostrun.EXIT_SUCCESS, run.describe())
        self.assertEqual(run.names()[-1], "OnSuccess")
        self.assertIn("CSyncMgr::SaveInCache", game.trace())
        self.assertIn("StartSync 0 50 4294967295 0 -> 1", game.calls())
        self.assertEqual(game.recorded("version"), CLIENT_VERSION)


class FailurePaths(RepairCase):
    """Each failure of the repair reaches the host as one OnFail with its text;
    --linger shows that nothing follows it."""

    def fails(self, game, text, *options):
        run = game.run("--linger", "1500", *options)
        self.assertFailsWith(run, text)
        return run

    def test_code_0_the_engine_thread_cannot_start(self):
        for name, spoil in (
                ("no engine", lambda g: os.remove(g.plugin_path("morl.dll"))),
                ("no checker", lambda g: os.remove(g.plugin_path("MORLCheck.dll"))),
                ("no engine object", lambda g: g.engine["Engine"].update(Create="0"))):
            with self.subTest(name):
                game = small_repair(Game("code0_" + name.replace(" ", "_")))
                spoil(game)
                self.fails(game, ENGINE_FAIL)

    def test_code_0_the_engine_fails_to_initialise(self):
        for name, engine in (
                ("initialize fails", {"Engine": {"InitializeResult": "0", "InitializeError": "0xE0000001"}}),
                ("init returns an error", {"Post.Initialize": {"1": "0,WM_ENGINE_INIT_RETURN,0,0"}}),
                ("host lost while initialising", {"Post.Initialize": {
                    "1": "0,WM_ENGINE_HOST_KILLED,0,0", "2": "20,WM_ENGINE_HOST_RESTART,0,0"}}),
                ("its own repair fails", {
                    "Engine": {"InitializeResult": "0", "InitializeError": "0x60000026"},
                    "Post.Initialize1": {"1": "10,WM_ENGINE_REPAIR_RETURN,0,9"}})):
            with self.subTest(name):
                game = small_repair(Game("code0_" + name.replace(" ", "_")))
                for section, keys in engine.items():
                    game.engine.setdefault(section, {}).update(keys)
                self.fails(game, ENGINE_FAIL)
                if name == "its own repair fails":
                    self.assertIn("BeginCheck 3 5000 -> 1", game.calls())

    def test_code_0_the_engines_host_is_lost_during_the_download(self):
        game = self.game()
        game.add_file("a.dat", Size=100, Sync="2@50")
        game.add_file("r.dat", Size=10, Complete=1)
        game.download_list(["a.dat"])
        game.restore_list([("r.dat", "data")])
        game.engine["Post.Initialize"] = {"1": "0,WM_ENGINE_INIT_RETURN,1,0",
                                          "2": "0,WM_ENGINE_HOST_KILLED,0,0",
                                          "3": "1500,WM_ENGINE_HOST_RESTART,0,0"}
        self.fails(game, ENGINE_FAIL)
        self.assertIn("CMORLPlugin::download", game.trace())
        self.assertFalse([line for line in game.calls() if line.startswith("StartSync")])

    def test_code_0_a_damaged_package_asks_for_a_message_first(self):
        game = small_repair(self.game())
        game.engine["Engine"].update(InitializeResult="0", InitializeError="0xE0000028")
        run = self.fails(game, ENGINE_FAIL, "--answer", "2")
        messages = [c for c in run.sink_calls() if c.name == "OnMessage"]
        self.assertEqual([m.fields for m in messages],
                         [{"flags": 0, "answer": 2, "caption": PACKAGE_DAMAGED_CAPTION,
                           "text": PACKAGE_DAMAGED}], run.describe())
        self.assertIn("BeginCheck 3 5000 -> 1", game.calls())

    def test_code_1_the_download_list_cannot_be_parsed(self):
        for name, make_list in (
                ("missing", lambda g: None),
                ("no complete entry", lambda g: g.download_list(["a.dat", "b.dat"], key="Source")),
                ("no entries", lambda g: g.download_list([], file_count=0))):
            with self.subTest(name):
                game = Game("code1_" + name.replace(" ", "_"))
                game.add_file("a.dat", Size=100)
                game.restore_list([("a.dat", "data")])
                make_list(game)
                self.fails(game, DOWNLOAD_LIST_FAIL)

    def test_code_4_the_download_cannot_start(self):
        game = self.game()
        game.add_file("a.dat", Size=100, CompleteError="0xE0000001")
        game.download_list(["a.dat"])
        game.restore_list([("a.dat", "data")])
        self.fails(game, PREPARE_DOWNLOAD_FAIL)
        self.assertFalse([line for line in game.calls() if line.startswith("StartSync")])

    def test_code_5_the_bitmap_update_after_the_download_fails(self):
        game = small_repair(self.game())
        game.engine["Engine"]["BitmapFinishError"] = "3"
        self.fails(game, BITMAP_FAIL)

    def test_code_6_a_file_cannot_be_synced(self):
        # Each failing sync runs 1.3 s, so the download's progress timer has
        # ticked before the third failure: the failure must stop it.
        for name, keys, starts in (("fails three times", dict(Sync="1:60@400,5@1300"), 3),
                                   ("refused by the engine", dict(StartSyncFail=1), 1)):
            with self.subTest(name):
                game = Game("code6_" + name.replace(" ", "_"))
                game.add_file("a.dat", Size=100, **keys)
                game.download_list(["a.dat"])
                game.restore_list([("a.dat", "data")])
                run = self.fails(game, DOWNLOAD_FAIL)
                self.assertEqual(sum(line.startswith("StartSync 0 ") for line in game.calls()), starts,
                                 game.calls())
                if starts == 3:
                    self.assertTrue([c for c in run.progress() if SPEED_LINE.match(c.text)], run.describe())
                    self.assertIn("error: sync end, sync task error 3 times", game.trace())

    def test_code_7_the_restore_list_cannot_be_parsed(self):
        for name, make_list in (
                ("missing", lambda g: None),
                ("entries without Dst", lambda g: g.restore_list([("r.dat", None), ("r.dat", None)]))):
            with self.subTest(name):
                game = Game("code7_" + name.replace(" ", "_"))
                game.add_file("a.dat", Size=100, Sync="2@50")
                game.add_file("r.dat", Size=10, Complete=1)
                game.download_list(["a.dat"])
                make_list(game)
                self.fails(game, RESTORE_LIST_FAIL)

    def test_code_11_a_file_cannot_be_extracted(self):
        game = self.game()
        game.add_file("a.dat", Size=100, Sync="2@50")
        game.add_file("r1.dat", Size=10, Complete=1, Extract=0)
        game.add_file("r2.dat", Size=10, Complete=1, ExtractWrite="never")
        game.download_list(["a.dat"])
        game.restore_list([("r1.dat", "data"), ("r2.dat", "data")])
        self.fails(game, RESTORE_FAIL)
        self.assertFalse(os.path.exists(game.plugin_path("data", "r2.dat")), "later entries untouched")

    def test_code_2_a_download_list_parse_given_up_tells_the_host_nothing(self):
        game = self.game()
        game.add_file("a.dat", Size=100, Sync="2@50")
        game.download_list(["a.dat"] + ["pad/%06d.dat" % i for i in range(100000)])
        game.restore_list([("a.dat", "data")])
        # The line between two parses: stop while the list is being read.
        run = game.run("--stop-on-exact", UPDATING)
        self.assertEqual(run.code, hostrun.EXIT_STOPPED, run.describe())
        # Only such lines (a few more parses may run before the stop lands),
        # far fewer than the 201 parses of the whole list.
        calls = [(c.name, c.percent, c.text) for c in run.sink_calls()]
        self.assertTrue(1 <= len(calls) < 50, run.describe())
        self.assertEqual(set(calls), {("OnProgress", 0, UPDATING)}, run.describe())
        self.assertIn("CMORLPlugin::fail 2", game.trace())
        self.assertFalse([line for line in game.calls() if line.startswith("StartSync")])

    def test_code_8_a_restore_list_parse_given_up_tells_the_host_nothing(self):
        game = self.game()
        game.add_file("a.dat", Size=100, Sync="2@50")
        game.add_file("r.dat", Size=10, Complete=1, ExtractWrite="restored")
        game.download_list(["a.dat"])
        game.restore_list([("r.dat", "data")] * 200000)
        # The download list is read in one go, so the only such line is the
        # restore list's.
        run = game.run("--stop-on-exact", UPDATING)
        self.assertEqual(run.code, hostrun.EXIT_STOPPED, run.describe())
        self.assertEqual(run.names()[-1], "OnProgress", run.describe())
        self.assertEqual(run.sink_calls()[-1].text, UPDATING, run.describe())
        self.assertNotIn("OnFail", run.names())
        self.assertIn("CMORLPlugin::fail 8", game.trace())
        self.assertFalse([line for line in game.calls() if line.startswith("ExtractFile")])


class StopDuringDownload(RepairCase):
    """The user stops while files download: the feedback page opens at most
    once per machine, and only while no repair ever succeeded on it."""

    def downloading_game(self, speed, **settings):
        game = self.game()
        game.settings.update(settings)
        game.engine["Engine"]["DownloadSpeed"] = str(speed)
        game.add_file("a.dat", Size=4194304, Sync="1:1048577@300,2@600000")
        game.add_file("r.dat", Size=10, Complete=1)
        game.download_list(["a.dat"])
        game.restore_list([("r.dat", "data")])
        return game

    def stop_during_download(self, game, speed_text, write=True):
        run = game.run("--stop-on", "更新速度", write=write)
        self.assertEqual(run.code, hostrun.EXIT_STOPPED, run.describe())
        last = run.sink_calls()[-1]
        self.assertRegex(last.text, SPEED_LINE, run.describe())
        self.assertTrue(last.text.startswith("正在更新数据文件... 更新速度：%s  更新进度：" % speed_text),
                        run.describe())
        self.assertNotIn("OnFail", run.names())
        self.assertNotIn("OnSuccess", run.names())
        self.assertTrue([line for line in game.calls() if line.startswith("CancelSync")], game.calls())
        return run

    def test_the_page_opens_once_per_machine(self):
        # A speed of 0 is shown as a fixed 10 B/s.
        game = self.downloading_game(0)
        self.stop_during_download(game, "10 B/s")
        self.assertEqual(len(game.feedback()), 1)
        self.assertTrue(game.feedback()[0].startswith("http"), game.feedback())
        self.assertEqual(game.recorded("becancel"), "1")
        self.assertIn(game.recorded("version"), (None, ""))

        # The same machine again, its settings as the first stop left them.
        self.stop_during_download(game, "10 B/s", write=False)
        self.assertEqual(len(game.feedback()), 1)
        self.assertEqual(game.recorded("becancel"), "1")

    def test_no_page_once_a_repair_succeeded(self):
        # 1024 bytes per second is still shown in bytes; 1025 in kilobytes.
        game = self.downloading_game(1024, version="0.9.0.0")
        self.stop_during_download(game, "1024 B/s")
        self.assertEqual(game.feedback(), [])
        self.assertEqual(game.recorded("becancel"), "1")

        game.engine["Engine"]["DownloadSpeed"] = "1025"
        game.settings["becancel"] = "0"
        self.stop_during_download(game, "1 KB/s")
        self.assertEqual(game.feedback(), [])
        self.assertEqual(game.recorded("becancel"), "1")


def missing_binaries(host, bin_dir):
    missing = [] if os.path.isfile(host) else [host]
    missing += [os.path.join(bin_dir, b) for b in BINARIES if not os.path.isfile(os.path.join(bin_dir, b))]
    return missing


def main():
    global HOST, BIN, WORK
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", required=True)
    parser.add_argument("--bin", required=True)
    parser.add_argument("--work", required=True)
    options, rest = parser.parse_known_args()
    HOST, BIN, WORK = options.host, options.bin, options.work
    missing = missing_binaries(HOST, BIN)
    if missing:
        print("FAILED: not built: " + ", ".join(missing))
        return 1
    os.makedirs(WORK, exist_ok=True)
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
