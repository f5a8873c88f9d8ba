#!/usr/bin/env python3
"""The demo's steps (run by demo.sh): a sample game with a damaged archive,
repaired by the plug-in through MORLHost.exe under Wine from a mirror that
nginx serves on a loopback port, checked with qov."""

import argparse
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "standin", "engine", "tests"))
sys.path.insert(0, os.path.join(HERE, "..", "repair", "tests"))
import gamekit  # noqa: E402
import webmirror  # noqa: E402
from gamekit import hostrun  # noqa: E402

PIECE = 32768
COUNTS = {"plain": 100, "comp": 100, "enc": 100}
THROTTLE = 64 * 1024  # bytes per second: the download takes a few seconds

step_number = 0


def step(text):
    global step_number
    step_number += 1
    print("\n== Step %d: %s" % (step_number, text), flush=True)


def say(text):
    print("   " + text, flush=True)


def fail(text):
    print("\nDEMO FAILED: " + text, file=sys.stderr, flush=True)
    sys.exit(1)


class Served:
    """What nginx served since the last look, from its access log: the
    requests and bytes of the probe (the header window and the MD5 piece
    table, which every start of the engine reads) and of the pieces."""

    def __init__(self, server, table_position):
        self.server = server
        self.table = table_position
        self.seen = 0

    def report(self):
        entries = self.server.access_log()[self.seen:]
        self.seen += len(entries)

        def first_byte(entry):
            return int(entry["range"][6:].split("-")[0]) if entry["range"].startswith("bytes=") else 0

        pieces = [e for e in entries if 0 < first_byte(e) < self.table]
        probe = [e for e in entries if e not in pieces]
        say("nginx served %d requests, %d bytes: %d for the header and the tables (%d requests), "
            "%d for pieces (%d requests)" % (len(entries), webmirror.served_bytes(entries),
                                            webmirror.served_bytes(probe), len(probe),
                                            webmirror.served_bytes(pieces), len(pieces)))
        statuses = sorted({e["status"] for e in entries})
        say("answers: %s" % ", ".join(str(status) for status in statuses))
        return webmirror.served_bytes(pieces)


def run_host(host, game, trace):
    """Runs MORLHost.exe on the game and prints each line as it comes."""
    command = hostrun.EMULATOR + [host, "--timestamps", "--timeout", "300",
                                  "--trace", hostrun.windows_path(trace), hostrun.windows_path(game.root)]
    say("$ MORLHost.exe --timestamps --trace trace.txt " + hostrun.windows_path(game.root))
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL)
    lines = []
    for raw in process.stdout:
        line = raw.decode("utf-8", errors="replace").rstrip("\r\n")
        if line:
            lines.append(line)
            say("  " + line)
    return process.wait(), lines


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--bin", required=True)
    parser.add_argument("--work", required=True)
    options = parser.parse_args()
    host = os.path.join(options.bin, "MORLHost.exe")
    qov = gamekit.Qov(os.path.join(options.bin, "qov.exe"))
    work = os.path.abspath(options.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)

    step("pack %d sample game files into a mirror archive (qov.exe)" % sum(COUNTS.values()))
    files = gamekit.sample_files(20240601, COUNTS, smallest=2000, largest=40000)
    contents = {name: data for kind in files.values() for name, data in kind.items()}
    mirror = os.path.join(work, "mirror", "mirror.qov")
    os.makedirs(os.path.dirname(mirror))
    spans = gamekit.make_mirror(qov, mirror, files, os.path.join(work, "mirror"), PIECE)
    info = qov.info(mirror)
    say("build/demo/mirror/mirror.qov: %d files (%d stored as they are, %d compressed, %d encrypted),"
        % (len(contents), COUNTS["plain"], COUNTS["comp"], COUNTS["enc"]))
    say("%d bytes in %d pieces of %d bytes, each with its MD5" % (os.path.getsize(mirror), info["piece_count"], PIECE))

    step("serve the mirror with nginx on a loopback port")
    server = webmirror.Nginx(os.path.join(work, "nginx"), os.path.dirname(mirror), tls=False).start()
    try:
        run_demo(options, host, qov, work, files, contents, mirror, spans, server)
    finally:
        server.stop()
    say("nginx stopped; its logs: build/demo/nginx/access.log (one line per request: status, bytes, range),")
    say("build/demo/nginx/error.log; the plug-in's traces: build/demo/trace-1.txt, build/demo/trace-2.txt")
    print("\nDEMO OK", flush=True)


