# SPDX-License-Identifier: GPL-2.0-or-later
# kob.splits against a model: the chunk positions kob.scan lists.
import bisect
import errno
import io
import os
import subprocess
import sys

import pytest

import kob
from conftest import make_data, pack_bytes, rounds


def model_splits(chunks, size, n):
    """The ranges splits must give: aim i at size * i // n, start on the
    chunk holding it, aims in one chunk make one range."""
    starts = [c.position for c in chunks if c.data_size]
    n = min(n, size, kob.MOST_SPLITS)
    cuts = [0]
    for i in range(1, n):
        start = starts[bisect.bisect_right(starts, size * i // n) - 1]
        if start > cuts[-1]:
            cuts.append(start)
    return [(a, b) for a, b in zip(cuts, cuts[1:] + [size]) if b > a]


def packed_members(rng, path, data):
    """`data` packed as one or more members (appended), with chunk sizes
    of their own."""
    members = rng.choice((1, 1, 2, 3))
    cuts = sorted(rng.randrange(len(data) + 1) for _ in range(members - 1))
    pieces = [data[a:b] for a, b in zip([0] + cuts, cuts + [len(data)])]
    for number, piece in enumerate(pieces):
        with kob.open(path, "ab" if number else "wb",
                      chunk_size=rng.choice((1, 100, 4096, 16384, 65535))) as out:
            out.write(piece)
    return path


def check(ranges, expected, size):
    assert ranges == expected
    if size:
        assert ranges[0][0] == 0 and ranges[-1][1] == size
    assert all(a < b for a, b in ranges)
    assert all(b == c for (_, b), (c, _) in zip(ranges, ranges[1:]))


def test_splits_match_the_model_for_every_kind_of_file(rng, tmp_path):
    kinds = {
        "path": lambda path: path,
        "str": lambda path: str(path),
        "bytes path": lambda path: bytes(path),
        "file object": lambda path: open(path, "rb"),
        "bytes in memory": lambda path: io.BytesIO(path.read_bytes()),
        "kob reader of the path": lambda path: kob.open(path),
    }
    for round in range(rounds(12)):
        data = make_data(rng, rng.choice((1, 5000, 100000, 400000)))
        path = packed_members(rng, tmp_path / ("d%d.kob" % round), data)
        if rng.random() < 0.5:
            kob.write_index(path)
        chunks = kob.scan(path)
        for n in (1, 2, 3, rng.randrange(1, 50), len(chunks) + 5, 10 ** 30):
            expected = model_splits(chunks, len(data), n)
            assert len(expected) <= n
            kind = rng.choice(sorted(kinds))
            given = kinds[kind](path)
            check(kob.splits(given, n), expected, len(data))
    # One range for each chunk with data, when asked for more ranges than chunks.
    path = pack_bytes(tmp_path / "small.kob", make_data(rng, 50000), chunk_size=1000)
    assert len(kob.splits(path, 1000)) == 50


def test_a_file_object_is_read_from_where_it_stands(rng, tmp_path):
    data = make_data(rng, 70000)
    packed = kob.compress(data, chunk_size=4096)
    given = io.BytesIO(b"junk before" + packed)
    given.seek(len(b"junk before"))
    expected = model_splits(kob.scan(pack_bytes(tmp_path / "d.kob", data, 4096)), len(data), 5)
    assert kob.splits(given, 5) == expected


def test_splits_over_a_url_are_those_of_the_file(nginx, rng):
    data = make_data(rng, 300000)
    path = pack_bytes(nginx.data / "d.kob", data, chunk_size=10000)
    expected = kob.splits(path, 7)
    assert kob.splits(nginx.url("d.kob"), 7) == expected
    kob.write_index(path)
    assert kob.splits(nginx.url("d.kob"), 7) == expected
    with pytest.raises(FileNotFoundError):
        kob.splits(nginx.url("none.kob"), 2)


def test_what_splits_refuses(rng, tmp_path):
    data = make_data(rng, 100000)
    path = pack_bytes(tmp_path / "d.kob", data, chunk_size=5000)
    (tmp_path / "plain").write_bytes(data)
    empty = pack_bytes(tmp_path / "empty.kob", b"")
    assert kob.splits(empty, 4) == []
    for n in (0, -1):
        with pytest.raises(ValueError):
            kob.splits(path, n)
    with pytest.raises(TypeError):
        kob.splits(path, 2.5)
    with pytest.raises(kob.NotPackedError):
        kob.splits(tmp_path / "plain", 2)
    with pytest.raises(FileNotFoundError):
        kob.splits(tmp_path / "none.kob", 2)
    with pytest.raises(IsADirectoryError):
        kob.splits(tmp_path, 2)
    # A FIFO is refused before it is opened (an open would wait for a
    # writer): in a process of its own, so that a wait cannot hang the tests.
    os.mkfifo(tmp_path / "fifo")
    asked = "import kob\ntry:\n    kob.splits(%r, 2)\nexcept OSError as e:\n    print(e.errno)\n"
    shown = subprocess.run([sys.executable, "-c", asked % str(tmp_path / "fifo")],
                           capture_output=True, text=True, timeout=20).stdout
    assert shown.split() == [str(errno.ESPIPE)]

    class Stream(io.RawIOBase):
        def __init__(self, packed):
            self.packed = io.BytesIO(packed)

        def readable(self):
            return True

        def readinto(self, buffer):
            return self.packed.readinto(buffer)

    with pytest.raises(OSError) as raised:
        kob.splits(Stream(path.read_bytes()), 2)
    assert raised.value.errno == errno.ESPIPE
    with kob.open(io.BytesIO(path.read_bytes())) as reader:
        with pytest.raises(TypeError):
            kob.splits(reader, 2)

    class Failing(io.BytesIO):
        def readinto(self, buffer):
            if self.tell() > 20000:
                raise RuntimeError("the disk is gone")
            return super().readinto(buffer)

    with pytest.raises(RuntimeError, match="the disk is gone"):
        kob.splits(Failing(path.read_bytes()), 3)


def test_damage_hiding_a_split_is_damage(rng, tmp_path):
    data = make_data(rng, 100000)
    path = pack_bytes(tmp_path / "d.kob", data, chunk_size=5000)
    chunks = kob.scan(path)
    packed = bytearray(path.read_bytes())
    victim = chunks[12]
    packed[victim.offset + 2:victim.offset + 4] = b"\xff\xff"  # a payload size past the end
    path.write_bytes(bytes(packed))
    with pytest.raises(kob.DamageError) as raised:
        kob.splits(path, 4)
    assert raised.value.chunk == 12
    # Cut short: the end is hidden.
    path.write_bytes(bytes(packed[:chunks[15].offset]))
    with pytest.raises(kob.DamageError):
        kob.splits(path, 1)
