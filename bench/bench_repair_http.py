#!/usr/bin/env python3
"""`qov repair` over loopback HTTP from nginx, against curl fetching the
same byte ranges with the same number of connections, in the same run.

  1. 256 MiB of damaged 1 MiB pieces (every data piece of a 257 MiB
     archive): `qov repair --from http://...` and `curl -Z --parallel-max
     JOBS` over the very ranges the repair asks for (adjacent pieces joined
     up to 8 MiB), each into a file; then the same repair from the mirror
     archive on disk.  Runs alternate.  The repair's download (its
     fetch_seconds: requests, MD5 of every piece, verified writes) and its
     whole run (also the probe and the MD5 check of all 257 MiB first) are
     each set against curl's wall time; and the CPU time of the download
     (the repair's less that of a dry run, which does the check alone)
     against curl's, the steadier figure on a busy machine.
  2. A large plan: 10,000 damaged 32 KiB pieces (every other piece of a
     640 MiB archive, 10,000 requests): the time from the start to the first
     piece written, and how much of it the check of every local piece takes.

nginx serves the mirrors from the page cache (each is read once before).

Usage: bench_repair_http.py --qov QOV --data DIR [--reps N] [--jobs N]
The last line is "RESULT key=value ..." for run_bench.sh.
"""

import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(ROOT, "repair", "tests"))
import webmirror  # noqa: E402

MIB = 1024 * 1024
ENV = webmirror.clean_environment()
MAX_REQUEST = 8 * MIB


def run(command, **kwargs):
    return subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=ENV, **kwargs)