def run_demo(options, host, qov, work, files, contents, mirror, spans, server):
    address = server.http + "/mirror.qov"
    say("the mirror's address: " + address)
    served = Served(server, qov.info(mirror)["md5_table_pos"])

    step("lay out the game folder build/demo/game and damage its archive")
    game = gamekit.GameFolder(os.path.join(work, "game"), options.bin)
    game.archive = {"Game": "game.qov", "Mirror": address, "Throttle": str(THROTTLE)}
    game.write_settings()
    shutil.copy(mirror, game.game_archive)
    fractions = (0.1, 0.35, 0.6, 0.85)
    gamekit.damage(game.game_archive,
                   [int(a + (b - a) * f) for a, b in spans.values() for f in fractions])
    before = qov.verify(game.game_archive)
    say("MORL/game.qov: a copy of the mirror with %d bytes flipped: %d damaged pieces, %d damaged files"
        % (len(spans) * len(fractions), len(before["bad_pieces"]), len(before["bad_files"])))
    for name in before["bad_files"]:
        say("  damaged: " + name)
    names = sorted(contents)
    game.download_list(names)
    restore = names[::12]
    missing, stale, right = restore[0::3], restore[1::3], restore[2::3]
    gamekit.write_tree(game.root, {name: b"an old version" for name in stale})
    gamekit.write_tree(game.root, {name: contents[name] for name in right})
    game.restore_list(restore)
    say("MORL/DLList_1.ini lists all %d files; MORL/RTList_1.ini lists %d to restore into the game"
        % (len(names), len(restore)))
    say("folder: %d missing there, %d with other content, %d already right" % (len(missing), len(stale), len(right)))
    say("MORL/morl_script.ini: the archive-backed engine, Mirror=%s, a limit of %d KB/s"
        % (address, THROTTLE // 1024))

    step("run the repair: MORLHost.exe loads MORL/Brevik.dll, which drives morl.dll")
    code, lines = run_host(host, game, os.path.join(work, "trace-1.txt"))
    if code != 0:
        fail("the repair did not succeed (exit %d); the plug-in's trace is build/demo/trace-1.txt" % code)
    stats = game.statistics()
    say("the engine fetched %d pieces (%d bytes), exactly the %d damaged ones; they held parts of"
        % (stats["PiecesFetched"], stats["BytesFetched"], len(before["bad_pieces"])))
    say("%d files (a piece spans several small files)" % stats["FilesFetched"])
    if stats["PiecesFetched"] != len(before["bad_pieces"]):
        fail("the engine did not fetch exactly the damaged pieces")
    if served.report() != PIECE * len(before["bad_pieces"]):
        fail("nginx did not serve exactly the damaged pieces")
    say("version recorded in morlfixedconfig.ini: %s" % game.recorded("version"))

    step("run it again: the game is up to date")
    code, lines = run_host(host, game, os.path.join(work, "trace-2.txt"))
    if code != 0 or not any(line.endswith("OnProgress 100 校验数据完成") for line in lines):
        fail("the second run did not report the game up to date")
    if served.report() != 0:
        fail("the second run fetched pieces")

    step("check the repaired archive with qov verify, and the restored files")
    say("$ qov.exe verify build/demo/game/MORL/game.qov")
    report = qov.run("verify", qov.path(game.game_archive), ok=(0, 1))
    for line in report.splitlines()[-3:]:
        say("  " + line)
    after = qov.verify(game.game_archive)
    if after["bad_pieces"] or after["bad_files"]:
        fail("the archive still has damage: %s" % after)
    extracted = os.path.join(work, "mirror", "extracted")
    qov.run("extract", "-o", qov.path(extracted), qov.path(mirror), *restore)
    for name in restore:
        with open(game.restored_path(name), "rb") as a, open(os.path.join(extracted, *name.split("\\")), "rb") as b:
            if a.read() != b.read():
                fail("%s differs from the mirror's" % name)
    say("every piece verifies; the %d restored files equal the mirror's" % len(restore))


if __name__ == "__main__":
    start = time.time()
    main()
    print("(%.0f s)" % (time.time() - start))
