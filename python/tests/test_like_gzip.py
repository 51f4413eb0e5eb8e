# SPDX-License-Identifier: GPL-2.0-or-later
# kob.open as gzip.open: one table of operations run through both, each
# answer (the result, or the kind of error) compared.
import errno
import gzip
import io
import os
import threading

import pytest

import kob
from conftest import make_data

TEXT = "zebra é à\r\nkob ∞\n\nlzo\rdata\n" * 300


class OneWay(io.RawIOBase):
    """A file object that reads once, in order, and cannot seek."""

    def __init__(self, data):
        self.data, self.at = data, 0

    def readable(self):
        return True

    def readinto(self, buffer):
        n = min(len(buffer), len(self.data) - self.at, 1000)
        buffer[:n] = self.data[self.at:self.at + n]
        self.at += n
        return n


class ReadOnly:
    """A file object with read alone: no readinto, no seek."""

    def __init__(self, data):
        self.file = io.BytesIO(data)

    def read(self, n=-1):
        return self.file.read(n)


def kind(error):
    if isinstance(error, (gzip.BadGzipFile, kob.NotPackedError)):
        return "not packed"
    if isinstance(error, (EOFError, kob.DamageError)):
        return "damaged"
    if isinstance(error, io.UnsupportedOperation):
        return "OSError"  # gzip raises a plain one: EBADF
    return type(error).__name__


def answer(call):
    try:
        return "ok", call()
    except Exception as error:
        return "raised", kind(error)


def roundtrip(m, folder, mode_w="wb", mode_r="rb", data=b"", **options):
    with m.open(folder / "f", mode_w, **options) as out:
        out.write(data)
    with m.open(folder / "f", mode_r, **options) as f:
        return f.read()


def text_roundtrip(newline_w, newline_r):
    def run(m, folder):
        with m.open(folder / "t", "wt", encoding="utf-8", newline=newline_w) as out:
            for line in TEXT.splitlines(True):
                out.write(line)
        with m.open(folder / "t", "rt", encoding="utf-8", newline=newline_r) as f:
            return f.readline(), f.readlines()[:5], f.read()
    return run


def reading(data, operations):
    def run(m, folder):
        with m.open(folder / "r", "wb") as out:
            out.write(data)
        got = []
        with m.open(folder / "r") as f:
            for operation in operations:
                got.append(answer(lambda: operation(f)))
        return got
    return run


def from_object(make):
    def run(m, folder):
        with m.open(make(m.compress(b"object data\n" * 5000))) as f:
            return f.read()
    return run


def positioned(m, folder):
    # A file object is read from where it stands.
    buffer = io.BytesIO(b"header" + m.compress(b"payload " * 1000))
    buffer.seek(6)
    with m.open(buffer) as f:
        return f.read(16), f.seek(0), f.read()[-8:]


def written_to_object(mode):
    def run(m, folder):
        buffer = io.BytesIO()
        buffer.write(b"before")
        with m.open(buffer, mode) as out:
            out.write(b"into an object " * 2000 if "b" in mode else "text\n" * 3000)
        assert not buffer.closed
        return buffer.getvalue()[:6], m.decompress(buffer.getvalue()[6:])
    return run


def appended(m, folder):
    with m.open(folder / "a", "wb") as out:
        out.write(b"first " * 1000)
    before = (folder / "a").read_bytes()
    with m.open(folder / "a", "ab") as out:
        out.write(b"second " * 1000)
    return (folder / "a").read_bytes().startswith(before)


def exclusive(m, folder):
    with m.open(folder / "x", "xb") as out:
        out.write(b"new")
    first = m.open(folder / "x").read()
    return first, answer(lambda: m.open(folder / "x", "xb"))


def written_then(name, make):
    def run(m, folder):
        (folder / name).write_bytes(make(m))
        return m.open(folder / name).read()
    return run


