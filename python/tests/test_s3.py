# SPDX-License-Identifier: GPL-2.0-or-later
# Files read from s3:// URLs, served by tests/s3_server.py on 127.0.0.1,
# which checks every request's signature with botocore's signer: settings
# taken as AWS's command line takes them, S3's error codes as OSErrors, no
# secret in any message.
import errno
import io
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

import kob
from conftest import make_data, pack_bytes

SERVER = Path(__file__).resolve().parents[2] / "tests" / "s3_server.py"
KEY, SECRET = "AKIDKOBTEST", "kob/Secret+Key0123"
TEMP_KEY, TEMP_SECRET, TOKEN = "ASIAKOBTEST", "Temporary-Secret-987", "Session/Token+=abc"
REGION = "eu-west-3"


class S3Server:
    """s3_server.py serving the buckets bkt (signed requests) and open
    (public) under `root`, started and stopped by the test."""

    def __init__(self, root, *options):
        self.root = root
        (root / "data" / "bkt").mkdir(parents=True)
        (root / "data" / "open").mkdir()
        credentials = root / "keys"
        credentials.write_text("%s %s\n%s %s %s\n" % (KEY, SECRET, TEMP_KEY, TEMP_SECRET, TOKEN))
        self.log_path = root / "log"
        port_file = root / "port"
        self.process = subprocess.Popen(
            [sys.executable, str(SERVER), "--root", str(root / "data"), "--port-file", str(port_file),
             "--log", str(self.log_path), "--region", REGION, "--credentials", str(credentials),
             "--public", "open", "--lifetime", "600", *options],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 20
        while not port_file.exists():
            if self.process.poll() is not None:
                if self.process.returncode == 77:
                    pytest.skip("botocore is missing (apt-get install python3-botocore)")
                raise RuntimeError("s3_server.py did not start: %s" % self.process.stderr.read())
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("s3_server.py did not start in time")
            time.sleep(0.02)
        self.endpoint = "http://127.0.0.1:%d" % int(port_file.read_text())

    def object(self, key, bucket="bkt"):
        path = self.root / "data" / bucket / key
        path.parent.mkdir(parents=True, exist_ok=True)
        return path

    def log(self):
        """The requests logged so far, once their count has settled."""
        entries, same = [], 0
        while same < 3:
            time.sleep(0.02)
            text = self.log_path.read_text() if self.log_path.exists() else ""
            now = [json.loads(line) for line in text.splitlines()]
            same = same + 1 if len(now) == len(entries) else 0
            entries = now
        return entries

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)
        self.process.stderr.close()


@pytest.fixture
def s3(tmp_path_factory, monkeypatch):
    server = S3Server(tmp_path_factory.mktemp("s3"))
    for name in list(os.environ):
        if name.startswith("AWS_"):
            monkeypatch.delenv(name)
    monkeypatch.setenv("AWS_CONFIG_FILE", "/nonexistent/config")
    monkeypatch.setenv("AWS_SHARED_CREDENTIALS_FILE", "/nonexistent/credentials")
    monkeypatch.setenv("AWS_ENDPOINT_URL_S3", server.endpoint)
    monkeypatch.setenv("AWS_REGION", REGION)
    monkeypatch.setenv("AWS_ACCESS_KEY_ID", KEY)
    monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", SECRET)
    monkeypatch.setenv("KOB_HTTP_RETRY_DELAY_MS", "5")
    yield server
    server.stop()


def no_secret(text):
    return all(secret not in text for secret in (SECRET, TEMP_SECRET, TOKEN))


def test_an_object_reads_as_its_local_file(s3, rng, tmp_path):
    data = make_data(rng, 300000)
    key = "dir/odd name+(1)!\u00e9~.kob"
    path = pack_bytes(s3.object(key), data, chunk_size=8192)
    url = "s3://bkt/" + key
    with kob.open(url) as f:
        assert f.packed and f.size() == len(data)
        assert f.read(1000) == data[:1000]
        assert f.pread(300, 150000) == data[150000:150300]
        f.seek(-7, io.SEEK_END)
        assert f.read() == data[-7:]
    with kob.open(url, "rt", encoding="latin-1", newline="") as f:
        assert f.read() == data.decode("latin-1")
    assert kob.scan(url) == kob.scan(path)
    assert kob.index_state(url) == "none"
    kob.write_index(path)
    assert kob.index_state(url) in ("valid", "unverified")
    assert kob.scan(url, check=True) == kob.scan(path)
    kob.unpack(url, tmp_path / "back")
    assert (tmp_path / "back").read_bytes() == data
    for entry in s3.log():
        assert entry["signed"] and entry["access_key"] == KEY, entry
    assert any(e["path"] == "/bkt/dir/odd%20name%2B%281%29%21%C3%A9~.kob" for e in s3.log())


