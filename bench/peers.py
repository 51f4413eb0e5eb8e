#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""kob beside gzip -9, bgzip, zstd -19 and lzop on one real text, in one run:
packed size, packing and unpacking speed, and the cost of a lookup.

The text: examples/dictionary.data itself for the packed size, and, for
the sizes and speeds of larger files, a text made from it (--size MiB,
16 by default): a chain of its words, each drawn after the word before
from the words that follow that word in the dictionary (fixed seed), so
that its words, lines and neighbours are the dictionary's. Made from 24 KB,
it repeats the dictionary's phrases more than a larger real text would,
which flatters the compressors that look further back than one chunk of
kob's (a copy of the dictionary repeated would flatter them more still):
the dictionary's own column is the size on real text.

Each tool runs as a user runs it, from the command line, on a file:
  packing    kob -c (the default, LZO1X-999), kob -1 -c (LZO1X-1),
             gzip -9 -c, bgzip -c (its default level), zstd -19 -c,
             lzop -c; MB of the text a second, the best of --repeat.
  unpacking  each one's -dc into /dev/null, the best of --repeat (at
             least 5).
  a lookup   one command that prints 100 to 2,000 bytes at a random offset,
             the mean over --lookups offsets: `kob -b N -s M` (with its
             saved index) and `bgzip -b N -s M` (with its .gzi) read only
             what holds the range; gzip, zstd and lzop decompress from the
             start, `TOOL -dc | head -c N+M | tail -c M`.
  in Python  the same lookups from one open file, per lookup: kob.open's
             pread beside indexed_gzip on the gzip -9 file (its full index
             built first, a point every 64 KiB), where python3-indexed-gzip
             is installed.

Every time is CPU time (user and system, of the commands and what they
start, or of this process for Python), which the load of a shared machine
moves far less than the wall clock's. Prints a table in Markdown, as the
README and doc/benchmarks.md show it.

Usage: bench/peers.py [BUILD_DIR] [--size MiB] [--repeat N] [--lookups N]
BUILD_DIR holds kob and python/ (scripts/bench.sh builds build-bench and
runs this on it). Needs gzip, bgzip (tabix), zstd and lzop.
"""
import argparse
import os
import random
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DICTIONARY = os.path.join(ROOT, "examples", "dictionary.data")


def made_text(size, seed):
    """`size` bytes of the dictionary's words in a chain of its word pairs."""
    with open(DICTIONARY, "rb") as f:
        # Each word with the spaces or line ends before it.
        tokens = re.findall(rb"\s*\S+", f.read())
    following = {}
    for token, after in zip(tokens, tokens[1:]):
        following.setdefault(token.strip(), []).append(after)
    rng = random.Random(seed)
    out = []
    total = 0
    token = tokens[0]
    while total < size:
        out.append(token)
        total += len(token)
        token = rng.choice(following.get(token.strip()) or tokens)
    return b"".join(out)[:size]


# How each tool packs to standard output, unpacks to it, and reads a range
# (None: from the start, through head and tail).
TOOLS = [
    ("kob", ".kob", ["{kob}", "-q", "-c"], ["{kob}", "-q", "-dc"], "kob"),
    ("kob -1", ".kob", ["{kob}", "-q", "-1", "-c"], ["{kob}", "-q", "-dc"], "kob"),
    ("gzip -9", ".gz", ["gzip", "-9", "-c"], ["gzip", "-dc"], None),
    ("bgzip", ".gz", ["bgzip", "-c"], ["bgzip", "-dc"], "bgzip"),
    ("zstd -19", ".zst", ["zstd", "-q", "-19", "-c"], ["zstd", "-q", "-dc"], None),
    ("lzop", ".lzo", ["lzop", "-c"], ["lzop", "-dc"], None),
]


def children_cpu():
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    return used.ru_utime + used.ru_stime


def timed(command, source, target):
    """The CPU seconds of `command` (and of whatever it starts) reading
    `source` into `target`."""
    with open(source, "rb") as into, open(target, "wb") as out:
        start = children_cpu()
        subprocess.run(command, stdin=into, stdout=out, check=True)
        return children_cpu() - start


def best(repeat, run):
    return min(run() for _ in range(repeat))


def lookups(size, count, seed):
    rng = random.Random(seed)
    lengths = [rng.randrange(100, 2001) for _ in range(count)]
    return [(rng.randrange(size - n), n) for n in lengths]


def shell_lookup(how, kob, packed, unpack, offset, length):
    if how == "kob":
        command = [kob, "-b", str(offset), "-s", str(length), packed]
    elif how == "bgzip":
        command = ["bgzip", "-b", str(offset), "-s", str(length), packed]
    else:
        command = ["sh", "-c", '"$@" <"$0" | head -c %d | tail -c %d' % (offset + length, length),
                   packed] + unpack
    start = children_cpu()
    got = subprocess.run(command, stdout=subprocess.PIPE, check=False).stdout
    took = children_cpu() - start
    if len(got) != length:
        raise RuntimeError("%s: a lookup gave %d bytes, not %d" % (command[0], len(got), length))
    return took


