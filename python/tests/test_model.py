# SPDX-License-Identifier: GPL-2.0-or-later
# The model: every operation on a kob reader is done on Python's own open()
# of the plain file too, and both must answer alike, results and errors.
import io
import os

import pytest

import kob
from conftest import make_data, rounds

CHUNK_SIZES = (1, 7, 100, 1000, 4096, 16384, 65535)


def answer(call):
    try:
        return ("ok", call())
    except Exception as error:  # the kind is compared, not the words
        return ("raised", type(error))


def random_operation(rng, size, raw):
    """One operation as (description, function of a file)."""
    def offset():
        choice = rng.random()
        if choice < 0.1:
            return rng.choice((0, size, size + 1, size - 1))
        if choice < 0.15:
            return size + rng.randrange(1, 100000)
        return rng.randrange(size + 1)

    def length():
        return rng.choice((0, 1, 2, rng.randrange(200), rng.randrange(70000),
                           size + 10))

    kind = rng.randrange(11)
    if kind == 0:
        n = length()
        return "read(%d)" % n, lambda f: f.read(n)
    if kind == 1:
        return "read()", lambda f: f.read() if rng.random() < 0.3 else f.read(-1)
    if kind == 2:
        n = length()

        def readinto(f):
            buffer = bytearray(n)
            got = f.readinto(memoryview(buffer) if n % 2 else buffer)
            return got, bytes(buffer[:got])
        return "readinto(%d)" % n, readinto
    if kind == 3:
        whence = rng.randrange(3)
        if whence == 0:
            target = offset() if rng.random() < 0.9 else -rng.randrange(1, 50)
        elif whence == 1:
            target = rng.randrange(-size - 20, size + 20)
        else:
            target = rng.randrange(-size - 20, 20)
        return "seek(%d, %d)" % (target, whence), lambda f: f.seek(target, whence)
    if kind == 4:
        return "tell()", lambda f: f.tell()
    if kind == 5:
        limit = -1 if rng.random() < 0.7 else rng.randrange(300)
        if raw and limit < 0:
            limit = 200  # a raw readline reads a byte at a time
        return "readline(%d)" % limit, lambda f: f.readline(limit)
    if kind == 6 and not raw:
        n = length()
        return "read1(%d)" % n, lambda f: f.read1(n)
    if kind == 7 and not raw:
        hint = rng.randrange(1, 500)
        return "readlines(%d)" % hint, lambda f: f.readlines(hint)
    if kind == 8 and not raw and rng.random() < 0.2:
        return "iterate", lambda f: list(f)[:50]
    # pread and readinto_at: the model is the plain data itself.
    n, at = length(), offset()
    if kind == 9:
        def readinto_at(f):
            buffer = bytearray(n)
            got = f.readinto_at(buffer, at)
            return got, bytes(buffer[:got])
        return "readinto_at(%d, %d)" % (n, at), readinto_at
    return "pread(%d, %d)" % (n, at), lambda f: f.pread(n, at)


class PlainModel:
    """Python's own file, with pread and readinto_at as slices of the data."""

    def __init__(self, file, data):
        self.file, self.data = file, data

    def pread(self, n, offset):
        if n < 0 or offset < 0:
            raise ValueError("negative")
        return self.data[offset:offset + n]

    def readinto_at(self, buffer, offset):
        if offset < 0:
            raise ValueError("negative")
        part = self.data[offset:offset + len(buffer)]
        buffer[:len(part)] = part
        return len(part)

    def __iter__(self):
        return iter(self.file)

    def __getattr__(self, name):
        return getattr(self.file, name)


def pack_in_pieces(rng, path, data, chunk_size):
    """Packs `data` with writes of random sizes, checking tell on the way."""
    with kob.open(path, "wb", chunk_size=chunk_size,
                  threads=rng.choice((1, 1, 2, 3))) as out:
        done = 0
        while done < len(data):
            piece = rng.choice((1, 10, 1000, chunk_size, 100000))
            assert out.write(memoryview(data)[done:done + piece]) == \
                len(data[done:done + piece])
            done += piece
            assert out.tell() == min(done, len(data))


def run_model(rng, subject, model, size, raw, steps):
    history = []
    for _ in range(steps):
        description, operation = random_operation(rng, size, raw)
        history.append(description)
        got, expected = answer(lambda: operation(subject)), answer(lambda: operation(model))
        assert got == expected, "after %s" % " ".join(history[-12:])
        assert subject.tell() == model.tell(), "after %s" % " ".join(history[-12:])


@pytest.mark.parametrize("case", range(rounds(36)))
def test_reader_answers_as_python_open_does(tmp_path, rng, case):
    chunk_size = rng.choice(CHUNK_SIZES)
    size = rng.choice((0, 1, chunk_size - 1, chunk_size, chunk_size + 1,
                       rng.randrange(min(chunk_size * 20, 300000) + 1)))
    size = min(max(size, 0), 40000 if chunk_size < 100 else 400000)
    data = make_data(rng, size)
    plain = tmp_path / "data"
    plain.write_bytes(data)
    packed = tmp_path / "data.kob"
    pack_in_pieces(rng, packed, data, chunk_size)
    partial = rng.random() < 0.5
    if rng.random() < 0.3:
        kob.write_index(packed)

    with kob.open(packed, partial=partial) as subject, \
            open(plain, "rb", buffering=io.DEFAULT_BUFFER_SIZE) as model:
        assert subject.packed and subject.size() == size
        run_model(rng, subject, PlainModel(model, data), size, False, 150)
    with kob.RawReader(packed, partial=partial) as subject, \
            open(plain, "rb", buffering=0) as model:
        run_model(rng, subject, PlainModel(model, data), size, True, 100)
    # A file that is not packed reads plain when asked to.
    with kob.open(plain, plain=True) as subject, \
            open(plain, "rb", buffering=io.DEFAULT_BUFFER_SIZE) as model:
        assert not subject.packed
        run_model(rng, subject, PlainModel(model, data), size, False, 60)


@pytest.mark.parametrize("case", range(rounds(9)))
def test_text_mode_answers_as_python_open_does(tmp_path, rng, case):
    lines = [rng.choice(("zebra", "é à ü", "kob ∞", "", "x" * 300)) +
             rng.choice(("\n", "\r\n", "\r")) for _ in range(rng.randrange(2000))]
    data = "".join(lines).encode("utf-8")
    plain = tmp_path / "text"
    plain.write_bytes(data)
    packed = tmp_path / "text.kob"
    pack_in_pieces(rng, packed, data, rng.choice((5, 1000, 16384)))
    newline = rng.choice((None, "", "\n", "\r\n"))
    with kob.open(packed, "rt", encoding="utf-8", newline=newline) as subject, \
            open(plain, "rt", encoding="utf-8", newline=newline,
                 buffering=io.DEFAULT_BUFFER_SIZE) as model:
        # The same buffer beneath both, as for the binary models: a tell()
        # cookie carries the decoder's state where the buffer's pieces
        # end, so only the same pieces give the same cookies.
        for _ in range(200):
            kind = rng.randrange(4)
            if kind == 0:
                assert subject.readline() == model.readline()
            elif kind == 1:
                n = rng.randrange(500)
                assert subject.read(n) == model.read(n)
            elif kind == 2:
                assert subject.tell() == model.tell()
                cookie = model.tell()
                subject.seek(cookie)
                model.seek(cookie)
            else:
                subject.seek(0)
                model.seek(0)
        assert subject.read() == model.read()
