# SPDX-License-Identifier: GPL-2.0-or-later
# Sealed files from Python: written by default, the plain format on asking;
# an append to a sealed file adds a member; no index for a sealed file; and
# of random damages to a sealed file, no front serves a wrong byte.
import io
import os
import pathlib

import pytest

import kob
from conftest import ROUNDS, SEED

DICTIONARY = pathlib.Path(__file__).parents[2] / "examples" / "dictionary.data"


def sealed(packed):
    return packed[:6] == b"KOB\x01\x01\x00"


def test_the_writers_seal_unless_told_not_to(tmp_path, rng):
    data = DICTIONARY.read_bytes() * 3
    assert sealed(kob.compress(data))
    plain = kob.compress(data, seal=False)
    assert plain[:6] == b"KOB\x01\x00\x00"
    # The same chunks: a reader of the plain format reads both alike.
    assert kob.compress(data)[6:len(plain) - 6] == plain[6:-6]
    for seal in (True, False):
        with kob.open(tmp_path / "w.kob", "wb", seal=seal) as out:
            out.write(data)
        assert sealed((tmp_path / "w.kob").read_bytes()) == seal
        (tmp_path / "d").write_bytes(data)
        kob.pack(tmp_path / "d", tmp_path / "p.kob", seal=seal, force=True)
        assert (tmp_path / "p.kob").read_bytes() == (tmp_path / "w.kob").read_bytes()
        assert kob.decompress((tmp_path / "p.kob").read_bytes()) == data
    with pytest.raises(ValueError):
        kob.open(tmp_path / "w.kob", "rb", seal=False)


def test_an_append_to_a_sealed_file_adds_a_member(tmp_path):
    path = tmp_path / "log.kob"
    lines = []
    for i, seal in enumerate((True, True, False, True)):
        line = b"line %d\n" % i
        with kob.open(path, "ab", seal=seal) as log:
            log.write(line)
        lines.append(line)
        with kob.open(path) as f:
            assert f.read() == b"".join(lines)
            if i:
                assert f.pread(6, len(lines[0])) == b"line 1"
    assert [chunk.payload_size for chunk in kob.scan(path, check=True)].count(0) == 3
    # Its seals checked: a payload changed in the first member is seen.
    packed = bytearray(path.read_bytes())
    packed[12] ^= 0x01
    path.write_bytes(bytes(packed))
    with pytest.raises(kob.DamageError) as caught:
        kob.open(path).read()
    assert caught.value.damage in ("payload_unlike_seal", "payload_rejected",
                                   "wrong_expanded_size")


def test_a_sealed_file_gets_no_index(tmp_path):
    path = tmp_path / "s.kob"
    path.write_bytes(kob.compress(b"x" * 100000))
    assert kob.write_index(path) is None
    assert not (tmp_path / "s.kob.kbi").exists()
    path.write_bytes(kob.compress(b"x" * 100000, seal=False))
    assert kob.write_index(path) == str(tmp_path / "s.kob.kbi")


def fronts(path):
    """What each front serves of the file at `path`: (name, offset, bytes),
    or raises the error it meets."""
    yield "read", 0, lambda: kob.open(path).read()
    yield "partial read", 0, lambda: kob.open(path, partial=True).read()
    yield "stream read", 0, lambda: kob.open(io.BufferedReader(
        _Stream(path.read_bytes()))).read()
    try:
        import fsspec
    except ImportError:
        return
    yield "fsspec", 0, lambda: fsspec.open("kob://" + str(path)).open().read()


class _Stream(io.RawIOBase):
    """The file's bytes as a stream that cannot seek."""

    def __init__(self, data):
        self.data = memoryview(data)
        self.at = 0

    def readable(self):
        return True

    def readinto(self, buffer):
        n = min(len(buffer), len(self.data) - self.at)
        buffer[:n] = self.data[self.at:self.at + n]
        self.at += n
        return n


def test_no_front_serves_a_wrong_byte_of_a_damaged_sealed_file(tmp_path):
    import random
    rng = random.Random(SEED)
    print("KOB_TEST_SEED=%d" % SEED)
    entries = DICTIONARY.read_bytes().split(b"\n\n")
    text = []
    while sum(map(len, text)) < 2 << 20:
        rng.shuffle(entries)
        text.extend(entry + b"\n\n" for entry in entries)
    data = b"".join(text)[:2 << 20]
    packed = kob.compress(data)
    trailer = int.from_bytes(packed[-28:-20], "big")
    path = tmp_path / "d.kob"
    for round in range(8 * ROUNDS):
        damaged = bytearray(packed)
        at = (len(packed) - 1 - rng.randrange(trailer) if rng.random() < 0.25
              else rng.randrange(len(packed)))
        kind = rng.randrange(3)
        if kind == 0:
            damaged[at] ^= 1 << rng.randrange(8)
        elif kind == 1:
            damaged[at] ^= rng.randrange(1, 256)
        else:
            del damaged[at:]
        path.write_bytes(bytes(damaged))
        what = "round %d: %s at %d" % (round, ("flip", "overwrite", "cut")[kind], at)
        with pytest.raises((kob.DamageError, kob.NotPackedError)):
            kob.scan(path, check=True)
        for name, offset, read in fronts(path):
            try:
                got = read()
            except (kob.DamageError, kob.NotPackedError):
                continue
            pytest.fail("%s: %s served it all: %s" % (what, name, got == data))
        try:
            reader = kob.open(path)
        except (kob.DamageError, kob.NotPackedError):
            continue
        with reader:
            for _ in range(6):
                offset = rng.randrange(len(data))
                try:
                    got = reader.pread(rng.randrange(1, 40000), offset)
                except kob.DamageError:
                    continue
                assert got == data[offset:offset + len(got)], "%s: pread at %d" % (what, offset)
