#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Dask counting and summing a packed CSV through kob://, on one worker
process and on two, beside the same data gzipped and plain; then the same
file read from the S3 test server, its requests and bytes per partition.

The data: --mb MB (256) of generated CSV rows (id, amount, price, name; a
fixed seed), packed with kob at the default level, gzipped at level 6,
and plain, made once in --dir (TMPDIR/kob-dask-bench) and kept there.
Each run is dask.dataframe.read_csv(..., blocksize=16 MiB) with the
size and the sum of its column amount computed together, on a LocalCluster of
1 and of 2 worker processes of one thread each (a small computation first,
so that the workers have imported pandas), the fastest of --repeat (3)
in one run. gzip cannot be cut: Dask reads it as one partition. Rates are
MB of plain data a second, wall clock: the scaling ratio is the 2-worker
rate over the 1-worker rate; "cores used" is the workers' CPU time over
the wall clock, which on a machine shared with others says how much of
two cores they were given.
The goal on two cores: kob's ratio at least 1.6.

Remote: nginx and tests/s3_server.py on 127.0.0.1 serve the packed file
and its saved index; the 2-worker cluster reads it through kob::http://
(kob's own reader, which takes up the index) and kob::s3:// (botocore's
ranged GETs, as long as kob.open cannot read s3:// itself: no index);
their logs give the GETs and body bytes, the client's (the size, Dask's
sample) apart from the workers', per partition and beside the packed
bytes a partition holds.

Usage: PYTHONPATH=BUILD/python bench/dask_bench.py [--mb N] [--dir DIR]
       [--repeat N] [--no-remote] (scripts/bench.sh runs it on its own build). Needs
