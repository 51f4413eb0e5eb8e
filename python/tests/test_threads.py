# SPDX-License-Identifier: GPL-2.0-or-later
# Reads from many threads and processes at once.
import io
import multiprocessing
import pickle
import random
import sys
import threading
import time

import pytest

import kob
from conftest import make_data, pack_bytes


def test_threads_pread_what_one_would(tmp_path, rng):
    data = make_data(rng, 600000)
    path = pack_bytes(tmp_path / "t.kob", data, chunk_size=4096)
    failures = []
    for partial in (False, True):
        with kob.open(path, partial=partial) as f:
            def work(seed):
                local = random.Random(seed)
                buffer = bytearray(3000)
                for _ in range(300):
                    at = local.randrange(len(data) + 100)
                    n = local.randrange(3000)
                    if local.random() < 0.5:
                        got = f.pread(n, at)
                    else:
                        view = memoryview(buffer)[:n]
                        got = bytes(view[:f.readinto_at(view, at)])
                    if got != data[at:at + n]:
                        failures.append((at, n))
            threads = [threading.Thread(target=work, args=(rng.random(),)) for _ in range(6)]
            for thread in threads:
                thread.start()
            # The position is apart from the positional reads.
            assert f.read(1000) == data[:1000]
            for thread in threads:
                thread.join()
            assert f.tell() == 1000
    assert failures == []


def test_a_close_leaves_reads_under_way_to_finish(tmp_path, rng):
    data = make_data(rng, 300000)
    path = pack_bytes(tmp_path / "c.kob", data)
    f = kob.open(path)
    answers = []

    def work():
        while True:
            at = random.randrange(len(data))
            try:
                got = f.pread(500, at)
            except ValueError:
                answers.append("closed")
                return
            answers.append(got == data[at:at + 500])

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    time.sleep(0.05)
    f.close()
    for thread in threads:
        thread.join()
    assert answers.count("closed") == 4
    assert all(answer is True for answer in answers if answer != "closed")


@pytest.mark.parametrize("call", ["pread", "readinto_at"])
def test_reads_let_other_threads_run(tmp_path, call):
    # With a switch interval far longer than the test, a thread gives up the
    # GIL only where it waits or where C++ lets it go. The main thread waits
    # until another has begun a read of 24 MB (tens of milliseconds), then
    # comes back again and again while it goes on, as it can only when the
    # read lets the GIL go (a read that keeps it lets it in once at most,
    # while the size is found).
    data = bytes(range(256)) * (24 * 4096)
    path = pack_bytes(tmp_path / "g.kob", data, chunk_size=65535)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    most = 0
    try:
        with kob.open(path) as f:
            f.size()
            buffer = bytearray(len(data))
            for _ in range(10):
                started, done = threading.Event(), []

                def read():
                    started.set()
                    if call == "pread":
                        done.append(len(f.pread(len(data), 0)))
                    else:
                        done.append(f.readinto_at(buffer, 0))

                reader = threading.Thread(target=read)
                reader.start()
                started.wait()
                visits = 0
                while not done:
                    visits += 1
                    time.sleep(0.0002)
                reader.join()
                assert done == [len(data)]
                most = max(most, visits)
                if most >= 4:
                    break
    finally:
        sys.setswitchinterval(interval)
    assert most >= 4


def read_through(reader):
    return reader.tell(), reader.read(20), reader.pread(5, 100)


def test_readers_pickle_as_path_options_and_position(tmp_path, rng):
    data = make_data(rng, 50000)
    path = pack_bytes(tmp_path / "p.kob", data)
    with kob.open(path, partial=True) as f:
        f.seek(1234)
        copy = pickle.loads(pickle.dumps(f))
        assert isinstance(copy, kob.Reader)
        assert copy.raw.partial and copy.tell() == 1234
        assert copy.read(10) == data[1234:1244]
        assert f.tell() == 1234
        raw = pickle.loads(pickle.dumps(kob.RawReader(path)))
        assert raw.read(3) == data[:3]
    for kind, options in ((kob.Reader, {"plain": True, "threads": 3}),
                          (kob.RawReader, {"plain": True, "partial": True, "threads": 2}),
                          (kob.RawReader, {"partial": True})):
        with kind(__file__ if options.get("plain") else path, **options) as f:
            f.seek(7)
            copy = pickle.loads(pickle.dumps(f))
            raw, copied = getattr(f, "raw", f), getattr(copy, "raw", copy)
            assert type(copy) is kind and copied.name == raw.name
            assert (copied.plain, copied.partial, copied._threads) == (
                raw.plain, raw.partial, raw._threads)
            assert copy.read(5) == f.read(5)
        with pytest.raises(TypeError, match="file object"):  # its object is not its to give
            pickle.dumps(kind(io.BytesIO(path.read_bytes())))
    with pytest.raises(TypeError):
        pickle.dumps(kob.open(tmp_path / "w.kob", "wb"))


@pytest.mark.parametrize("method", ["spawn", "fork"])
def test_pickled_readers_read_in_worker_processes(tmp_path, rng, method):
    data = make_data(rng, 200000)
    path = pack_bytes(tmp_path / "m.kob", data, chunk_size=5000)
    readers = []
    for at in (0, 777, 150000):
        reader = kob.open(path)
        reader.seek(at)
        readers.append(reader)
    with multiprocessing.get_context(method).Pool(2) as pool:
        answers = pool.map(read_through, readers)
    assert answers == [(at, data[at:at + 20], data[100:105]) for at in (0, 777, 150000)]


def test_a_reader_on_threads_reads_what_one_would(tmp_path, rng):
    # Large reads spread over helper threads: the same bytes, the same
    # damage at the same place, and the option survives pickling.
    data = make_data(rng, 3000000)
    path = pack_bytes(tmp_path / "t.kob", data, chunk_size=8192)
    with kob.open(path) as one, kob.open(path, threads=0) as many:
        assert many.read() == data
        for _ in range(5):
            at = rng.randrange(len(data))
            n = rng.randrange(1 << 20, 2 << 20)
            assert many.pread(n, at) == one.pread(n, at) == data[at:at + n]
        again = pickle.loads(pickle.dumps(many))
        assert again.raw._threads == 0
        again.close()
    packed = bytearray(open(path, "rb").read())
    chunks = kob.scan(path)
    victim = chunks[len(chunks) // 2]
    packed[victim.offset + 6:victim.offset + 6 + victim.payload_size] = \
        bytes(victim.payload_size)
    open(path, "wb").write(bytes(packed))
    answers = []
    for threads in (1, 2):
        with kob.open(path, threads=threads) as f:
            with pytest.raises(kob.DamageError) as caught:
                f.read()
            got = f.pread(len(data), 0)
            answers.append((caught.value.chunk, caught.value.position, got))
    assert answers[0] == answers[1]
    assert answers[0][0] == victim.number
    assert answers[0][2] == data[:victim.position]
