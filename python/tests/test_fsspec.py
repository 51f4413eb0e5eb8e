# SPDX-License-Identifier: GPL-2.0-or-later
# The fsspec file system "kob" over every kind of target: a local path, a
# chained file://, memory://, http:// (nginx) and s3:// (the S3 test
# server), each read against the plain data as a model.
import errno
import io
import os
import pickle
import subprocess
import sys

import pytest

fsspec = pytest.importorskip("fsspec")

import kob  # noqa: E402
from kob import _fsspec  # noqa: E402
from conftest import make_data, rounds  # noqa: E402
from s3_fixture import s3  # noqa: E402,F401  (a fixture)


class Target:
    """Where packed files are put, and the URLs fsspec reads them by."""

    def __init__(self, kind, put, url, options=None, own_reader=True, folder=None):
        self.kind = kind
        self.put = put            # put(name, bytes)
        self.url = url            # url(name)
        self.options = options or {}
        self.own_reader = own_reader  # read by kob's C++ reader of a path or URL
        self.folder = folder      # a folder whose listing passes through, or None

    def open(self, name, mode="rb", **options):
        return fsspec.open(self.url(name), mode, **self.options, **options).open()

    def fs(self, name):
        fs, _, (path,) = fsspec.core.get_fs_token_paths(self.url(name),
                                                       storage_options=self.options)
        return fs, path


def local_target(tmp_path):
    def put(name, data):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(data)
        return tmp_path / name
    os.makedirs(tmp_path, exist_ok=True)
    return Target("local", put, lambda name: "kob://%s/%s" % (tmp_path, name),
                  folder=lambda name: "kob://%s/%s" % (tmp_path, name))


@pytest.fixture(params=["local", "relative", "file chain", "memory", "http", "s3"])
def target(request, tmp_path, monkeypatch):
    kind = request.param
    if kind == "local":
        return local_target(tmp_path / "data")
    if kind == "relative":
        (tmp_path / "data").mkdir()
        monkeypatch.chdir(tmp_path)
        made = local_target(tmp_path / "data")
        made.url = made.folder = lambda name: "kob://data/" + name
        return made
    if kind == "file chain":
        made = local_target(tmp_path / "data")
        made.url = made.folder = lambda name: "kob::file://%s/data/%s" % (tmp_path, name)
        return made
    if kind == "memory":
        memory = fsspec.filesystem("memory")
        prefix = "/kob-test-%d" % id(tmp_path)
        request.addfinalizer(lambda: memory.rm(prefix, recursive=True)
                             if memory.exists(prefix) else None)

        def put(name, data):
            memory.pipe(prefix + "/" + name, data)
        return Target(kind, put, lambda name: "kob::memory://%s/%s" % (prefix, name),
                      own_reader=False,
                      folder=lambda name: "kob::memory://%s/%s" % (prefix, name))
    if kind == "http":
        nginx = request.getfixturevalue("nginx")

        def put(name, data):
            (nginx.data / name).parent.mkdir(parents=True, exist_ok=True)
            (nginx.data / name).write_bytes(data)
            return nginx.data / name
        return Target(kind, put, lambda name: "kob::" + nginx.url(name))
    server = request.getfixturevalue("s3")
    server.environment(monkeypatch)
    # Settings from the environment alone: kob's own s3:// reader reads it.
    return Target(kind, lambda name, data: server.put("bucket/" + name, data),
                  lambda name: "kob::s3://bucket/" + name, own_reader=True,
                  folder=lambda name: "kob::s3://bucket/" + name)


def packed(rng, data):
    return kob.compress(data, chunk_size=rng.choice((100, 4096, 16384, 65535)))


