#!/usr/bin/env python3
"""Repair throughput through the whole plug-in path against a plain copy.

A game archive whose data pieces are all damaged is repaired from a mirror by
MORLHost.exe -> Brevik.dll -> morl.dll (the archive-backed engine, no
throttle) under Wine.  The same pieces are then copied from the mirror into
a fresh damaged copy with a plain read and write loop (os.pread/os.pwrite,
natively).  Printed: the bytes, the engine's download time (first piece
asked for to last piece written, as the engine records it) and the whole
run's time (BeginMORLRepair to OnSuccess, as the host prints it), each
against the copy, as ratios of throughput.

Usage: bench_repair.py --windows-build DIR --qov QOV --data DIR [--reps N] [--mib N]
"""

import argparse
import hashlib
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(ROOT, "standin", "engine", "tests"))

PIECE = 1024 * 1024
FILE_SIZE = 4 * PIECE


def prepare(data, qov, mib):
    """The mirror (plain files of random bytes) and the list of its data
    pieces; made once per size."""
    import gamekit
    stamp = os.path.join(data, "repair.stamp")
    mirror = os.path.join(data, "mirror.qov")
    if os.path.exists(stamp) and open(stamp).read() == str(mib) and os.path.exists(mirror):
        return mirror
    shutil.rmtree(data, ignore_errors=True)
    os.makedirs(data)
    files = {"plain": {"plain\\big%03d.dat" % n: os.urandom(FILE_SIZE) for n in range(mib * PIECE // FILE_SIZE)}}
    gamekit.make_mirror(qov, mirror, files, data, PIECE)
    shutil.rmtree(os.path.join(data, "source-plain"), ignore_errors=True)
    with open(stamp, "w") as f:
        f.write(str(mib))
    return mirror


def damaged_copy(mirror, target, pieces):
    shutil.copy(mirror, target)
    with open(target, "r+b") as f:
        for piece in pieces:
            f.seek(piece * PIECE + PIECE // 2)
            byte = f.read(1)
            f.seek(piece * PIECE + PIECE // 2)
            f.write(bytes([byte[0] ^ 0xFF]))


def plain_copy(mirror, target, pieces, digest=False):
    """Reads each piece from the mirror and writes it into the target (with
    `digest`, also takes each piece's MD5 on the way, as any verified copy
    must)."""
    source = os.open(mirror, os.O_RDONLY)
    sink = os.open(target, os.O_WRONLY)
    try:
        start = time.perf_counter()
        for piece in pieces:
            data = os.pread(source, PIECE, piece * PIECE)
            if digest:
                hashlib.md5(data).digest()
            os.pwrite(sink, data, piece * PIECE)
        return time.perf_counter() - start
    finally:
        os.close(source)
        os.close(sink)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--windows-build", required=True)
    parser.add_argument("--qov", required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--mib", type=int, default=256)
    options = parser.parse_args()
    os.environ["BREVIK_EMULATOR"] = os.path.join(options.windows_build, "wine-run")
    import gamekit
    from gamekit import hostrun
    bin_dir = os.path.join(options.windows_build, "bin")
    qov = gamekit.Qov(options.qov)
    mirror = prepare(options.data, qov, options.mib)
    info = qov.info(mirror)
    # The pieces that lie wholly inside the files' data: all of them damaged.
    pieces = list(range(info["header_size"] // PIECE + 1, info["het_pos"] // PIECE))
    print("  mirror: %d MiB, %d pieces of 1 MiB; %d data pieces damaged in the game archive"
          % (os.path.getsize(mirror) >> 20, info["piece_count"], len(pieces)), flush=True)

    game = gamekit.GameFolder(os.path.join(options.data, "game"), bin_dir)
    game.archive = {"Game": "game.qov", "Mirror": hostrun.windows_path(mirror)}
    game.write_settings()
    names = ["plain\\big%03d.dat" % n for n in range(options.mib * PIECE // FILE_SIZE)]
    game.download_list(names)
    game.restore_list(names[:1], destination="restored\\")
    copy_target = os.path.join(options.data, "copy.qov")

    host = os.path.join(bin_dir, "MORLHost.exe")
    elapsed_line = re.compile(r"elapsed (\d+)\.(\d{3}) s")
    engine_ratios, whole_ratios, checked_ratios = [], [], []
    for rep in range(options.reps):
        damaged_copy(mirror, game.game_archive, pieces)
        shutil.rmtree(game.path("restored"), ignore_errors=True)
        game.write_settings()  # no version recorded: the repair is due again
        run = game.run(host, timeout=600)
        stats = game.statistics()
        if run.code != 0 or stats.get("PiecesFetched") != len(pieces):
            print(run.describe())
            raise SystemExit("the repair failed or fetched other pieces than the damaged ones: %s" % stats)
        if rep == 0 and qov.verify(game.game_archive)["bad_pieces"]:
            raise SystemExit("the repaired archive does not verify")
        found = [elapsed_line.search(c.text) for c in run.calls if c.name == "host" and "elapsed" in c.text]
        whole = int(found[-1].group(1)) + int(found[-1].group(2)) / 1000.0
        engine = stats["DownloadMs"] / 1000.0
        size = stats["BytesFetched"]

        damaged_copy(mirror, copy_target, pieces)
        copy = plain_copy(mirror, copy_target, pieces)
        damaged_copy(mirror, copy_target, pieces)
        checked = plain_copy(mirror, copy_target, pieces, digest=True)
        engine_ratios.append(copy / engine)
        whole_ratios.append(copy / whole)
        checked_ratios.append(checked / engine)
        mb = size / 1e6
        print("  run %d: %.0f MB fetched; engine download %.3f s (%.0f MB/s), whole run %.3f s (%.0f MB/s);"
              " plain copy %.3f s (%.0f MB/s), copy with MD5 %.3f s (%.0f MB/s)"
              % (rep + 1, mb, engine, mb / engine, whole, mb / whole, copy, mb / copy, checked, mb / checked),
              flush=True)
    os.remove(copy_target)
    print("RESULT engine_ratio=%.3f whole_ratio=%.3f md5_copy_ratio=%.3f"
          % (statistics.median(engine_ratios), statistics.median(whole_ratios), statistics.median(checked_ratios)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
