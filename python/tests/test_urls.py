# SPDX-License-Identifier: GPL-2.0-or-later
# Files read from URLs, served by nginx and by the S3 server on 127.0.0.1
# alike: a URL is read as its local file is, and never written.
import errno
import io
import os

import pytest

import kob
from conftest import make_data, pack_bytes


def test_a_plain_object_reads_as_it_is_when_asked(remote, rng):
    data = make_data(rng, 100000)
    remote.data("plain.txt").write_bytes(data)
    url = remote.url("plain.txt")
    with pytest.raises(kob.NotPackedError) as raised:
        kob.open(url)
    assert raised.value.filename == url
    with kob.open(url, plain=True) as f:
        assert not f.packed and f.size() == len(data)
        assert f.pread(100, 5000) == data[5000:5100]
        f.seek(-7, io.SEEK_END)
        assert f.read() == data[-7:]
    with kob.open(url, "rt", plain=True, encoding="latin-1", newline="") as f:
        assert f.read() == data.decode("latin-1")
    assert kob.decompress(data, plain=True) == data


def test_damage_in_a_remote_file_is_damage(remote, rng):
    data = make_data(rng, 120000)
    path = pack_bytes(remote.data("cut.kob"), data, chunk_size=10000)
    chunks = kob.scan(path)
    victim = chunks[6]
    packed = path.read_bytes()
    path.write_bytes(packed[:victim.offset + 6 + victim.payload_size // 2])
    url = remote.url("cut.kob")
    calls = {
        "size": lambda f: f.size(),
        "read": lambda f: f.read(),
        "seek to the end": lambda f: f.seek(0, io.SEEK_END),
        "pread at the damage": lambda f: f.pread(10, victim.position),
    }
    for what, call in calls.items():
        with kob.open(url) as f:
            with pytest.raises(kob.DamageError) as raised:
                call(f)
            assert (raised.value.damage, raised.value.chunk) == ("cut_short", 6), what
            assert raised.value.filename == url
            assert f.pread(50, 100) == data[100:150]
    for check in (False, True):
        with pytest.raises(kob.DamageError):
            kob.scan(url, check=check)
    with pytest.raises(kob.DamageError):
        kob.unpack(url, remote.root / "out")
    assert not os.path.exists(remote.root / "out")


def test_scan_index_state_and_unpack_take_urls(remote, rng, tmp_path):
    data = make_data(rng, 200000)
    path = pack_bytes(remote.data("d.kob"), data, chunk_size=8192)
    url = remote.url("d.kob")
    assert kob.scan(url) == kob.scan(path)
    assert kob.scan(url, check=True) == kob.scan(path)
    assert kob.index_state(url) == "none"
    kob.write_index(path)
    assert kob.index_state(url) in ("valid", "unverified")
    assert kob.scan(url, check=True) == kob.scan(path)
    with kob.open(url) as f:
        assert f.packed and f.size() == len(data)
        assert f.pread(300, 150000) == data[150000:150300]
        f.seek(-7, io.SEEK_END)
        assert f.read() == data[-7:]
    with kob.open(url, "rt", encoding="latin-1", newline="") as f:
        assert f.read() == data.decode("latin-1")
    kob.unpack(url, tmp_path / "back")
    assert (tmp_path / "back").read_bytes() == data
    remote.data("plain").write_bytes(data)
    kob.pack(remote.url("plain"), tmp_path / "again.kob", chunk_size=8192, seal=False)
    assert (tmp_path / "again.kob").read_bytes() == path.read_bytes()
    assert kob.index_state(remote.url("none.kob")) == "none"
    for call in (kob.open, kob.scan, lambda u: kob.unpack(u, tmp_path / "x")):
        with pytest.raises(FileNotFoundError):
            call(remote.url("none.kob"))


def test_a_replaced_object_fails_with_estale(remote, rng):
    # Bytes that do not compress, an index (no walk), and no read in order
    # (which fetches ahead): the part read later is not among the bytes
    # the first requests brought.
    first, second = rng.randbytes(400000), rng.randbytes(400000)
    kob.write_index(pack_bytes(remote.data("r.kob"), first, chunk_size=4000))
    with kob.open(remote.url("r.kob")) as f:
        assert f.pread(100, 0) == first[:100]
        pack_bytes(remote.data("r.new"), second, chunk_size=5000)
        os.replace(remote.data("r.new"), remote.data("r.kob"))
        with pytest.raises(OSError) as raised:
            f.pread(100, 350000)
        assert raised.value.errno == errno.ESTALE
    with kob.open(remote.url("r.kob")) as f:
        assert f.pread(100, 350000) == second[350000:350100]


def test_a_url_is_never_written(remote, tmp_path):
    url = remote.url("w.kob")
    for call in (lambda: kob.open(url, "wb"), lambda: kob.open(url, "ab"),
                 lambda: kob.open(url, "xt"), lambda: kob.write_index(url),
                 lambda: kob.pack(__file__, url)):
        with pytest.raises(OSError) as raised:
            call()
        assert raised.value.errno == errno.EROFS
    # Nothing was made, there or under a local name like the URL's.
    assert not remote.data("w.kob").exists()
    assert not os.path.exists("http:") and not os.path.exists("s3:")


def test_a_private_authority_is_trusted_where_cacert_names_it(nginx_tls, rng, monkeypatch):
    import pickle
    data = make_data(rng, 30000)
    pack_bytes(nginx_tls.data / "t.kob", data, chunk_size=4000)
    url = nginx_tls.url("t.kob")
    for variable in ("CURL_CA_BUNDLE", "SSL_CERT_FILE"):
        monkeypatch.delenv(variable, raising=False)
    with pytest.raises(PermissionError):
        kob.open(url)
    with kob.open(url, cacert=nginx_tls.authority) as f:
        assert f.pread(100, 29000) == data[29000:29100]
        f.seek(500)
        again = pickle.loads(pickle.dumps(f))  # with its authority
    assert again.read() == data[500:]
    with pytest.raises(ValueError):
        kob.open(url, cacert="ca\0.pem")
    with pytest.raises(ValueError):
        kob.open(nginx_tls.root / "w.kob", "wb", cacert=nginx_tls.authority)


def test_a_password_in_a_url_is_never_shown(nginx, rng):
    fsspec = pytest.importorskip("fsspec")
    pack_bytes(nginx.data / "s.kob", make_data(rng, 50000))
    url = nginx.url("s.kob").replace("//", "//bob:S3CRET@") + "?key=S3CRET"
    with kob.open(url) as f, fsspec.open("kob::" + url).open() as g:
        for opened in (f, f.raw, g):
            with pytest.raises(OSError) as raised:
                opened.seek(-1)
            assert raised.value.filename.endswith(nginx.url("s.kob"))
            assert "S3CRET" not in repr(opened) + str(raised.value)

