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

With --http, each run also repairs the same damage through the plug-in with
the mirror served by nginx on a loopback port (Mirror=http://...), and curl
fetches the very ranges the engine asks for (adjacent pieces joined up to
8 MiB) with as many connections as the engine has download threads (3):
the engine's download over HTTP against the same from the mirror file, and
against curl.

Usage: bench_repair.py --windows-build DIR --qov QOV --data DIR [--reps N] [--mib N] [--http]
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
sys.path.insert(0, os.path.join(ROOT, "bench"))

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


ENGINE_THREADS = 3  # the archive-backed engine's download threads by default


def repair_through_plugin(game, host, pieces, elapsed_line):
    """One repair of the damaged game; (engine download s, whole run s,
    bytes fetched)."""
    game.write_settings()  # no version recorded: the repair is due again
    run = game.run(host, timeout=600)
    stats = game.statistics()
    if run.code != 0 or stats.get("PiecesFetched") != len(pieces):
        print(run.describe())
        raise SystemExit("the repair failed or fetched other pieces than the damaged ones: %s" % stats)
    found = [elapsed_line.search(c.text) for c in run.calls if c.name == "host" and "elapsed" in c.text]
    whole = int(found[-1].group(1)) + int(found[-1].group(2)) / 1000.0
    return stats["DownloadMs"] / 1000.0, whole, stats["BytesFetched"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--windows-build", required=True)
    parser.add_argument("--qov", required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--mib", type=int, default=256)
    parser.add_argument("--http", action="store_true")
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
    http_ratios, curl_ratios = [], []
    server = None
    if options.http:
        import bench_repair_http
        import webmirror
        server = webmirror.Nginx(os.path.join(options.data, "nginx"), options.data, tls=False).start()
        bench_repair_http.warm(mirror)
        runs = bench_repair_http.runs_of(pieces, PIECE)
    try:
        for rep in range(options.reps):
            game.archive["Mirror"] = hostrun.windows_path(mirror)
            damaged_copy(mirror, game.game_archive, pieces)
            shutil.rmtree(game.path("restored"), ignore_errors=True)
            engine, whole, size = repair_through_plugin(game, host, pieces, elapsed_line)
            if rep == 0 and qov.verify(game.game_archive)["bad_pieces"]:
                raise SystemExit("the repaired archive does not verify")

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
            if server is None:
                continue
            game.archive["Mirror"] = server.http + "/mirror.qov"
            damaged_copy(mirror, game.game_archive, pieces)
            shutil.rmtree(game.path("restored"), ignore_errors=True)
            http_engine, http_whole, _ = repair_through_plugin(game, host, pieces, elapsed_line)
            scratch = os.path.join(options.data, "curl")
            os.makedirs(scratch, exist_ok=True)
            curl_wall, _, got = bench_repair_http.curl(server.http + "/mirror.qov", runs, ENGINE_THREADS, scratch)
            if got != size:
                raise SystemExit("curl fetched %d bytes, not %d" % (got, size))
            http_ratios.append(engine / http_engine)
            curl_ratios.append(curl_wall / http_engine)
            print("         over HTTP from nginx: engine download %.3f s (%.0f MB/s), whole run %.3f s (%.0f MB/s);"
                  " curl -Z --parallel-max %d over the same ranges %.3f s (%.0f MB/s)"
                  % (http_engine, mb / http_engine, http_whole, mb / http_whole, ENGINE_THREADS, curl_wall,
                     mb / curl_wall), flush=True)
    finally:
        if server is not None:
            server.stop()
    os.remove(copy_target)
    result = "RESULT engine_ratio=%.3f whole_ratio=%.3f md5_copy_ratio=%.3f" % (
        statistics.median(engine_ratios), statistics.median(whole_ratios), statistics.median(checked_ratios))
    if http_ratios:
        result += " http_vs_file=%.3f http_vs_curl=%.3f" % (statistics.median(http_ratios),
                                                           statistics.median(curl_ratios))
    print(result)
    return 0


if __name__ == "__main__":
    sys.exit(main())