def operations(rng, f, model, size):
    """Random seeks and reads on `f` and the model, compared."""
    for _ in range(40):
        what = rng.random()
        if what < 0.3:
            whence = rng.choice((io.SEEK_SET, io.SEEK_CUR, io.SEEK_END))
            offset = rng.randrange(-size // 2, size + 100) if size else rng.randrange(10)
            base = {io.SEEK_SET: 0, io.SEEK_CUR: model.tell(), io.SEEK_END: size}[whence]
            if base + offset < 0:
                with pytest.raises(OSError):
                    f.seek(offset, whence)
                continue
            assert f.seek(offset, whence) == model.seek(offset, whence)
        elif what < 0.5:
            n = rng.choice((0, 1, 100, 70000, 1 << 20, 3 << 20, -1))
            assert f.read(n) == model.read(n)
        elif what < 0.7:
            assert f.readline() == model.readline()
        elif what < 0.8:
            buffer = bytearray(rng.randrange(1, 200000))
            got = f.readinto(buffer)
            assert bytes(buffer[:got]) == model.read(got)
            assert got == len(buffer) or model.tell() >= size
        assert f.tell() == model.tell()


def test_the_plain_data_reads_as_the_model(target, rng):
    for round in range(rounds(3)):
        data = make_data(rng, rng.choice((0, 1, 30000, 400000)))
        name = "d%d.kob" % round
        target.put(name, packed(rng, data))
        with target.open(name) as f:
            assert f.size == len(data)
            operations(rng, f, io.BytesIO(data), len(data))
            assert (f.raw.shared.inner is None) == target.own_reader
        with target.open(name, "rt", encoding="latin-1", newline="") as f:
            assert f.read() == data.decode("latin-1")
        fs, path = target.fs(name)
        info = fs.info(path)
        assert (info["type"], info["size"]) == ("file", len(data))
        assert info["packed_size"] == len(packed(rng, b"")) or info["packed_size"] > 0
        assert fs.cat_file(path, 5, 900) == data[5:900]
        assert fs.size(path) == len(data)


def test_the_file_system_and_its_files_pickle(target, rng):
    data = make_data(rng, 200000)
    target.put("p.kob", packed(rng, data))
    fs, path = target.fs("p.kob")
    again = pickle.loads(pickle.dumps(fs))
    assert again.info(path)["size"] == len(data)
    with target.open("p.kob") as f:
        f.seek(123456)
        assert f.read(10) == data[123456:123466]
        copy = pickle.loads(pickle.dumps(f))
        assert copy.tell() == 123466 and copy.read(100) == data[123466:123566]
        copy.close()
    opened = fsspec.open(target.url("p.kob"), **target.options)
    with pickle.loads(pickle.dumps(opened)) as f:
        assert f.read() == data


def test_listing_passes_through_to_the_target(target, rng):
    if target.folder is None:
        pytest.skip("http lists nothing")
    names = ["logs/a.kob", "logs/b.kob", "logs/sub/c.kob", "logs/notes.txt"]
    for name in names:
        target.put(name, packed(rng, make_data(rng, 5000)))
    fs, folder = target.fs("logs")
    found = sorted(os.path.basename(p) for p in fs.glob(folder + "/*.kob"))
    assert found == ["a.kob", "b.kob"]
    files = fsspec.open_files(target.folder("logs/*.kob"), **target.options)
    assert len(files) == 2
    assert fs.isdir(folder) and not fs.isdir(folder + "/a.kob")
    assert fs.isfile(folder + "/a.kob")
    assert fs.exists(folder + "/a.kob") and not fs.exists(folder + "/none.kob")
    listed = {os.path.basename(e["name"].rstrip("/")): e for e in fs.ls(folder)}
    assert sorted(listed) == ["a.kob", "b.kob", "notes.txt", "sub"]
    assert listed["sub"]["type"] == "directory"
    assert listed["a.kob"]["size"] is None and listed["a.kob"]["packed_size"] > 0
    assert sorted(os.path.basename(p) for p in fs.ls(folder, detail=False)) == sorted(listed)
    assert fs.info(folder)["type"] == "directory"


def test_what_the_file_system_refuses(target, rng):
    data = make_data(rng, 40000)
    target.put("plain.txt", data)
    target.put("d.kob", packed(rng, data))
    with pytest.raises(kob.NotPackedError):
        target.open("plain.txt")
    fs, path = target.fs("plain.txt")
    with pytest.raises(kob.NotPackedError):
        fs.info(path)
    # A chained URL's options are each protocol's own.
    plain = {"plain": True} if target.url("").startswith("kob://") else {"kob": {"plain": True}}
    with target.open("plain.txt", **plain) as f:
        assert f.read(10) == data[:10]
        assert pickle.loads(pickle.dumps(f)).read() == data[10:]  # plain still
    with pytest.raises(FileNotFoundError):
        target.open("none.kob")
    for mode in ("wb", "ab", "wt"):
        with pytest.raises(OSError) as raised:
            target.open("d.kob", mode)
        assert raised.value.errno == errno.EROFS
    with target.open("d.kob") as f:
        pass
    with pytest.raises(ValueError):
        f.read(1)


def test_a_rewritten_file_is_read_anew(target, rng):
    versions = [make_data(rng, 100000) for _ in range(3)]
    target.put("r.kob", packed(rng, versions[0]))
    with target.open("r.kob") as f:
        assert f.read(5000) == versions[0][:5000]
    # Rewritten in place, then replaced by another file renamed into place.
    written = target.put("r.kob", packed(rng, versions[1]))
    with target.open("r.kob") as f:
        assert f.read() == versions[1]
    if written is not None:
        os.replace(target.put("r.kob.new", packed(rng, versions[2])), written)
    else:
        target.put("r.kob", packed(rng, versions[2]))
    with target.open("r.kob") as f:
        assert f.read() == versions[2]


def test_files_of_one_packed_file_share_a_reader(tmp_path, rng):
    made = local_target(tmp_path)
    data = make_data(rng, 100000)
    made.put("s.kob", packed(rng, data))
    with made.open("s.kob") as a, made.open("s.kob") as b:
        assert a.raw.shared is b.raw.shared
        a.seek(50000)
        assert b.read(10) == data[:10] and a.read(10) == data[50000:50010]
    with made.open("s.kob", plain=True) as c:
        assert c.raw.shared is not a.raw.shared  # other options, another reader


def test_a_changed_object_is_read_anew_only_before_a_byte_is_served(rng):
    data = make_data(rng, 100000)

    class Changed:
        """A reader whose object changed under it."""
        def readinto_at(self, buffer, offset):
            raise OSError(errno.ESTALE, "Stale file handle")
        pread = readinto_at

        def close(self):
            pass

    stale = _fsspec._kept.get(("test", "changed"), lambda: (Changed(), None))
    fresh = _fsspec._Shared(kob.open(io.BytesIO(kob.compress(data))), None)
    renewed = []
    view = _fsspec._RawView(stale, "changed", lambda: renewed.append(1) or fresh)
    buffer = bytearray(1000)
    assert view.readinto(buffer) == 1000 and bytes(buffer) == data[:1000]
    assert renewed == [1] and view.shared is fresh
    assert _fsspec._kept.get(("test", "changed"), lambda: (Changed(), None)) is not stale
    # Once it has served bytes, it never serves another version's.
    view.shared = _fsspec._Shared(Changed(), None)
    with pytest.raises(OSError) as raised:
        view.readinto(buffer)
    assert raised.value.errno == errno.ESTALE and renewed == [1]


def test_readers_let_go_close_the_files_they_read_through(rng):
    import gc
    import weakref
    memory = fsspec.filesystem("memory")
    names = ["/kob-let-go/%d.kob" % i for i in range(_fsspec._KEPT_READERS + 1)]
    for name in names:
        memory.pipe(name, kob.compress(make_data(rng, 1000)))
    try:
        closed = []
        with fsspec.open("kob::memory://" + names[0]).open() as first:
            shared = weakref.ref(first.raw.shared)
            first.raw.shared.inner.close = lambda: closed.append(names[0])
            assert first.read(10)
        assert shared() is not None and not closed  # kept for the next open
        for name in names[1:]:
            with fsspec.open("kob::memory://" + name).open() as f:
                f.read(10)
        gc.collect()
        # Kept no more, and no open file reads through it (closed ones,
        # still held, have let go).
        assert first.closed
        assert shared() is None and closed == names[:1]
    finally:
        memory.rm("/kob-let-go", recursive=True)


def test_a_forked_process_opens_readers_of_its_own(tmp_path, rng):
    """A reader's connections and positions are its process's."""
    made = local_target(tmp_path)
    data = make_data(rng, 50000)
    made.put("f.kob", packed(rng, data))
    with made.open("f.kob") as f:
        parent = id(f.raw.shared)
        read, write = os.pipe()
        child = os.fork()
        if child == 0:
            try:
                with made.open("f.kob") as g:
                    answer = b"%d" % (id(g.raw.shared) != parent and g.read() == data)
            except BaseException:
                answer = b"failed"
            os.write(write, answer)
            os._exit(0)
        os.close(write)
        answer = os.read(read, 100)
        os.close(read)
        os.waitpid(child, 0)
    assert answer == b"1"


def test_fs_splits_are_those_of_kob_splits(target, rng):
    data = make_data(rng, 300000)
    packed_data = kob.compress(data, chunk_size=4096)
    target.put("s.kob", packed_data)
    expected = kob.splits(io.BytesIO(packed_data), 6)
    fs, path = target.fs("s.kob")
    assert fs.splits(path, 6) == expected
    assert all(start % 4096 == 0 for start, _ in expected)


def test_kob_is_registered_on_import_and_by_its_entry_point(tmp_path):
    assert fsspec.get_filesystem_class("kob") is _fsspec.KobFileSystem
    if __import__("importlib").util.find_spec("s3fs") is None:
        assert fsspec.get_filesystem_class("s3").__module__ == "kob._s3"
    # Installed with metadata, fsspec finds kob through the entry point
    # pyproject.toml declares, without kob imported first.
    tomllib = pytest.importorskip("tomllib")
    with open(os.path.join(os.path.dirname(__file__), "..", "..", "pyproject.toml"), "rb") as f:
        declared = tomllib.load(f)["project"]["entry-points"]["fsspec.specs"]
    line = "kob = " + declared["kob"]
    metadata = tmp_path / "kob-0.dist-info"
    metadata.mkdir()
    (metadata / "METADATA").write_text("Metadata-Version: 2.1\nName: kob\nVersion: 0\n")
    (metadata / "entry_points.txt").write_text("[fsspec.specs]\n%s\n" % line)
    check = ("import sys, fsspec; cls = fsspec.get_filesystem_class('kob');"
             "print(cls.__module__, cls.__name__, 'kob' in sys.modules)")
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(tmp_path)] + os.environ.get("PYTHONPATH", "").split(os.pathsep)))
    shown = subprocess.run([sys.executable, "-c", check], env=environment, check=True,
                           capture_output=True, text=True).stdout.split()
    assert shown == ["kob._fsspec", "KobFileSystem", "True"]