def test_a_profile_in_the_files_signs_with_its_temporary_key(s3, rng, tmp_path, monkeypatch):
    data = make_data(rng, 50000)
    pack_bytes(s3.object("p.kob"), data, chunk_size=4096)
    for name in ("AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_REGION", "AWS_ENDPOINT_URL_S3"):
        monkeypatch.delenv(name)
    (tmp_path / "credentials").write_text(
        "[other]\naws_access_key_id = %s\naws_secret_access_key = wrong\n"
        "[reader]\naws_access_key_id = %s\naws_secret_access_key = %s\naws_session_token = %s\n"
        % (KEY, TEMP_KEY, TEMP_SECRET, TOKEN))
    (tmp_path / "config").write_text(
        "[profile reader]\nregion = %s\nendpoint_url = %s\n" % (REGION, s3.endpoint))
    monkeypatch.setenv("AWS_SHARED_CREDENTIALS_FILE", str(tmp_path / "credentials"))
    monkeypatch.setenv("AWS_CONFIG_FILE", str(tmp_path / "config"))
    monkeypatch.setenv("AWS_PROFILE", "reader")
    with kob.open("s3://bkt/p.kob") as f:
        assert f.read() == data
    assert {e["access_key"] for e in s3.log()} == {TEMP_KEY}
    monkeypatch.setenv("AWS_PROFILE", "absent")
    with pytest.raises(OSError) as raised:
        kob.open("s3://bkt/p.kob")
    assert raised.value.errno == errno.EINVAL and "absent" in str(raised.value)


@pytest.mark.parametrize("change, url, kind, code", [
    ({}, "s3://bkt/none.kob", FileNotFoundError, "NoSuchKey"),
    ({}, "s3://nobucket/x.kob", FileNotFoundError, "NoSuchBucket"),
    ({"AWS_SECRET_ACCESS_KEY": "wrong-secret"}, "s3://bkt/x.kob", PermissionError,
     "SignatureDoesNotMatch"),
    ({"AWS_ACCESS_KEY_ID": TEMP_KEY, "AWS_SECRET_ACCESS_KEY": TEMP_SECRET,
      "AWS_SESSION_TOKEN": "wrong"}, "s3://bkt/x.kob", PermissionError, "InvalidToken"),
    ({"AWS_REGION": "us-east-1"}, "s3://bkt/x.kob", PermissionError,
     "AuthorizationHeaderMalformed"),
    ({"AWS_ACCESS_KEY_ID": None}, "s3://bkt/x.kob", PermissionError, "AccessDenied"),
])
def test_s3s_refusals_are_oserrors_naming_its_code(s3, rng, monkeypatch, change, url, kind, code):
    pack_bytes(s3.object("x.kob"), make_data(rng, 1000))
    for name, value in change.items():
        if value is None:
            monkeypatch.delenv(name)
        else:
            monkeypatch.setenv(name, value)
    for call in (kob.open, kob.scan, lambda u: kob.unpack(u, s3.root / "out")):
        with pytest.raises(kind) as raised:
            call(url)
        assert code in str(raised.value), str(raised.value)
        assert raised.value.filename in (url, None)
        assert no_secret(str(raised.value))
    assert not (s3.root / "out").exists()
    assert no_secret(s3.log_path.read_text())


def test_a_public_bucket_reads_unsigned(s3, rng, monkeypatch):
    data = make_data(rng, 20000)
    pack_bytes(s3.object("pub.kob", bucket="open"), data)
    monkeypatch.delenv("AWS_ACCESS_KEY_ID")
    monkeypatch.delenv("AWS_SECRET_ACCESS_KEY")
    with kob.open("s3://open/pub.kob") as f:
        assert f.read() == data
    assert not any(e["signed"] for e in s3.log())


def test_a_replaced_object_fails_with_estale(s3, rng):
    # Bytes that do not compress, an index (no walk), and no read in order
    # (which fetches ahead): the part read later is not among the bytes
    # the first requests brought.
    first, second = rng.randbytes(400000), rng.randbytes(400000)
    kob.write_index(pack_bytes(s3.object("r.kob"), first, chunk_size=4000))
    with kob.open("s3://bkt/r.kob") as f:
        assert f.pread(100, 0) == first[:100]
        pack_bytes(s3.object("r.new"), second, chunk_size=5000)
        os.replace(s3.object("r.new"), s3.object("r.kob"))
        with pytest.raises(OSError) as raised:
            f.pread(100, 350000)
        assert raised.value.errno == errno.ESTALE
    assert any(e["code"] == "PreconditionFailed" for e in s3.log())
    with kob.open("s3://bkt/r.kob") as f:
        assert f.pread(100, 350000) == second[350000:350100]


def test_an_s3_url_is_never_written(s3):
    for call in (lambda: kob.open("s3://bkt/w.kob", "wb"),
                 lambda: kob.write_index("s3://bkt/w.kob"),
                 lambda: kob.pack(__file__, "s3://bkt/w.kob")):
        with pytest.raises(OSError) as raised:
            call()
        assert raised.value.errno == errno.EROFS
    assert not os.path.exists("s3:")
    assert not s3.object("w.kob").exists()
