#!/usr/bin/env python3
"""The plug-in end to end with the archive-backed engine: MORLHost.exe runs
the real Brevik.dll, which drives morl.dll (Behaviour=archive) over a game
archive with damaged pieces and a mirror archive, both made with qov.exe.
After a repair every piece of the game archive verifies and every restored
file equals the mirror's.  The mirror is a file beside the game, or served
by nginx on a loopback port (HTTP, and HTTPS with a test CA), with the fault
proxy of the repair tests in front of it for faults.

Usage: test_archive_e2e.py --host MORLHost.exe --bin BIN_DIR --work DIR [unittest options]

BIN_DIR holds Brevik.dll, morl.dll, MORLCheck.dll and qov.exe; when one of
them is missing nothing runs and the test fails.
"""

import argparse
import os
import re
import shutil
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "repair", "tests"))
import gamekit  # noqa: E402
import webmirror  # noqa: E402
from gamekit import hostrun  # noqa: E402

HOST = BIN = WORK = QOV = None

DONE = "校验数据完成"
DOWNLOAD_FAIL = "下载文件失败"
RESTORE_FAIL = "解压文件失败"
ENGINE_REPAIRING = "正在修复损坏的数据文件"
SPEED_LINE = re.compile(r"^正在更新数据文件\.\.\. 更新速度：(\d+) (KB|B)/s  更新进度：(\d+)\.(\d)%$")
STATISTICS = re.compile(r"^fetched (\d+) files, (\d+) bytes; elapsed (\d+)\.(\d{3}) s$")
PIECE = 16384


class ArchiveGame(gamekit.GameFolder):
    """A game whose archive holds plain, compressed and encrypted files, a
    pristine mirror beside it, and a damaged copy as the game's archive."""

    def __init__(self, name, counts=None, seed=7):
        super().__init__(os.path.join(WORK, name), BIN)
        self.files = gamekit.sample_files(seed, counts or {"plain": 12, "comp": 12, "enc": 12})
        self.contents = {name: data for kind in self.files.values() for name, data in kind.items()}
        self.spans = gamekit.make_mirror(QOV, self.mirror_archive, self.files, self.root, PIECE)
        shutil.copy(self.mirror_archive, self.game_archive)
        self.download_list(sorted(self.contents))

    def damage_kinds(self, *fractions):
        """A byte flipped at each fraction of each kind's data; returns the
        verify report of the damaged game archive."""
        positions = [int(start + (end - start) * f) for start, end in self.spans.values() for f in fractions]
        gamekit.damage(self.game_archive, positions)
        return QOV.verify(self.game_archive)

    def run(self, *options, timeout=180):
        return super().run(HOST, *options, timeout=timeout,
                           trace=self.path("trace-%d.txt" % int(time.time() * 1000)))


def statistics_line(run):
    lines = [c.text for c in run.calls if c.name == "host" and STATISTICS.match(c.text)]
    return STATISTICS.match(lines[-1]).groups() if lines else None


