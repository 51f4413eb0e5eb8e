# SPDX-License-Identifier: GPL-2.0-or-later
# Dask over kob:// URLs: several partitions of one packed file, computed
# on two worker processes, equal to the plain file's; and where the
# partitions' reads fall among the chunks.
import bisect
import collections
import io
import itertools

import pytest

pytest.importorskip("fsspec")
dask = pytest.importorskip("dask")
db = pytest.importorskip("dask.bag")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("dask.distributed")
pd = pytest.importorskip("pandas")

import kob  # noqa: E402
from kob import _fsspec  # noqa: E402
from s3_fixture import s3  # noqa: E402,F401  (a fixture)

# Debian 12's tornado, under distributed.
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")

CHUNK = kob.DEFAULT_CHUNK_SIZE
# A multiple of the chunk size, as a blocksize of "16MiB" is, scaled down.
BLOCK = 16 * CHUNK


@pytest.fixture(scope="module")
def cluster():
    """Two worker processes of one thread: kept small and short-lived."""
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=None, silence_logs=40) as made:
        with distributed.Client(made) as client:
            yield client


def csv_rows(rng, rows):
    lines = ["id,amount,name\n"]
    for i in range(rows):
        lines.append("%d,%d,%s\n" % (i, rng.randrange(-1000, 100000),
                                     rng.choice(("kob", "chunk", "lzo", "zebra"))))
    return "".join(lines).encode()


def log_lines(rng, count):
    return b"".join(b"%d %s\n" % (i, b"x" * rng.randrange(0, 120)) for i in range(count))


def check_frame(frame, data):
    import io
    expected = pd.read_csv(io.BytesIO(data))
    assert frame.npartitions >= 3
    got = frame.compute().reset_index(drop=True)
    pd.testing.assert_frame_equal(got, expected)
    assert int(frame.amount.sum().compute()) == int(expected.amount.sum())


def test_bags_and_frames_of_local_files(cluster, rng, tmp_path):
    plain = {}
    for name in ("a", "b", "c"):
        plain[name] = log_lines(rng, 12000 + rng.randrange(2000))
        with kob.open(tmp_path / ("%s.kob" % name), "wb") as out:
            out.write(plain[name])
    bag = db.read_text("kob://%s/*.kob" % tmp_path, blocksize=BLOCK)
    assert bag.npartitions >= 3 * 2
    expected = b"".join(plain[name] for name in sorted(plain)).decode().splitlines(True)
    assert bag.compute() == expected
    data = csv_rows(rng, 80000)
    with kob.open(tmp_path / "big.csv.kob", "wb") as out:
        out.write(data)
    check_frame(dd.read_csv("kob://%s/big.csv.kob" % tmp_path, blocksize=BLOCK), data)


def test_frames_over_http(cluster, nginx, rng):
    data = csv_rows(rng, 80000)
    with kob.open(nginx.data / "big.csv.kob", "wb") as out:
        out.write(data)
    kob.write_index(nginx.data / "big.csv.kob")
    check_frame(dd.read_csv("kob::" + nginx.url("big.csv.kob"), blocksize=BLOCK), data)


def test_bags_and_frames_over_s3(cluster, s3, rng):
    plain = [log_lines(rng, 9000), log_lines(rng, 12000)]
    for number, data in enumerate(plain):
        s3.put("bucket/logs/%d.kob" % number, kob.compress(data))
    options = {"s3": s3.options()}
    bag = db.read_text("kob::s3://bucket/logs/*.kob", blocksize=BLOCK,
                       storage_options=options)
    assert bag.npartitions >= 4
    assert bag.compute() == b"".join(plain).decode().splitlines(True)
    data = csv_rows(rng, 80000)
    s3.put("bucket/big.csv.kob", kob.compress(data))
    check_frame(dd.read_csv("kob::s3://bucket/big.csv.kob", blocksize=BLOCK,
                            storage_options=options), data)


