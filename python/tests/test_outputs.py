# SPDX-License-Identifier: GPL-2.0-or-later
# Files written: private under a short name until complete, renamed into
# place; appended members; threads bounded; writers after fork.
import errno
import os
import signal
import stat
import time

import pytest

import kob
from conftest import make_data, pack_bytes


def temporaries(folder):
    return [name for name in os.listdir(folder) if name.startswith(".kob")]


def mode_of(path):
    return stat.S_IMODE(os.lstat(path).st_mode)


def test_a_file_is_private_while_written_and_takes_the_umask_at_close(tmp_path):
    target = tmp_path / "out.kob"
    old = os.umask(0o022)
    try:
        with kob.open(target, "wb") as out:
            out.write(b"secret " * 10000)
            out.flush()
            [temporary] = temporaries(tmp_path)
            assert len(temporary) == len(".kobXXXXXX")
            assert mode_of(tmp_path / temporary) == 0o600
            assert not target.exists()
            os.umask(0o027)  # the mask as it stands at close counts
    finally:
        os.umask(old)
    assert mode_of(target) == 0o640
    assert temporaries(tmp_path) == []
    # Asked again at every close, not once for the process.
    for mask, expected in ((0o002, 0o664), (0o077, 0o600)):
        old = os.umask(mask)
        try:
            pack_bytes(tmp_path / "again.kob", b"data")
            kob.pack(tmp_path / "again.kob", tmp_path / "packed.kob", force=True)
        finally:
            os.umask(old)
        assert mode_of(tmp_path / "again.kob") == expected
        assert mode_of(tmp_path / "packed.kob") == expected


@pytest.mark.parametrize("how", ["Writer", "text", "pack", "unpack", "write_index"])
def test_a_name_as_long_as_the_file_system_takes(tmp_path, how):
    longest = os.pathconf(tmp_path, "PC_NAME_MAX")
    source = pack_bytes(tmp_path / "s.kob", b"data\n" * 1000)
    target = tmp_path / ("n" * longest)
    if how == "Writer":
        with kob.open(target, "wb") as out:
            out.write(b"data\n" * 1000)
    elif how == "text":
        with kob.open(target, "xt", encoding="ascii") as out:
            out.write("data\n" * 1000)
    elif how == "pack":
        (tmp_path / "plain").write_bytes(b"data\n" * 1000)
        kob.pack(tmp_path / "plain", target)
    elif how == "unpack":
        kob.unpack(source, target)
        assert target.read_bytes() == b"data\n" * 1000
    else:
        target = tmp_path / ("i" * (longest - len(".kbi")))
        target.write_bytes(source.read_bytes())
        assert kob.write_index(target) == str(target) + ".kbi"
        assert kob.index_state(target) == "valid"
    if how != "unpack":
        assert kob.open(target).read() == b"data\n" * 1000
    assert temporaries(tmp_path) == []
    with pytest.raises(OSError) as raised:
        kob.open(tmp_path / ("n" * (longest + 1)), "wb")
    assert raised.value.errno == errno.ENAMETOOLONG


def test_nothing_is_left_after_an_exception_or_abort(tmp_path, rng):
    data = make_data(rng, 100000)
    for mode in ("wb", "xb", "wt", "ab", "at"):
        with pytest.raises(LookupError):
            kob.open(tmp_path / "gone", mode[0] + "t", encoding="no-such-codec")
        assert os.listdir(tmp_path) == []
        with pytest.raises(RuntimeError):
            with kob.open(tmp_path / "gone", mode, **({"encoding": "latin-1"}
                                                    if "t" in mode else {})) as out:
                out.write(data if "b" in mode else data.decode("latin-1"))
                assert len(temporaries(tmp_path)) == 1
                raise RuntimeError
        assert os.listdir(tmp_path) == []
    for opener in (lambda: kob.open(tmp_path / "gone", "wb"),
                   lambda: kob.open(tmp_path / "gone", "wt"),
                   lambda: kob.RawWriter(tmp_path / "gone")):
        out = opener()
        out.write(b"x" * 70000 if not isinstance(out, kob.TextWriter) else "x" * 70000)
        out.abort()
        out.close()
        assert os.listdir(tmp_path) == []
    # A damaged file unpacked, a source that fails: no output, no temporary.
    packed = bytearray(pack_bytes(tmp_path / "d.kob", data, 5000).read_bytes())
    packed[-100:] = bytes(100)
    (tmp_path / "d.kob").write_bytes(packed)
    with pytest.raises(kob.DamageError):
        kob.unpack(tmp_path / "d.kob", tmp_path / "out")
    os.mkdir(tmp_path / "folder")
    with pytest.raises(IsADirectoryError):
        kob.pack(tmp_path / "folder", tmp_path / "out")
    with pytest.raises(IsADirectoryError):
        kob.open(tmp_path / "folder", "wb")
    assert sorted(os.listdir(tmp_path)) == ["d.kob", "folder"]