class ArchiveRepair(unittest.TestCase):
    maxDiff = None

    def game(self, **keys):
        return ArchiveGame(self.id().rsplit(".", 1)[-1], **keys)

    def assertRestoredLikeMirror(self, game, names):
        for name in names:
            with open(game.restored_path(name), "rb") as f:
                self.assertEqual(f.read(), game.contents[name], name)

    def test_damaged_files_of_every_kind_are_repaired_and_restored(self):
        game = self.game()
        before = game.damage_kinds(0.3, 0.7)
        bad_kinds = {name.split("\\")[0] for name in before["bad_files"]}
        self.assertEqual(bad_kinds, {"plain", "comp", "enc"}, before)

        # The restore list: a file missing on disk, one whose content differs,
        # one already right (kept as it is: its time must not change).
        names = sorted(game.contents)
        missing, stale, right = names[0], names[15], names[30]
        gamekit.write_tree(game.root, {stale: b"stale content", right: game.contents[right]})
        old = time.time() - 3600
        os.utime(game.restored_path(right), (old, old))
        right_mtime = os.stat(game.restored_path(right)).st_mtime_ns
        game.restore_list([missing, stale, right])

        run = game.run()
        self.assertEqual(run.code, hostrun.EXIT_SUCCESS, run.describe())
        self.assertEqual([(c.name, c.text) for c in run.sink_calls()[-2:]],
                         [("OnProgress", DONE), ("OnSuccess", "")], run.describe())

        after = QOV.verify(game.game_archive)
        self.assertEqual((after["bad_pieces"], after["bad_files"]), ([], []), after)
        self.assertEqual(set(gamekit.piece_map(game.game_archive)), {1})
        self.assertRestoredLikeMirror(game, [missing, stale, right])
        self.assertEqual(os.stat(game.restored_path(right)).st_mtime_ns, right_mtime)

        # Exactly the damaged pieces were fetched (each once, also when two
        # files share it), by one sync per file that has a damaged piece.
        stats = game.statistics()
        self.assertEqual(stats["PiecesFetched"], len(before["bad_pieces"]), stats)
        self.assertEqual(stats["BytesFetched"], PIECE * len(before["bad_pieces"]), stats)
        # (A file whose sync starts after a shared piece came in has nothing
        # left to fetch: it is synced but not counted as fetched.)
        synced = [line for line in game.calls() if line.startswith("StartSync ")]
        self.assertGreaterEqual(len(synced), len(before["bad_files"]), game.calls())
        self.assertTrue(1 <= stats["FilesFetched"] <= len(synced), (stats, game.calls()))
        files, size, _, _ = statistics_line(run)
        self.assertEqual((int(files), int(size)), (stats["FilesFetched"], stats["BytesFetched"]), run.describe())
        self.assertEqual(game.recorded("version"), gamekit.CLIENT_VERSION)

        # A second start finds the game up to date at once.
        again = game.run()
        self.assertEqual(again.code, hostrun.EXIT_SUCCESS, again.describe())
        self.assertEqual([(c.name, c.text) for c in again.sink_calls()],
                         [("OnProgress", DONE), ("OnSuccess", "")], again.describe())

    def test_a_throttled_download_shows_its_progress(self):
        game = self.game(counts={"plain": 6, "comp": 6, "enc": 6})
        game.archive["Throttle"] = str(3 * PIECE)
        game.write_settings()
        before = game.damage_kinds(0.1, 0.3, 0.5, 0.7, 0.9)
        self.assertGreaterEqual(len(before["bad_pieces"]), 12, before)
        game.restore_list([sorted(game.contents)[0]])

        run = game.run()
        self.assertEqual(run.code, hostrun.EXIT_SUCCESS, run.describe())
        speeds = [c for c in run.progress() if SPEED_LINE.match(c.text)]
        self.assertGreaterEqual(len(speeds), 2, run.describe())
        self.assertEqual(speeds, sorted(speeds, key=lambda c: c.percent), run.describe())
        # The measured rate stays near the limit (48 KB/s shown as 4x KB/s,
        # the first second may be lower).
        for line in speeds[1:]:
            number, unit = SPEED_LINE.match(line.text).groups()[:2]
            self.assertEqual(unit, "KB", line.text)
            self.assertLessEqual(int(number), 64, line.text)
        self.assertEqual(QOV.verify(game.game_archive)["bad_pieces"], [])

    def test_a_file_the_archive_tables_lost_is_rebuilt_first(self):
        """Damaged tables: the engine rebuilds them from the mirror (its own
        repair, with progress), then the damaged data is fetched as usual."""
        game = self.game(counts={"plain": 5, "comp": 5, "enc": 5})
        info = QOV.info(game.game_archive)
        before = game.damage_kinds(0.5)
        gamekit.damage(game.game_archive, [info["het_pos"] + 40])
        game.restore_list([sorted(game.contents)[3]])

        run = game.run()
        self.assertEqual(run.code, hostrun.EXIT_SUCCESS, run.describe())
        self.assertIn(ENGINE_REPAIRING, [c.text for c in run.progress()], run.describe())
        self.assertEqual(QOV.verify(game.game_archive)["bad_pieces"], [])
        self.assertGreaterEqual(game.statistics()["PiecesFetched"], len(before["bad_pieces"]))
        self.assertRestoredLikeMirror(game, [sorted(game.contents)[3]])

    def test_a_missing_game_archive_is_built_from_the_mirror(self):
        game = self.game(counts={"plain": 4, "comp": 4, "enc": 4})
        os.remove(game.game_archive)
        names = sorted(game.contents)
        game.restore_list(names)

        run = game.run()
        self.assertEqual(run.code, hostrun.EXIT_SUCCESS, run.describe())
        self.assertEqual(QOV.verify(game.game_archive)["bad_pieces"], [])
        # The tables came with the rebuild; the files' data through the syncs.
        self.assertGreater(game.statistics()["BytesFetched"], sum(map(len, game.contents.values())) // 2)
        self.assertRestoredLikeMirror(game, names)


class ArchiveFailures(unittest.TestCase):
    maxDiff = None

    def game(self, **keys):
        return ArchiveGame(self.id().rsplit(".", 1)[-1], **keys)

    def test_a_piece_the_mirror_lacks_fails_the_download(self):
        game = self.game(counts={"plain": 8, "comp": 8, "enc": 8})
        before = game.damage_kinds(0.2, 0.6)
        # The mirror is damaged at the same place as the game at one spot.
        start, end = game.spans["comp"]
        spot = int(start + (end - start) * 0.6)
        gamekit.damage(game.mirror_archive, [spot])
        unfetchable = spot // PIECE
        self.assertIn(unfetchable, before["bad_pieces"])
        game.restore_list([sorted(game.contents)[0]])

        run = game.run("--linger", "1500")
        self.assertEqual(run.code, hostrun.EXIT_FAILURE, run.describe())
        self.assertEqual(run.names().count("OnFail"), 1, run.describe())
        self.assertEqual(run.sink_calls()[-1].text, DOWNLOAD_FAIL, run.describe())
        self.assertNotIn("OnSuccess", run.names())

        # Three syncs of the file (the plug-in retries twice), each giving up
        # on the piece after its own retries; what did verify stays good.
        log = game.calls()
        failed = [line for line in log if "piece %d cannot be had" % unfetchable in line]
        self.assertGreaterEqual(len(failed), 3, log)
        after = QOV.verify(game.game_archive)
        self.assertIn(unfetchable, after["bad_pieces"])
        self.assertTrue(set(after["bad_pieces"]) <= set(before["bad_pieces"]), (before, after))
        states = gamekit.piece_map(game.game_archive)
        for piece in set(before["bad_pieces"]) - set(after["bad_pieces"]):
            self.assertEqual(states[piece], 1, piece)
        self.assertEqual(states[unfetchable], 2)

    def test_names_leaving_the_game_folder_fail_the_restore(self):
        # The archive's list file names a file ..\evil.dat; the restore
        # list asks for it in the game folder.  Then a destination two levels
        # up.  Each fails the restore; nothing is written outside the game.
        game = self.game(counts={"plain": 3, "comp": 3, "enc": 3})
        gamekit.write_tree(game.path("evil-source"), {"evil.dat": b"evil"})
        QOV.run("add", "--as", "..\\evil.dat", QOV.path(game.mirror_archive),
                QOV.path(game.path("evil-source", "evil.dat")))
        shutil.copy(game.mirror_archive, game.game_archive)
        good = sorted(game.contents)[0]
        outside = os.path.join(WORK, good.split("\\")[-1])
        for restore in ([good, "..\\evil.dat"], "two levels up"):
            if restore == "two levels up":
                game.restore_list([good], destination="..\\..\\")
            else:
                game.restore_list(restore)
            run = game.run()
            self.assertEqual(run.code, hostrun.EXIT_FAILURE, run.describe())
            self.assertEqual(run.sink_calls()[-1].text, RESTORE_FAIL, run.describe())
            self.assertFalse(os.path.exists(os.path.join(WORK, "evil.dat")), restore)
            self.assertFalse(os.path.exists(outside), restore)
            self.assertFalse(os.path.exists(os.path.join(WORK, good.split("\\")[0])), restore)
        with open(game.restored_path(good), "rb") as f:
            self.assertEqual(f.read(), game.contents[good], "the entry before the refused one")

    def test_a_stop_during_the_download_leaves_a_consistent_archive(self):
        game = self.game(counts={"plain": 6, "comp": 6, "enc": 6})
        game.archive["Throttle"] = str(2 * PIECE)
        game.write_settings()
        before = game.damage_kinds(0.1, 0.3, 0.5, 0.7, 0.9)
        names = sorted(game.contents)
        game.restore_list(names)

        run = game.run("--stop-on", "更新速度")
        self.assertEqual(run.code, hostrun.EXIT_STOPPED, run.describe())
        middle = QOV.verify(game.game_archive)
        fetched = set(before["bad_pieces"]) - set(middle["bad_pieces"])
        self.assertTrue(set(middle["bad_pieces"]) <= set(before["bad_pieces"]), (before, middle))
        self.assertTrue(middle["bad_pieces"], "the stop came after the whole download")
        states = gamekit.piece_map(game.game_archive)
        for piece in middle["bad_pieces"]:
            self.assertEqual(states[piece], 2, piece)
        for piece in fetched:
            self.assertEqual(states[piece], 1, piece)

        # A new run, unthrottled, finishes the repair.
        del game.archive["Throttle"]
        game.write_settings()
        again = game.run()
        self.assertEqual(again.code, hostrun.EXIT_SUCCESS, again.describe())
        self.assertEqual(QOV.verify(game.game_archive)["bad_pieces"], [])
        self.assertEqual(game.statistics()["PiecesFetched"], len(middle["bad_pieces"]))
        for name in names:
            with open(game.restored_path(name), "rb") as f:
                self.assertEqual(f.read(), game.contents[name], name)


class ArchiveOverHttp(unittest.TestCase):
    """The engine fetches from a web server: `Mirror=` is the address of the
    mirror archive that nginx serves on a loopback port."""

    maxDiff = None

    def game(self, counts=None, https=False, rules=None):
        game = ArchiveGame(self.id().rsplit(".", 1)[-1], counts=counts)
        server = webmirror.Nginx(game.path("nginx"), game.root).start()
        self.addCleanup(server.stop)
        base = server.https if https else server.http
        if rules is not None:
            proxy = webmirror.FaultProxy(game.path("proxy"), server.port, rules).start()
            self.addCleanup(proxy.stop)
            base = proxy.url("")
            game.proxy = proxy
        game.server = server
        game.archive["Mirror"] = base + "/mirror.qov"
        if https:
            game.archive["CaFile"] = hostrun.windows_path(server.ca_file)
        game.write_settings()
        return game

    def data_requests(self, game):
        """nginx's log entries of piece requests (not the probe's header
        window and piece table)."""
        table = QOV.info(game.mirror_archive)["md5_table_pos"]
        return [e for e in game.server.access_log()
                if e["range"] and 0 < int(e["range"][6:].split("-")[0]) < table]

    def data_rule(self, game, fault, **params):
        rule = {"fault": fault, "from": PIECE, "to": QOV.info(game.mirror_archive)["md5_table_pos"]}
        rule.update(params)
        return rule

    def assertRepairedLikeMirror(self, game, names):
        after = QOV.verify(game.game_archive)
        self.assertEqual((after["bad_pieces"], after["bad_files"]), ([], []), after)
        for name in names:
            with open(game.restored_path(name), "rb") as f:
                self.assertEqual(f.read(), game.contents[name], name)

    def test_damaged_files_of_every_kind_are_repaired_over_http(self):
        game = self.game()
        before = game.damage_kinds(0.3, 0.7)
        names = sorted(game.contents)[::5]
        game.restore_list(names)
        run = game.run()
        self.assertEqual(run.code, hostrun.EXIT_SUCCESS, run.describe())
        self.assertRepairedLikeMirror(game, names)
        self.assertEqual(set(gamekit.piece_map(game.game_archive)), {1})
        # Only the damaged pieces were asked for, besides the probe, all
        # answered 206.
        data = self.data_requests(game)
        self.assertEqual(webmirror.served_bytes(data), PIECE * len(before["bad_pieces"]))
        self.assertTrue(all(e["status"] == 206 for e in game.server.access_log()), game.server.access_log())
        self.assertEqual(game.statistics()["PiecesFetched"], len(before["bad_pieces"]))
        again = game.run()
        self.assertEqual([(c.name, c.text) for c in again.sink_calls()],
                         [("OnProgress", DONE), ("OnSuccess", "")], again.describe())

    def test_damaged_files_are_repaired_over_https_from_a_private_ca(self):
        game = self.game(counts={"plain": 4, "comp": 4, "enc": 4}, https=True)
        game.damage_kinds(0.5)
        names = sorted(game.contents)[:3]
        game.restore_list(names)
        run = game.run()
        self.assertEqual(run.code, hostrun.EXIT_SUCCESS, run.describe())
        self.assertRepairedLikeMirror(game, names)

    def test_tables_rebuilt_and_a_missing_archive_made_over_http(self):
        game = self.game(counts={"plain": 4, "comp": 4, "enc": 4})
        info = QOV.info(game.game_archive)
        gamekit.damage(game.game_archive, [info["het_pos"] + 40])
        names = sorted(game.contents)
        game.restore_list(names)
        run = game.run()
        self.assertEqual(run.code, hostrun.EXIT_SUCCESS, run.describe())
        self.assertIn(ENGINE_REPAIRING, [c.text for c in run.progress()], run.describe())
        self.assertRepairedLikeMirror(game, names)
        os.remove(game.game_archive)
        run = game.run()
        self.assertEqual(run.code, hostrun.EXIT_SUCCESS, run.describe())
        self.assertRepairedLikeMirror(game, names)

    def test_a_slow_server_resets_and_a_503_burst_are_ridden_out(self):
        cases = [("delay", {"seconds": 0.5, "times": 3}),
                 ("reset", {"after": 3000, "times": 2}),
                 ("status", {"code": 503, "retry_after": 1, "times": 3})]
        for fault, params in cases:
            with self.subTest(fault=fault):
                game = ArchiveGame("%s-%s" % (self.id().rsplit(".", 1)[-1], fault),
                                   counts={"plain": 4, "comp": 4, "enc": 4})
                server = webmirror.Nginx(game.path("nginx"), game.root).start()
                self.addCleanup(server.stop)
                proxy = webmirror.FaultProxy(game.path("proxy"), server.port,
                                             [self.data_rule(game, fault, **params)]).start()
                self.addCleanup(proxy.stop)
                game.archive["Mirror"] = proxy.url("/mirror.qov")
                game.write_settings()
                game.damage_kinds(0.3, 0.7)
                names = sorted(game.contents)[::3]
                game.restore_list(names)
                run = game.run()
                self.assertEqual(run.code, hostrun.EXIT_SUCCESS, run.describe())
                self.assertRepairedLikeMirror(game, names)
                self.assertTrue(any(r["fault"] == fault for r in proxy.requests()), proxy.requests())
                if fault != "delay":
                    self.assertTrue(any("trying again" in line for line in game.calls()), game.calls())

    def test_a_piece_the_mirror_lacks_fails_the_download_and_keeps_what_verified(self):
        game = self.game(counts={"plain": 8, "comp": 8, "enc": 8})
        before = game.damage_kinds(0.2, 0.6)
        start, end = game.spans["comp"]
        spot = int(start + (end - start) * 0.6)
        gamekit.damage(game.mirror_archive, [spot])  # what nginx serves
        unfetchable = spot // PIECE
        self.assertIn(unfetchable, before["bad_pieces"])
        game.restore_list([sorted(game.contents)[0]])

        run = game.run("--linger", "1500")
        self.assertEqual(run.code, hostrun.EXIT_FAILURE, run.describe())
        self.assertEqual(run.names().count("OnFail"), 1, run.describe())
        self.assertEqual(run.sink_calls()[-1].text, DOWNLOAD_FAIL, run.describe())
        log = game.calls()
        self.assertGreaterEqual(len([line for line in log if "piece %d cannot be had" % unfetchable in line]), 3, log)
        after = QOV.verify(game.game_archive)
        self.assertIn(unfetchable, after["bad_pieces"])
        self.assertTrue(set(after["bad_pieces"]) <= set(before["bad_pieces"]), (before, after))
        states = gamekit.piece_map(game.game_archive)
        for piece in set(before["bad_pieces"]) - set(after["bad_pieces"]):
            self.assertEqual(states[piece], 1, piece)
        self.assertEqual(states[unfetchable], 2)

    def test_a_stop_during_the_download_and_a_new_run_that_finishes(self):
        game = self.game(counts={"plain": 6, "comp": 6, "enc": 6})
        game.archive["Throttle"] = str(2 * PIECE)
        game.write_settings()
        before = game.damage_kinds(0.1, 0.3, 0.5, 0.7, 0.9)
        names = sorted(game.contents)
        game.restore_list(names)
        run = game.run("--stop-on", "更新速度")
        self.assertEqual(run.code, hostrun.EXIT_STOPPED, run.describe())
        middle = QOV.verify(game.game_archive)
        self.assertTrue(middle["bad_pieces"], "the stop came after the whole download")
        self.assertTrue(set(middle["bad_pieces"]) <= set(before["bad_pieces"]), (before, middle))
        states = gamekit.piece_map(game.game_archive)
        for piece in middle["bad_pieces"]:
            self.assertEqual(states[piece], 2, piece)

        del game.archive["Throttle"]
        game.write_settings()
        served = len(game.server.access_log())
        again = game.run()
        self.assertEqual(again.code, hostrun.EXIT_SUCCESS, again.describe())
        self.assertRepairedLikeMirror(game, names)
        self.assertEqual(game.statistics()["PiecesFetched"], len(middle["bad_pieces"]))
        # The new run asked only for what was left.
        table = QOV.info(game.mirror_archive)["md5_table_pos"]
        later = [e for e in game.server.access_log()[served:]
                 if e["range"] and 0 < int(e["range"][6:].split("-")[0]) < table]
        self.assertEqual(webmirror.served_bytes(later), PIECE * len(middle["bad_pieces"]))


def main():
    global HOST, BIN, WORK, QOV
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", required=True)
    parser.add_argument("--bin", required=True)
    parser.add_argument("--work", required=True)
    options, rest = parser.parse_known_args()
    HOST, BIN, WORK = options.host, options.bin, options.work
    needed = [HOST] + [os.path.join(BIN, name) for name in gamekit.BINARIES + ("qov.exe",)]
    missing = [path for path in needed if not os.path.isfile(path)]
    if missing:
        print("FAILED: not built: " + ", ".join(missing))
        return 1
    QOV = gamekit.Qov(os.path.join(BIN, "qov.exe"))
    os.makedirs(WORK, exist_ok=True)
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