def cut(m):
    packed = m.compress(make_data(__import__("random").Random(5), 100000))
    return packed[:len(packed) // 2]


def undecodable(errors):
    def run(m, folder):
        with m.open(folder / "u", "wb") as out:
            out.write(b"ascii \xff\xfe then more\n" * 10)
        with m.open(folder / "u", "rt", encoding="ascii", errors=errors) as f:
            return f.read()
    return run


def unencodable(errors):
    def run(m, folder):
        with m.open(folder / "e", "wt", encoding="ascii", errors=errors) as out:
            out.write("naïve ∞\n" * 10)
        return m.open(folder / "e").read()
    return run


def seek_and_lines(m, folder):
    data = b"".join(b"line %d\n" % i for i in range(5000))
    return reading(data, [
        lambda f: f.readline(), lambda f: f.tell(), lambda f: f.seek(1000),
        lambda f: f.read(10), lambda f: f.seek(-5, io.SEEK_CUR), lambda f: f.readline(),
        lambda f: f.seek(0, io.SEEK_END), lambda f: f.read(), lambda f: f.seek(7),
        lambda f: list(f)[:3], lambda f: f.seek(0, 9),
        lambda f: f.peek(1)[:1] if hasattr(f, "peek") else b"",
        lambda f: f.readinto(bytearray(5)), lambda f: f.seekable(),
        lambda f: f.writable(), lambda f: f.write(b"x"),
    ])(m, folder)


def opened(*args, **options):
    return lambda m, folder: m.open(folder / "missing" if args == ("missing",)
                                    else folder / "ok", *args[1:], **options)


def setup_ok(m, folder):
    with m.open(folder / "ok", "wb") as out:
        out.write(b"ok")


TABLE = {
    "binary": lambda m, d: roundtrip(m, d, data=b"\x00data\xff" * 30000),
    "r and w are binary": lambda m, d: roundtrip(m, d, "w", "r", data=b"bytes" * 9),
    "level positional": lambda m, d: (m.open(d / "l", "wb", 9).close(),
                                      m.open(d / "l").read()),
    "empty data": lambda m, d: roundtrip(m, d, data=b""),
    "text, newline None": text_roundtrip(None, None),
    "text, newline ''": text_roundtrip("", ""),
    "text, newline \\n": text_roundtrip("\n", None),
    "text, newline \\r\\n": text_roundtrip("\r\n", ""),
    "text, newline \\r": text_roundtrip("\r", "\r"),
    "text read, errors strict": undecodable("strict"),
    "text read, errors replace": undecodable("replace"),
    "text written, errors strict": unencodable("strict"),
    "text written, errors replace": unencodable("replace"),
    "text written, errors xmlcharrefreplace": unencodable("xmlcharrefreplace"),
    "seek, tell, lines": seek_and_lines,
    "object that seeks": from_object(io.BytesIO),
    "object that cannot seek": from_object(OneWay),
    "object with read alone": from_object(ReadOnly),
    "object read where it stands": positioned,
    "written to an object, wb": written_to_object("wb"),
    "written to an object, ab": written_to_object("ab"),
    "written to an object, xt": written_to_object("xt"),
    "append keeps the bytes before": appended,
    "x": exclusive,
    "not packed": written_then("plain", lambda m: b"plain, not packed " * 10),
    "cut short": written_then("cut", cut),
    "missing file": lambda m, d: m.open(d / "missing"),
    "missing folder, wb": lambda m, d: m.open(d / "no" / "f", "wb"),
    "a directory": lambda m, d: m.open(d).read(),
    "invalid mode rw": lambda m, d: m.open(d / "f", "rw"),
    "invalid mode rbt": lambda m, d: m.open(d / "f", "rbt"),
    "invalid mode q": lambda m, d: m.open(d / "f", "q"),
    "mode not a str": lambda m, d: m.open(d / "f", 1),
    "encoding in binary mode": lambda m, d: m.open(d / "f", "wb", encoding="utf-8"),
    "errors in binary mode": lambda m, d: m.open(d / "f", "rb", errors="strict"),
    "newline in binary mode": lambda m, d: m.open(d / "f", "wb", newline="\n"),
    "not a file at all": lambda m, d: m.open(3.5),
    "write after close": lambda m, d: (lambda f: (f.close(), f.write(b"x")))(
        m.open(d / "c", "wb")),
    "read after close": lambda m, d: (lambda f: (f.close(), f.read()))(
        (setup_ok(m, d), m.open(d / "ok"))[1]),
    "decompress": lambda m, d: m.decompress(m.compress(b"in memory" * 999)),
    "decompress not packed": lambda m, d: m.decompress(b"never packed"),
}

# Where kob answers otherwise, on purpose.
DIFFERENCES = {
    # An empty file holds no signature: kob's readers call it not packed,
    # where gzip reads zero members.
    "empty file": (("ok", b""), ("raised", "not packed")),
    # A seek before the start: kob answers as open() does (EINVAL), gzip
    # lands on the start.
    "seek(-1)": (("ok", 0), ("raised", "OSError")),
}


@pytest.mark.parametrize("case", sorted(TABLE))
def test_kob_open_answers_as_gzip_open(tmp_path, case):
    answers = []
    for module in (gzip, kob):
        folder = tmp_path / module.__name__
        folder.mkdir()
        got = answer(lambda: TABLE[case](module, folder))
        if got[0] == "ok" and hasattr(got[1], "close"):
            got[1].close()
            got = ("ok", "a file")
        answers.append(got)
    assert answers[0] == answers[1]


def test_the_differences_are_those_documented(tmp_path):
    (tmp_path / "empty").write_bytes(b"")
    got = tuple(answer(lambda: m.open(tmp_path / "empty").read()) for m in (gzip, kob))
    assert got == DIFFERENCES["empty file"]
    assert kob.open(tmp_path / "empty", plain=True).read() == b""
    for m in (gzip, kob):
        with m.open(tmp_path / m.__name__, "wb") as out:
            out.write(b"data")
    got = tuple(answer(lambda: m.open(tmp_path / m.__name__).seek(-1)) for m in (gzip, kob))
    assert got == DIFFERENCES["seek(-1)"]


# What "ab" finds at the end of a packed file: (how the bytes are changed,
# the damage raised or None). A reader takes an end marker cut inside its
# back-link as the end of whole data, so appending completes it first.
# Ends of a plain file (a sealed one's end marker is whole, under its seal).
APPEND_ENDS = [
    (lambda b: b, None),
    (lambda b: b[:-2], None),                          # the back-link lost
    (lambda b: b[:-1], None),                          # half of it
    (lambda b: b[:-6], "cut_short"),                   # cut before the end marker
    (lambda b: b[:-3], "cut_short"),                   # inside its sizes
    (lambda b: b[:-1] + b"\x09", "broken_back_link"),
    (lambda b: b[:-2] + b"\x09", "broken_back_link"),  # the half left is wrong
    (lambda b: b + kob.compress(b"", seal=False)[:-2], None),      # an empty member's
    (lambda b: b + b"junk", "data_after_end"),
    (lambda b: b + kob.compress(b"member", seal=False)[:-2], None),  # the second member's
]


@pytest.mark.parametrize("case", range(len(APPEND_ENDS)))
def test_appended_members_read_as_one(tmp_path, case):
    change, damage = APPEND_ENDS[case]
    path = tmp_path / "a"
    path.write_bytes(change(kob.compress(b"first " * 5000, chunk_size=4096, seal=False)))
    before = path.read_bytes()
    data = kob.open(path).read() if damage is None else None
    if damage is not None:
        with pytest.raises(kob.DamageError) as raised:
            kob.open(path, "ab")
        assert raised.value.damage == damage
        assert path.read_bytes() == before
        return
    ends = [c.payload_size for c in kob.scan(path)].count(0)
    with kob.open(path, "ab") as out:
        out.write(b"second")
    assert path.read_bytes().startswith(before)
    assert kob.open(path).read() == data + b"second"
    chunks = kob.scan(path, check=True)
    assert chunks[-1].data_size == len(b"second")
    # The end of each member but the last, between them.
    assert [c.payload_size for c in chunks].count(0) == ends + 1


def test_line_by_line_writes_reach_the_packer_in_blocks(tmp_path):
    calls = []

    class Counting:
        def __init__(self, core):
            self.core = core

        def write(self, data):
            calls.append(len(data))
            return self.core.write(data)

        def __getattr__(self, name):
            return getattr(self.core, name)

    lines = [b"line %d of many\n" % i for i in range(50000)]
    with kob.open(tmp_path / "lines.kob", "wb") as out:
        out.raw._core = Counting(out.raw._core)
        for line in lines:
            out.write(line)
        assert out.tell() == sum(map(len, lines))
    total = sum(map(len, lines))
    assert sum(calls) == total
    assert len(calls) <= total // (64 * 1024) + 2
    assert kob.open(tmp_path / "lines.kob").read() == b"".join(lines)
    assert (tmp_path / "lines.kob").read_bytes() == kob.compress(b"".join(lines))


def test_file_object_errors_reach_the_caller(tmp_path):
    class Broken(io.RawIOBase):
        def __init__(self, data, fail_at):
            self.file, self.fail_at = io.BytesIO(data), fail_at

        def readable(self):
            return True

        def seekable(self):
            return True

        def seek(self, *args):
            return self.file.seek(*args)

        def tell(self):
            return self.file.tell()

        def readinto(self, buffer):
            if self.file.tell() >= self.fail_at:
                raise ConnectionResetError("the disk went away")
            return self.file.readinto(buffer)

    packed = kob.compress(make_data(__import__("random").Random(1), 300000), chunk_size=4096)
    with kob.open(Broken(packed, len(packed) // 2)) as f:
        assert len(f.pread(1000, 0)) == 1000
        with pytest.raises(ConnectionResetError):
            f.pread(1000, 290000)
        with pytest.raises(ConnectionResetError):
            f.read()

    class Refusing:
        def write(self, data):
            raise PermissionError("no more")

    out = kob.open(Refusing(), "wb")
    with pytest.raises(PermissionError):
        out.write(os.urandom(300000))
        out.close()
    with pytest.raises(TypeError):
        kob.open(Refusing(), "rb")

    class Full:  # a raw file that takes nothing now, as a non-blocking one may
        def write(self, data):
            return 0

    with pytest.raises(BlockingIOError):
        with kob.open(Full(), "wb") as out:
            out.write(os.urandom(300000))


class Hostile(io.BytesIO):
    """Packed bytes whose readinto plays `trick` after reading."""

    def readinto(self, view):
        return self.trick(self, view, super().readinto(view))


def empty_the_memory(f, view, n):
    memory = view.obj
    view.release()
    memory.clear()  # and claim the bytes are there
    return n


# A trick, and what a read through it raises (None: nothing). Views kept
# are written through after kob let go of them.
TRICKS = [
    (lambda f, view, n: f.kept.append(view.cast("B")) or n, None),  # an export
    (lambda f, view, n: f.kept.append(view) or 1 / 0, ZeroDivisionError),
    (empty_the_memory, ValueError),
    (lambda f, view, n: f.reader.pread(10, 0) and n, RuntimeError),   # as BufferedReader
    (lambda f, view, n: f.reader.size() and n, RuntimeError),
    (lambda f, view, n: f.reader.readinto_at(bytearray(4), 0) and n, RuntimeError),
]


def within(call, seconds=30):
    """call(), failing where it waits for ever (for a lock its thread holds)."""
    ended = []

    def run():
        try:
            ended.append((call(), None))
        except BaseException as error:
            ended.append((None, error))

    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    worker.join(seconds)
    assert ended, "the call waits for ever"
    if ended[0][1] is not None:
        raise ended[0][1]
    return ended[0][0]


@pytest.mark.parametrize("case", range(len(TRICKS)))
def test_a_file_object_may_keep_what_it_is_given_and_may_not_call_back(case):
    trick, raised = TRICKS[case]
    data = make_data(__import__("random").Random(case), 200000)
    hostile = Hostile(kob.compress(data, chunk_size=4096))
    hostile.trick, hostile.kept = lambda f, view, n: n, []
    hostile.reader = reader = kob.open(hostile)
    hostile.trick = trick
    for offset in (0, 150000, 7000):
        if raised is None:
            assert reader.pread(30000, offset) == data[offset:offset + 30000]
        else:
            with pytest.raises(raised, match="reentrant call" if raised is RuntimeError else ""):
                within(lambda: reader.pread(30000, offset))
        for kept in hostile.kept:
            kept[:] = b"\xff" * len(kept)
    hostile.trick = lambda f, view, n: n
    assert reader.pread(1000, 190000) == data[190000:191000]

    class CallingBack:
        def write(self, piece):
            raw.write(b"again")

    raw = kob.RawWriter(CallingBack())
    with pytest.raises(RuntimeError, match="reentrant call"):
        within(lambda: raw.write(os.urandom(1 << 20)) and raw.close())
    raw.abort()


@pytest.mark.parametrize("plain", [False, True])
def test_a_stream_reads_forward_as_the_data_and_refuses_to_go_back(rng, plain):
    data = make_data(rng, 200000)
    source = data if plain else kob.compress(data, chunk_size=rng.choice((100, 4096)))
    raw = kob.RawReader(OneWay(source), plain=plain)
    assert not raw.seekable() and raw.packed != plain
    at = 0
    while at < len(data):
        at = min(at + rng.randrange(3000), len(data))
        n = rng.randrange(5000)
        assert raw.pread(n, at) == data[at:at + n]
        at += len(data[at:at + n])
        for back in (1, rng.randrange(1, 10000)):
            if at - back >= 0:
                with pytest.raises(OSError) as raised:
                    raw.pread(1, at - back)
                assert raised.value.errno == errno.ESPIPE
    with pytest.raises(io.UnsupportedOperation):
        raw.seek(0, io.SEEK_END)
    with pytest.raises(OSError):
        raw.size()
    big = kob.RawReader(OneWay(source), plain=plain)
    assert big.pread(2 ** 40, 10) == data[10:]  # grown as it comes, not allocated
    # seek() moves a stream forward, or leaves it where it stands.
    raw = kob.RawReader(OneWay(source), plain=plain)
    assert raw.read(100) == data[:100]
    assert raw.seek(100) == 100 and raw.seek(0, io.SEEK_CUR) == 100
    assert raw.seek(150) == 150 and raw.read(10) == data[150:160]
    with pytest.raises(io.UnsupportedOperation):
        raw.seek(159)
