#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Lookups through the Python module kob, beside indexed_gzip and the C++
SharedReader, in one run.

3,000 lookups of 100 to 2,000 bytes at random positions in a 20 MB text
corpus (words of examples/dictionary.data in random lines, a fixed seed):
  - kob: Reader.pread on the packed corpus (its saved index written);
  - indexed_gzip: IndexedGzipFile(spacing=64 KiB), full index built first,
    seek and read on the corpus gzipped at level 6;
  - C++: the same lookups through kob::SharedReader, timed in C++;
  - CPU per lookup (time.process_time) of 4 threads doing pread at once
    against 1 thread.
Each measurement is run --repeat times (3) and the best kept.

Usage: PYTHONPATH=BUILD/python bench/python_bench.py [--size MB] [--lookups N]
(scripts/bench.sh runs it on its own build). Needs python3-indexed-gzip.
"""
import argparse
import gzip
import os
import random
import sys
import tempfile
import threading
import time

import kob

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def corpus(size, seed):
    with open(os.path.join(ROOT, "examples", "dictionary.data"), "rb") as f:
        words = sorted(set(f.read().split()))
    rng = random.Random(seed)
    lines = []
    total = 0
    while total < size:
        line = b" ".join(rng.choice(words) for _ in range(rng.randrange(3, 16))) + b"\n"
        lines.append(line)
        total += len(line)
    return b"".join(lines)[:size]


def lookups(size, count, seed):
    rng = random.Random(seed)
    lengths = [rng.randrange(100, 2001) for _ in range(count)]
    offsets = [rng.randrange(size - n) for n in lengths]
    return offsets, lengths


def per_lookup(seconds, count):
    return seconds / count * 1e6


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=20, help="corpus MB (20)")
    parser.add_argument("--lookups", type=int, default=3000)
    parser.add_argument("--repeat", type=int, default=3,
                        help="runs of each measurement, the best kept (3): the"
                        " machine's other work only ever adds time")
    parser.add_argument("--partial", action="store_true",
                        help="partial decoding for kob and the C++ reader")
    options = parser.parse_args()
    size = options.size * 1000 * 1000
    count = options.lookups
    data = corpus(size, 2026)
    offsets, lengths = lookups(size, count, 7)
    with tempfile.TemporaryDirectory() as scratch:
        plain = os.path.join(scratch, "corpus.txt")
        with open(plain, "wb") as f:
            f.write(data)
        packed = plain + ".kob"
        kob.pack(plain, packed, threads=2)
        kob.write_index(packed)
        gzipped = plain + ".gz"
        with gzip.open(gzipped, "wb", compresslevel=6) as f:
            f.write(data)
        print("corpus: %d bytes; packed %d; gzipped %d; %d lookups of 100..2000 bytes"
              % (size, os.path.getsize(packed), os.path.getsize(gzipped), count))

        # kob through Python.
        with kob.open(packed, partial=options.partial) as reader:
            for at, n in zip(offsets[:300], lengths[:300]):
                reader.pread(n, at)
            kob_seconds = float("inf")
            for _ in range(options.repeat):
                start = time.perf_counter()
                for at, n in zip(offsets, lengths):
                    got = reader.pread(n, at)
                kob_seconds = min(kob_seconds, time.perf_counter() - start)
            assert got == data[offsets[-1]:offsets[-1] + lengths[-1]]

            # CPU per lookup, 1 thread against 4 at once.
            def work(seed, results):
                rng = random.Random(seed)
                for _ in range(count):
                    n = rng.randrange(100, 2001)
                    reader.pread(n, rng.randrange(size - n))

            def cpu_per_lookup(threads):
                pool = [threading.Thread(target=work, args=(i, None)) for i in range(threads)]
                start_cpu, start_wall = time.process_time(), time.perf_counter()
                for thread in pool:
                    thread.start()
                for thread in pool:
                    thread.join()
                cpu = time.process_time() - start_cpu
                wall = time.perf_counter() - start_wall
                return per_lookup(cpu, threads * count), per_lookup(wall, threads * count)

            cpu1, wall1 = min(cpu_per_lookup(1) for _ in range(options.repeat))
            cpu4, wall4 = min(cpu_per_lookup(4) for _ in range(options.repeat))

        # The C++ SharedReader, the same lookups.
        kob_module = sys.modules["kob._kob"]
        kob_module.time_shared_reader(packed, offsets[:300], lengths[:300], options.partial)
        cpp_seconds = min(kob_module.time_shared_reader(packed, offsets, lengths, options.partial)
                          for _ in range(options.repeat))

        # indexed_gzip.
        try:
            import indexed_gzip
        except ImportError:
            igz_seconds = None
        else:
            with indexed_gzip.IndexedGzipFile(gzipped, spacing=64 * 1024) as f:
                f.build_full_index()
                for at, n in zip(offsets[:30], lengths[:30]):
                    f.seek(at)
                    f.read(n)
                igz_seconds = float("inf")
                for _ in range(options.repeat):
                    start = time.perf_counter()
                    for at, n in zip(offsets, lengths):
                        f.seek(at)
                        got = f.read(n)
                    igz_seconds = min(igz_seconds, time.perf_counter() - start)
                assert got == data[offsets[-1]:offsets[-1] + lengths[-1]]

    kob_us = per_lookup(kob_seconds, count)
    cpp_us = per_lookup(cpp_seconds, count)
    print("%-30s %10.1f us/lookup" % ("kob (Python, pread)", kob_us))
    print("%-30s %10.1f us/lookup" % ("C++ kob::SharedReader", cpp_us))
    if igz_seconds is not None:
        igz_us = per_lookup(igz_seconds, count)
        print("%-30s %10.1f us/lookup" % ("indexed_gzip (64 KiB spacing)", igz_us))
    else:
        print("indexed_gzip: not installed (apt-get install python3-indexed-gzip)")
    print("%-30s %10.1f us CPU/lookup (%.1f us wall)" % ("1 thread", cpu1, wall1))
    print("%-30s %10.1f us CPU/lookup (%.1f us wall)" % ("4 threads", cpu4, wall4))
    print()
    goals = []
    if igz_seconds is not None:
        goals.append(("indexed_gzip / kob >= 10", igz_us / kob_us, igz_us / kob_us >= 10))
    goals.append(("kob / C++ <= 1.5", kob_us / cpp_us, kob_us / cpp_us <= 1.5))
    goals.append(("CPU 4 threads / 1 <= 1.2", cpu4 / cpu1, cpu4 / cpu1 <= 1.2))
    for name, value, met in goals:
        print("%-30s %10.2f  %s" % (name, value, "met" if met else "NOT MET"))


if __name__ == "__main__":
    main()