def python_lookups(kind, path, ranges, text):
    if kind == "kob":
        import kob
        opened = kob.open(path)
        read = opened.pread
    else:
        import indexed_gzip
        opened = indexed_gzip.IndexedGzipFile(path, spacing=64 * 1024)
        opened.build_full_index()

        def read(n, offset):
            opened.seek(offset)
            return opened.read(n)
    for offset, length in ranges[:3]:
        assert read(length, offset) == text[offset:offset + length]
    start = time.process_time()
    for offset, length in ranges:
        read(length, offset)
    took = time.process_time() - start
    opened.close()
    return took / len(ranges)


def percent(part, whole):
    return "%.1f%%" % (100.0 * part / whole)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", nargs="?", default=os.path.join(ROOT, "build"))
    parser.add_argument("--size", type=int, default=16, help="MiB of text (16)")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--lookups", type=int, default=20)
    parser.add_argument("--seed", type=int, default=34)
    arguments = parser.parse_args()
    kob = os.path.join(os.path.abspath(arguments.build), "kob")
    sys.path.insert(0, os.path.join(os.path.abspath(arguments.build), "python"))
    for tool in ("gzip", "bgzip", "zstd", "lzop"):
        if shutil.which(tool) is None:
            sys.exit("peers: needs %s (scripts/install-deps.sh bench)" % tool)
    work = tempfile.mkdtemp(prefix="kob-peers.")
    try:
        text_path = os.path.join(work, "text")
        text = made_text(arguments.size << 20, arguments.seed)
        with open(text_path, "wb") as f:
            f.write(text)
        dictionary_size = os.path.getsize(DICTIONARY)
        ranges = lookups(len(text), arguments.lookups, arguments.seed)
        rows = []
        for name, suffix, pack, unpack, ranged in TOOLS:
            pack = [kob if word == "{kob}" else word for word in pack]
            unpack = [kob if word == "{kob}" else word for word in unpack]
            packed = os.path.join(work, "packed" + suffix)
            small = os.path.join(work, "small")
            timed(pack, DICTIONARY, small)
            took = best(arguments.repeat, lambda: timed(pack, text_path, packed))
            packed_size = os.path.getsize(packed)
            back = os.path.join(work, "back")
            timed(unpack, packed, back)
            with open(back, "rb") as f:
                if f.read() != text:
                    sys.exit("peers: %s does not give the text back" % name)
            # Into /dev/null, the best of more runs: the decompressor's
            # time, not the page cache's, which every tool pays alike.
            undone = best(max(arguments.repeat, 5), lambda: timed(unpack, packed, os.devnull))
            if ranged == "kob":
                subprocess.run([kob, "-q", "--index", packed], check=True)
            elif ranged == "bgzip":
                subprocess.run(["bgzip", "-r", packed], check=True)
            row = {
                "name": name,
                "small": percent(os.path.getsize(small), dictionary_size),
                "large": percent(packed_size, len(text)),
                "pack": "%.1f" % (len(text) / took / 1e6),
                "unpack": "%.0f" % (len(text) / undone / 1e6),
                "shell": "%.1f ms" % (1e3 * sum(
                    shell_lookup(ranged, kob, packed, unpack, offset, length)
                    for offset, length in ranges) / len(ranges)),
                "python": "",
            }
            if name == "kob":
                row["python"] = "%.0f µs" % (1e6 * python_lookups("kob", packed, ranges, text))
            elif name == "gzip -9":
                try:
                    row["python"] = "%.0f µs (indexed_gzip)" % (
                        1e6 * python_lookups("indexed_gzip", packed, ranges, text))
                except ImportError:
                    row["python"] = "(no indexed_gzip)"
            rows.append(row)
            for leftover in (packed, packed + ".kbi", packed + ".gzi", small, back):
                if os.path.exists(leftover):
                    os.remove(leftover)
        print("%d MiB made from examples/dictionary.data (%d bytes); lookups of 100-2,000 "
              "bytes, the mean of %d; speeds the best of %d; every time the CPU time "
              "of the commands (or of Python), not the wall clock's" %
              (arguments.size, dictionary_size, arguments.lookups, arguments.repeat))
        print()
        print("| | packed, dictionary | packed, %d MiB | pack MB/s | unpack MB/s "
              "| lookup, one command | lookup in Python |" % arguments.size)
        print("|---|---:|---:|---:|---:|---:|---:|")
        for row in rows:
            print("| %(name)s | %(small)s | %(large)s | %(pack)s | %(unpack)s | %(shell)s "
                  "| %(python)s |" % row)
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
