# SPDX-License-Identifier: GPL-2.0-or-later
import os
import random
import shutil

import pytest

import kob

# KOB_TEST_SEED repeats a run; KOB_TEST_ROUNDS scales the random tests.
SEED = int(os.environ.get("KOB_TEST_SEED", random.randrange(1 << 30)))
ROUNDS = int(os.environ.get("KOB_TEST_ROUNDS", "3"))


def pytest_report_header(config):
    return "kob: KOB_TEST_SEED=%d KOB_TEST_ROUNDS=%d" % (SEED, ROUNDS)


def make_data(rng, size):
    """Lines of words, runs of one byte and stretches of random bytes:
    something that compresses, has lines, and has no line ends for a while."""
    parts = []
    total = 0
    while total < size:
        kind = rng.random()
        if kind < 0.6:
            words = [rng.choice(("kob", "chunk", "lzo", "data", "a", "zebra", ""))
                     for _ in range(rng.randrange(1, 12))]
            part = (" ".join(words) + rng.choice(("\n", "\r\n", "\n\n"))).encode()
        elif kind < 0.8:
            part = bytes([rng.randrange(256)]) * rng.randrange(1, 3000)
        else:
            part = rng.randbytes(rng.randrange(1, 2000))
        parts.append(part)
        total += len(part)
    return b"".join(parts)[:size]


@pytest.fixture
def rng(request):
    return random.Random("%d %s" % (SEED, request.node.nodeid))


@pytest.fixture
def kob_tool():
    tool = os.environ.get("KOB_TOOL") or shutil.which("kob")
    if not tool:
        pytest.skip("the kob tool is not built")
    return tool


def pack_bytes(path, data, chunk_size=kob.DEFAULT_CHUNK_SIZE, threads=1):
    with kob.open(path, "wb", chunk_size=chunk_size, threads=threads) as out:
        out.write(data)
    return path