def partition_reads(monkeypatch, compute):
    """What each file the computation opened read: {view: [(start, end)]}."""
    reads = collections.defaultdict(list)
    read_at = _fsspec._RawView.read_at
    # A number of its own for each view: ids come again once a view is gone.
    numbers = itertools.count()

    def counted(view, method, *arguments):
        got = read_at(view, method, *arguments)
        count = got if isinstance(got, int) else len(got)
        if not hasattr(view, "_counted_as"):
            view._counted_as = next(numbers)
        reads[view._counted_as].append((arguments[-1], arguments[-1] + count))
        return got

    monkeypatch.setattr(_fsspec._RawView, "read_at", counted)
    with dask.config.set(scheduler="sync"):
        compute()
    return list(reads.values())


@pytest.mark.parametrize("whole_blocks", [True, False])
def test_partitions_decode_no_chunk_twice_but_for_the_delimiter_scan(
        monkeypatch, rng, tmp_path, whole_blocks):
    """Dask cuts a file at multiples of size / (size // blocksize): on chunk
    starts when the data is whole blocks and the blocksize whole chunks. A
    partition reads its block from the line after its start to the line
    after its end, looking for each line end in the 64 KiB there; the only
    chunks two partitions read are those of the looks."""
    data = log_lines(rng, 2500)
    size = 6 * BLOCK if whole_blocks else 6 * BLOCK + 5000
    data = (data * (size // len(data) + 1))[:size - 1] + b"\n"
    path = tmp_path / "d.kob"
    with kob.open(path, "wb") as out:
        out.write(data)
    starts = [chunk.position for chunk in kob.scan(path)]
    bag = db.read_text("kob://%s" % path, blocksize=BLOCK)
    assert bag.npartitions == 6
    reads = partition_reads(monkeypatch, lambda: bag.compute())
    # A file for each partition, and one for the size (fs.info).
    reads = [r for r in reads if r]
    assert len(reads) == 6
    offsets = sorted(r[0][0] for r in reads)[1:]
    assert all((o in starts) == whole_blocks for o in offsets)
    looks = set()
    for offset in offsets:
        first = bisect.bisect_right(starts, offset) - 1
        last = bisect.bisect_right(starts, offset + 65536 - 1) - 1
        looks.update(range(first, last + 1))
    readers = collections.Counter()
    for ranges in reads:
        chunks = set()
        for start, end in ranges:
            if end > start:
                chunks.update(range(bisect.bisect_right(starts, start) - 1,
                                    bisect.bisect_right(starts, end - 1)))
        readers.update(chunks)
    assert set(range(len(starts) - 1)) <= set(readers)  # all read, end marker aside
    assert {chunk for chunk, count in readers.items() if count > 1} <= looks
    assert max(readers.values()) == 2


@pytest.mark.parametrize("where", ["local", "http", "s3"])
def test_pandas_and_dask_read_csv_in_the_forms_their_users_write(request, rng, tmp_path,
                                                                 monkeypatch, where):
    """Debian 12's pandas takes no chained URL (kob::http://...): a kob://
    URL and storage_options naming the target, as Dask takes them too."""
    from s3_fixture import clean_environment
    data = csv_rows(rng, 20000)
    url, options = "kob://%s/x.csv.kob" % tmp_path, {}
    if where == "local":
        (tmp_path / "x.csv.kob").write_bytes(kob.compress(data))
    elif where == "http":
        nginx = request.getfixturevalue("nginx")
        (nginx.data / "x.csv.kob").write_bytes(kob.compress(data))
        url, options = "kob://127.0.0.1:%d/x.csv.kob" % nginx.port, {"target_protocol": "http"}
    else:
        s3 = request.getfixturevalue("s3")
        clean_environment(monkeypatch)  # the options alone say where
        s3.put("bucket/x.csv.kob", kob.compress(data))
        url = "kob://bucket/x.csv.kob"
        options = {"target_protocol": "s3", "target_options": s3.options()}
    expected = pd.read_csv(io.BytesIO(data))
    pd.testing.assert_frame_equal(pd.read_csv(url, storage_options=options), expected)
    frame = dd.read_csv(url, storage_options=options, blocksize=BLOCK // 4)
    assert frame.npartitions >= 3
    with dask.config.set(scheduler="sync"):
        pd.testing.assert_frame_equal(frame.compute().reset_index(drop=True), expected)
        if where == "local":  # "kob" as fsspec's compression: the file read whole
            frame = dd.read_csv(str(tmp_path / "x.csv.kob"), compression="kob", blocksize=None)
            pd.testing.assert_frame_equal(frame.compute(), expected)