def test_x_refuses_a_name_that_exists_and_a_device_is_written_through(tmp_path):
    (tmp_path / "there").write_bytes(b"kept")
    for mode in ("xb", "xt", "x"):
        with pytest.raises(FileExistsError):
            kob.open(tmp_path / "there", mode)
    # Made meanwhile: the rename refuses to replace it.
    out = kob.open(tmp_path / "late", "xb")
    out.write(b"data")
    (tmp_path / "late").write_bytes(b"first")
    with pytest.raises(FileExistsError):
        out.close()
    assert (tmp_path / "late").read_bytes() == b"first"
    assert (tmp_path / "there").read_bytes() == b"kept"
    assert sorted(os.listdir(tmp_path)) == ["late", "there"]
    # pack and unpack replace a file only when told, as `kob -f`.
    packed = pack_bytes(tmp_path / "p.kob", b"unpacked")
    for call, result in ((lambda **f: kob.pack(tmp_path / "there", tmp_path / "late", **f),
                          b"kept"),
                         (lambda **f: kob.unpack(packed, tmp_path / "late", **f), b"unpacked")):
        with pytest.raises(FileExistsError, match="force=True"):  # before any work
            call()
        assert (tmp_path / "late").read_bytes() == b"first" and temporaries(tmp_path) == []
        call(force=True)
        assert kob.decompress((tmp_path / "late").read_bytes(), plain=True) == result
        (tmp_path / "late").write_bytes(b"first")
    with kob.open("/dev/null", "wb") as out:
        out.write(b"into nothing")
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)


def test_append_adds_a_member_and_never_rewrites_bytes_before(tmp_path, rng):
    first, second = make_data(rng, 50000), make_data(rng, 30000)
    path = tmp_path / "a.kob"
    with kob.open(path, "ab", chunk_size=4096) as out:  # made when missing
        out.write(first)
    before = path.read_bytes()
    assert before == kob.compress(first, chunk_size=4096)
    old = os.umask(0o077)
    try:
        with kob.open(path, "at", chunk_size=4096, encoding="latin-1") as out:
            for line in second.decode("latin-1").splitlines(True):
                out.write(line)
    finally:
        os.umask(old)
    after = path.read_bytes()
    assert after == before + kob.compress(second, chunk_size=4096)
    assert temporaries(tmp_path) == []
    # An append that fails, or is aborted, is cut off again.
    for leave in ("abort", "exception"):
        out = kob.open(path, "ab")
        out.write(rng.randbytes(200000))
        out.flush()
        assert path.stat().st_size > len(after)
        if leave == "abort":
            out.abort()
        else:
            with pytest.raises(RuntimeError):
                with out:
                    raise RuntimeError
        assert path.read_bytes() == after
    # Not packed: refused, the file untouched.
    (tmp_path / "plain").write_bytes(b"plain text")
    with pytest.raises(kob.NotPackedError):
        kob.open(tmp_path / "plain", "ab")
    assert (tmp_path / "plain").read_bytes() == b"plain text"


def threads_now():
    return len(os.listdir("/proc/self/task"))


def test_threads_beyond_the_cores_are_not_started(tmp_path, rng):
    data = make_data(rng, 300000)
    expected = pack_bytes(tmp_path / "one.kob", data, seal=True).read_bytes()
    cores = os.cpu_count()
    before = threads_now()
    for threads in (2000, 10 ** 6, 10 ** 30):
        with kob.open(tmp_path / "t.kob", "wb", threads=threads) as out:
            assert threads_now() <= before + cores
            out.write(data)
        assert (tmp_path / "t.kob").read_bytes() == expected
        assert kob.compress(data, threads=threads) == expected
        kob.pack(tmp_path / "t.kob", tmp_path / "p.kob", threads=threads, force=True)
    for bad in (-1, 2.5, "2"):
        with pytest.raises((ValueError, TypeError)):
            kob.open(tmp_path / "b.kob", "wb", threads=bad)
    assert threads_now() <= before


def fork_and_wait(in_child, seconds=20):
    """Runs in_child() in a forked child; returns its exit status, or None
    when it had to be killed."""
    child = os.fork()
    if child == 0:
        code = 99
        try:
            code = in_child()
        finally:
            os._exit(code)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        done, status = os.waitpid(child, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.02)
    os.kill(child, signal.SIGKILL)
    os.waitpid(child, 0)
    return None


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("kind", ["binary", "raw", "text"])
def test_a_writer_after_fork_raises_in_the_child(tmp_path, rng, threads, kind):
    data = make_data(rng, 60000)
    target = tmp_path / "f.kob"
    if kind == "raw":
        out = kob.RawWriter(target, threads=threads)
    else:
        out = kob.open(target, "wb" if kind == "binary" else "wt", threads=threads,
                       **({"encoding": "latin-1"} if kind == "text" else {}))
    piece = data if kind != "text" else data.decode("latin-1")
    out.write(piece[:30000])

    def child():
        import gc
        answers = 0
        for call in (lambda: out.write(piece[:10]), lambda: out.write(piece),
                     lambda: out.flush(), lambda: out.tell()):
            try:
                call()
            except ValueError as error:
                answers += "fork" in str(error)
        out.close()  # lets go; the file stays the parent's
        gc.collect()
        return 0 if answers >= 3 else 1

    assert fork_and_wait(child) == 0
    assert len(temporaries(tmp_path)) == 1
    out.write(piece[30000:])
    out.close()
    assert kob.open(target).read() == data
    assert temporaries(tmp_path) == []