python3-dask, python3-distributed, python3-pandas, python3-fsspec,
python3-botocore, nginx-light.
"""
import argparse
import gzip
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

import dask
import dask.dataframe as dd
from dask.distributed import Client, LocalCluster

import kob

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BLOCKSIZE = 16 << 20
NAMES = ["kob", "chunk", "lzo", "zebra", "alpha", "delta", "omega", "sigma"]
KEY, SECRET, REGION = "AKIDKOBBENCH", "kob/bench+secret", "eu-west-3"


def make_data(folder, megabytes, seed=1):
    """The three files, made when missing. Returns: {kind: path}, rows."""
    plain = os.path.join(folder, "rows.csv")
    files = {"plain": plain, "kob": plain + ".kob", "gzip": plain + ".gz"}
    meta = os.path.join(folder, "rows.json")
    wanted = {"mb": megabytes, "seed": seed, "version": kob.version}
    if all(os.path.exists(p) for p in files.values()) and os.path.exists(meta):
        with open(meta) as f:
            known = json.load(f)
        if known.get("wanted") == wanted:
            if kob.index_state(files["kob"]) != "valid":
                kob.write_index(files["kob"])
            return files, known["rows"], known["amount"]
    rng = random.Random(seed)
    rows = amount = 0
    with open(plain + ".part", "w") as out:
        out.write("id,amount,price,name\n")
        written = 0
        while written < megabytes << 20:
            values = [rng.randrange(100000) for _ in range(100000)]
            block = "".join("%d,%d,%.2f,%s\n" % (rows + i, v, v / 7.0, NAMES[v % 8])
                            for i, v in enumerate(values))
            out.write(block)
            written += len(block)
            rows += len(values)
            amount += sum(values)
    os.replace(plain + ".part", plain)
    kob.pack(plain, files["kob"], threads=0)
    kob.write_index(files["kob"])  # rows.csv.kob.kbi, as a data set would have
    with open(plain, "rb") as source, open(files["gzip"] + ".part", "wb") as raw:
        with gzip.GzipFile(fileobj=raw, mode="wb", compresslevel=6, mtime=0) as out:
            shutil.copyfileobj(source, out, 1 << 20)
    os.replace(files["gzip"] + ".part", files["gzip"])
    with open(meta, "w") as f:
        json.dump({"wanted": wanted, "rows": rows, "amount": amount}, f)
    return files, rows, amount


def frame(kind, files, options=None):
    if kind == "gzip":
        return dd.read_csv(files["gzip"], compression="gzip", blocksize=None)
    if kind == "kob":
        return dd.read_csv("kob://" + files["kob"], blocksize=BLOCKSIZE)
    if kind == "s3":
        return dd.read_csv("kob::s3://bench/rows.csv.kob", blocksize=BLOCKSIZE,
                           storage_options={"s3": options})
    return dd.read_csv(files["plain"], blocksize=BLOCKSIZE)


def worker_cpu():
    import resource
    used = resource.getrusage(resource.RUSAGE_SELF)
    return used.ru_utime + used.ru_stime


def count_and_sum(client, data, rows, amount, repeat=1):
    """Returns: (seconds, the workers' CPU seconds) of the fastest of
    `repeat` runs."""
    best = None
    for _ in range(repeat):
        cpu = sum(client.run(worker_cpu).values())
        started = time.perf_counter()
        # One column for both: Dask reads the blocks once (the frame's
        # length and a column's sum would be two reads of other columns).
        amounts = data["amount"]
        counted, summed = dask.compute(amounts.size, amounts.sum())
        took = time.perf_counter() - started
        if (counted, int(summed)) != (rows, amount):
            raise SystemExit("wrong answer: %r rows, sum %r" % (counted, summed))
        run = (took, sum(client.run(worker_cpu).values()) - cpu)
        best = run if best is None or run < best else best
    return best


def cluster(workers):
    made = LocalCluster(n_workers=workers, processes=True, threads_per_worker=1,
                        dashboard_address=None, silence_logs=40)
    client = Client(made)
    # Imports in the workers, before any timing.
    client.run(lambda: __import__("pandas") and __import__("kob._fsspec"))
    return made, client


class S3Server:
    def __init__(self, root):
        self.log = os.path.join(os.path.dirname(root), "s3.log")
        if os.path.exists(self.log):
            os.remove(self.log)
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(ROOT, "tests", "s3_server.py"), "--root", root,
             "--port", "0", "--log", self.log, "--region", REGION, "--access-key", KEY,
             "--secret-key", SECRET, "--lifetime", "1800"],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        self.endpoint = "http://127.0.0.1:%d" % int(self.process.stdout.readline())

    def entries(self, settle=0.5):
        time.sleep(settle)  # an entry is written once its answer has gone
        if not os.path.exists(self.log):
            return []
        with open(self.log) as lines:
            return [json.loads(line) for line in lines if json.loads(line)["key"]]

    def stop(self):
        self.process.terminate()
        self.process.wait()
        self.process.stdout.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mb", type=int, default=256)
    parser.add_argument("--dir", default=os.path.join(tempfile.gettempdir(), "kob-dask-bench"))
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--no-remote", action="store_true")
    args = parser.parse_args()
    os.makedirs(args.dir, exist_ok=True)
    started = time.perf_counter()
    files, rows, amount = make_data(args.dir, args.mb)
    size = os.path.getsize(files["plain"])
    print("data: %.1f MB plain, %d rows; kob %.1f MB (%.3f), gzip %.1f MB (%.3f); made in %.0f s"
          % (size / 1e6, rows, os.path.getsize(files["kob"]) / 1e6,
             os.path.getsize(files["kob"]) / size, os.path.getsize(files["gzip"]) / 1e6,
             os.path.getsize(files["gzip"]) / size, time.perf_counter() - started))
    kinds = ("kob", "gzip", "plain")
    seconds = {}
    partitions = {kind: frame(kind, files).npartitions for kind in kinds}
    for workers in (1, 2):
        made, client = cluster(workers)
        try:
            for kind in kinds:
                seconds[kind, workers] = count_and_sum(client, frame(kind, files), rows, amount,
                                                       args.repeat)
        finally:
            client.close()
            made.close()
    # The workers' CPU over the wall clock: how many cores they had, on a
    # machine shared with others.
    print("\n| count and sum | partitions | 1 worker MB/s | 2 workers MB/s | ratio "
          "| cores used, 1 / 2 workers | worker CPU s, 1 / 2 |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for kind in kinds:
        (t1, c1), (t2, c2) = seconds[kind, 1], seconds[kind, 2]
        print("| %s | %d | %.1f | %.1f | %.2f | %.2f / %.2f | %.2f / %.2f |"
              % (kind, partitions[kind], size / t1 / 1e6, size / t2 / 1e6, t1 / t2,
                 c1 / t1, c2 / t2, c1, c2))
    ratio = seconds["kob", 1][0] / seconds["kob", 2][0]
    print("\nkob, two workers over one: %.2f (goal 1.6): %s"
          % (ratio, "met" if ratio >= 1.6 else "NOT met"))
    if not args.no_remote:
        http(args, files, rows, amount)
        s3(args, files, rows, amount)


class Nginx:
    """nginx on 127.0.0.1 serving `root`, logging each request's method,
    status, body bytes and Range."""

    def __init__(self, root):
        import socket
        self.folder = os.path.dirname(root)
        self.log = os.path.join(self.folder, "access.log")
        if os.path.exists(self.log):
            os.remove(self.log)
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        conf = os.path.join(self.folder, "nginx.conf")
        with open(conf, "w") as out:
            out.write(("user root;\n" if os.geteuid() == 0 else "") +
                      "daemon off;\nworker_processes 1;\npid %(f)s/nginx.pid;\n"
                      "error_log %(f)s/error.log;\nevents { worker_connections 64; }\n"
                      "http {\n  log_format kob '$request_method $status $body_bytes_sent "
                      "\"$http_range\"';\n  access_log %(f)s/access.log kob;\n"
                      "  client_body_temp_path %(f)s/body;\n  proxy_temp_path %(f)s/proxy;\n"
                      "  fastcgi_temp_path %(f)s/fastcgi;\n"
                      "  server { listen 127.0.0.1:%(p)d; root %(r)s; }\n}\n"
                      % {"f": self.folder, "p": self.port, "r": root})
        self.process = subprocess.Popen(["/usr/sbin/nginx", "-p", self.folder, "-c", conf,
                                         "-e", os.path.join(self.folder, "error.log")],
                                        stdin=subprocess.DEVNULL)
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                break
            except OSError:
                time.sleep(0.05)
        self.endpoint = "http://127.0.0.1:%d" % self.port

    def entries(self, settle=0.5):
        time.sleep(settle)
        if not os.path.exists(self.log):
            return []
        with open(self.log) as lines:
            return [{"method": w[0], "bytes": int(w[2])}
                    for w in (line.split() for line in lines)]

    def stop(self):
        self.process.terminate()
        self.process.wait()


def serve(server_class, args, files):
    """The packed file and its index under a folder of their own, served."""
    folder = os.path.join(args.dir, server_class.__name__.lower())
    shutil.rmtree(folder, ignore_errors=True)
    root = os.path.join(folder, "root")
    os.makedirs(os.path.join(root, "bench"))
    for name in ("rows.csv.kob", "rows.csv.kob.kbi"):
        target = os.path.join(root, "bench", name)
        try:
            os.link(os.path.join(args.dir, name), target)
        except OSError:
            shutil.copyfile(os.path.join(args.dir, name), target)
    return server_class(root)


def remote(what, server, url, options, files, rows, amount):
    """Dask on 2 workers reading `url`; the requests the server logged."""
    try:
        made, client = cluster(2)
        try:
            # The client's part: the size and Dask's sample of the head.
            data = dd.read_csv(url, blocksize=BLOCKSIZE, storage_options=options)
            parts = data.npartitions
            before = len(server.entries())
            took, _ = count_and_sum(client, data, rows, amount)
        finally:
            client.close()
            made.close()
        entries = server.entries()
    finally:
        server.stop()
    packed = os.path.getsize(files["kob"])
    print("\n%s (2 workers, %d partitions, %.1f MB/s of plain data):"
          % (what, parts, os.path.getsize(files["plain"]) / took / 1e6))
    print("| requests of | GET | HEAD | body MB | per partition: GET | body MB |")
    print("|---|---:|---:|---:|---:|---:|")
    for who, part in (("the client", entries[:before]), ("the workers", entries[before:])):
        gets = [e for e in part if e["method"] == "GET"]
        body = sum(e["bytes"] for e in gets)
        print("| %s | %d | %d | %.1f | %.1f | %.2f |"
              % (who, len(gets), sum(e["method"] == "HEAD" for e in part), body / 1e6,
                 len(gets) / parts, body / parts / 1e6))
    body = sum(e["bytes"] for e in entries if e["method"] == "GET")
    print("the object: %.1f MB packed, %.2f MB a partition; all GETs brought %.2f times it"
          % (packed / 1e6, packed / parts / 1e6, body / packed))


def s3(args, files, rows, amount):
    server = serve(S3Server, args, files)
    options = {"s3": {"key": KEY, "secret": SECRET, "region": REGION,
                      "endpoint_url": server.endpoint}}
    remote("S3, kob::s3:// through botocore, which cannot take up the index",
           server, "kob::s3://bench/rows.csv.kob", options, files, rows, amount)


def http(args, files, rows, amount):
    server = serve(Nginx, args, files)
    remote("HTTP, kob::http:// through kob's reader, with the index",
           server, "kob::%s/bench/rows.csv.kob" % server.endpoint, None, files, rows, amount)

if __name__ == "__main__":
    main()