def cpu_of(command):
    """Runs COMMAND; returns (its result, wall seconds, CPU seconds: user and
    system of the process and its threads)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.monotonic()
    result = run(command)
    wall = time.monotonic() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return result, wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def check(result, what):
    if result.returncode != 0:
        sys.exit("%s failed (exit %d):\n%s%s" % (what, result.returncode, result.stdout.decode(errors="replace"),
                                                  result.stderr.decode(errors="replace")))
    return result


def make_mirror(qov, folder, name, piece, files, file_size):
    """An archive of FILES files of random bytes (stored plain) with pieces of
    PIECE bytes, made once (a stamp file holds its parameters)."""
    path = os.path.join(folder, name)
    params = "%d %d %d" % (piece, files, file_size)
    stamp = path + ".stamp"
    if os.path.exists(stamp) and open(stamp).read() == params and run([qov, "info", path]).returncode == 0:
        return path
    source = os.path.join(folder, name + ".files")
    shutil.rmtree(source, ignore_errors=True)
    os.makedirs(source)
    for n in range(files):
        with open(os.path.join(source, "file%04d.bin" % n), "wb") as f:
            f.write(os.urandom(file_size))
    if os.path.exists(path):
        os.remove(path)
    check(run([qov, "create", "--piece-size", str(piece), "--capacity", str(files + 16), path]), "qov create")
    check(run([qov, "add", "--no-compress", path, source]), "qov add")
    shutil.rmtree(source)
    with open(stamp, "w") as f:
        f.write(params)
    return path


def info(qov, path):
    return json.loads(check(run([qov, "info", "--json", path]), "qov info").stdout)


def damaged_copy(mirror, target, piece, pieces):
    shutil.copyfile(mirror, target)
    with open(target, "r+b") as f:
        for p in pieces:
            f.seek(p * piece + piece // 2)
            byte = f.read(1)
            f.seek(p * piece + piece // 2)
            f.write(bytes([byte[0] ^ 0xFF]))


def warm(path):
    with open(path, "rb") as f:
        while f.read(16 * MIB):
            pass


def runs_of(pieces, piece):
    """The byte ranges the repair asks for: adjacent pieces joined up to 8 MiB."""
    runs = []
    for p in pieces:
        if runs and runs[-1][0] + runs[-1][1] == p * piece and runs[-1][1] + piece <= MAX_REQUEST:
            runs[-1][1] += piece
        else:
            runs.append([p * piece, piece])
    return runs


def repair(qov, target, source, jobs, dry_run=False):
    """Returns (wall seconds, CPU seconds, the JSON report)."""
    command = [qov, "repair", target, "--from", source, "--jobs", str(jobs), "--json"]
    result, wall, cpu = cpu_of(command + (["--dry-run"] if dry_run else []))
    check(result, "qov repair")
    report = json.loads(result.stdout)
    if not dry_run and report["result"]["outcome"] != "repaired":
        sys.exit("the repair did not end repaired: %s" % report["result"])
    return wall, cpu, report


def curl(url, runs, jobs, scratch):
    config = os.path.join(scratch, "curl.cfg")
    outputs = os.path.join(scratch, "curl-out")
    os.makedirs(outputs, exist_ok=True)
    entries = ['url = "%s"\nrange = "%d-%d"\noutput = "%s/range%05d"\n' % (url, start, start + length - 1, outputs, n)
               for n, (start, length) in enumerate(runs)]
    with open(config, "w") as f:
        f.write("next\n".join(entries))
    result, wall, cpu = cpu_of(["curl", "-sS", "--no-progress-meter", "--fail", "-Z", "--parallel-max", str(jobs),
                                "-K", config])
    check(result, "curl")
    got = sum(os.path.getsize(os.path.join(outputs, name)) for name in os.listdir(outputs))
    shutil.rmtree(outputs)
    return wall, cpu, got


def mib_per_s(size, seconds):
    return size / MIB / seconds if seconds > 0 else 0.0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qov", required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--jobs", type=int, default=4)
    args = parser.parse_args()
    qov = os.path.abspath(args.qov)
    data = os.path.abspath(args.data)
    www = os.path.join(data, "www")
    os.makedirs(www, exist_ok=True)

    big = make_mirror(qov, www, "net256.qov", MIB, 64 + 1, 4 * MIB + 0)  # 260 MiB of files
    many = make_mirror(qov, www, "net32k.qov", 32 * 1024, 40, 16 * MIB)
    big_info, many_info = info(qov, big), info(qov, many)
    big_pieces = list(range(1, 257))  # 256 MiB of pieces, none of them the tables'
    many_pieces = list(range(1, 20001, 2))  # 10,000 pieces, none adjacent
    assert big_info["het_pos"] > 257 * MIB and many_info["het_pos"] > 20001 * 32 * 1024
    for path in (big, many):
        warm(path)

    scratch = tempfile.mkdtemp(prefix="bench-repair-", dir=data)
    server = webmirror.Nginx(os.path.join(scratch, "nginx"), www, tls=False).start()
    try:
        url = "%s/net256.qov" % server.http
        runs = runs_of(big_pieces, MIB)
        size = len(big_pieces) * MIB
        print("256 MiB of damaged 1 MiB pieces over loopback HTTP (nginx), %d connections, %d requests of up to 8 MiB"
              % (args.jobs, len(runs)))
        figures = {"http_fetch": [], "http_whole": [], "curl": [], "local_fetch": [], "local_whole": [],
                   "curl_cpu": [], "fetch_cpu": []}
        target = os.path.join(scratch, "local.qov")
        for rep in range(args.reps):
            for step in (("http", "curl") if rep % 2 == 0 else ("curl", "http")):
                if step == "curl":
                    wall, cpu, got = curl(url, runs, args.jobs, scratch)
                    if got != size:
                        sys.exit("curl fetched %d bytes, not %d" % (got, size))
                    figures["curl"].append(wall)
                    figures["curl_cpu"].append(cpu)
                    print("  run %d curl -Z --parallel-max %d   wall %6.3f s  %7.1f MiB/s  cpu %.3f s"
                          % (rep + 1, args.jobs, wall, mib_per_s(size, wall), cpu))
                    continue
                damaged_copy(big, target, MIB, big_pieces)
                # The check and plan alone (a dry run), for the CPU the
                # download itself takes.
                _, check_cpu, _ = repair(qov, target, url, args.jobs, dry_run=True)
                wall, cpu, report = repair(qov, target, url, args.jobs)
                if report["plan"]["bytes"] != size:
                    sys.exit("the plan holds %d bytes, not %d" % (report["plan"]["bytes"], size))
                if rep == 0:
                    check(run([qov, "verify", target]), "qov verify after the repair")
                fetch = report["result"]["fetch_seconds"]
                figures["http_fetch"].append(fetch)
                figures["http_whole"].append(wall)
                figures["fetch_cpu"].append(max(cpu - check_cpu, 0.001))
                print("  run %d qov repair (HTTP)         wall %6.3f s  download %6.3f s  %7.1f MiB/s"
                      " (check and plan %.3f s)  cpu %.3f s, of which the download %.3f s"
                      % (rep + 1, wall, fetch, mib_per_s(size, fetch), report["result"]["prepare_seconds"], cpu,
                         figures["fetch_cpu"][-1]))
            damaged_copy(big, target, MIB, big_pieces)
            wall, _, report = repair(qov, target, big, args.jobs)
            fetch = report["result"]["fetch_seconds"]
            figures["local_fetch"].append(fetch)
            figures["local_whole"].append(wall)
            print("  run %d qov repair (mirror file)  wall %6.3f s  download %6.3f s  %7.1f MiB/s"
                  % (rep + 1, wall, fetch, mib_per_s(size, fetch)))
        med = {key: statistics.median(values) for key, values in figures.items()}
        fetch_ratio = med["curl"] / med["http_fetch"]
        whole_ratio = med["curl"] / med["http_whole"]
        print("  medians: curl %.3f s (%.1f MiB/s); repair download %.3f s (%.1f MiB/s), whole %.3f s;"
              " from the mirror file: download %.3f s (%.1f MiB/s), whole %.3f s"
              % (med["curl"], mib_per_s(size, med["curl"]), med["http_fetch"], mib_per_s(size, med["http_fetch"]),
                 med["http_whole"], med["local_fetch"], mib_per_s(size, med["local_fetch"]), med["local_whole"]))
        print("  throughput / curl's: download %.2f, whole run %.2f" % (fetch_ratio, whole_ratio))
        cpu_ratio = med["curl_cpu"] / med["fetch_cpu"]
        print("  cpu: curl %.3f s, the repair's download %.3f s (MD5 of every piece and verified writes):"
              " curl's / the repair's %.2f" % (med["curl_cpu"], med["fetch_cpu"], cpu_ratio))

        print("a large plan: 10,000 damaged 32 KiB pieces of a %d MiB archive (10,000 requests), %d connections"
              % (many_info["archive_size"] // MIB, args.jobs))
        firsts, prepares, fetches = [], [], []
        for rep in range(args.reps):
            damaged_copy(many, target, 32 * 1024, many_pieces)
            wall, _, report = repair(qov, target, "%s/net32k.qov" % server.http, args.jobs)
            result = report["result"]
            firsts.append(result["first_piece_seconds"])
            prepares.append(result["prepare_seconds"])
            fetches.append(result["fetch_seconds"])
            print("  run %d first piece written %.3f s after the start (check and plan %.3f s, then %.1f ms);"
                  " 10,000 pieces in %.3f s (%.0f requests/s), whole %.3f s"
                  % (rep + 1, firsts[-1], prepares[-1], (firsts[-1] - prepares[-1]) * 1000, fetches[-1],
                     10000 / fetches[-1], wall))
        first, prepare = statistics.median(firsts), statistics.median(prepares)
        print("  median: first piece %.3f s after the start, %.1f ms after the plan" % (first, (first - prepare) * 1000))
        print("RESULT fetch_ratio=%.3f whole_ratio=%.3f cpu_ratio=%.3f curl_mibs=%.1f fetch_mibs=%.1f"
              " local_mibs=%.1f first_piece_s=%.3f first_after_plan_ms=%.1f"
              % (fetch_ratio, whole_ratio, cpu_ratio, mib_per_s(size, med["curl"]), mib_per_s(size, med["http_fetch"]),
                 mib_per_s(size, med["local_fetch"]), first, (first - prepare) * 1000))
    finally:
        server.stop()
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
