# SPDX-License-Identifier: GPL-2.0-or-later
# What is S3's own in reading s3:// URLs, served by tests/s3_server.py on
# 127.0.0.1, which checks every request's signature with botocore's signer:
# settings taken as AWS's command line takes them, S3's error codes as
# OSErrors, no secret in any message. What every remote source does is in
# test_urls.py, against this server and nginx alike.
import errno

import pytest

import kob
from conftest import make_data, pack_bytes
from s3_fixture import KEY, REGION, SECRET, S3Server

TEMP_KEY, TEMP_SECRET, TOKEN = "ASIAKOBTEST", "Temporary-Secret-987", "Session/Token+=abc"


@pytest.fixture
def s3(tmp_path_factory, monkeypatch):
    """The S3 server with the buckets bkt (signed requests) and open
    (public), which also knows a temporary key that needs its token; the
    environment set to read from it."""
    pytest.importorskip("botocore")
    scratch = tmp_path_factory.mktemp("s3")
    (scratch / "keys").write_text("%s %s %s\n" % (TEMP_KEY, TEMP_SECRET, TOKEN))
    server = S3Server(scratch / "root", "--credentials", str(scratch / "keys"), "--public", "open")
    server.environment(monkeypatch)
    monkeypatch.setenv("KOB_HTTP_RETRY_DELAY_MS", "5")
    yield server
    server.stop()


def no_secret(text):
    return all(secret not in text for secret in (SECRET, TEMP_SECRET, TOKEN))


def test_every_request_is_signed_and_a_key_encoded_as_aws_encodes_a_path(s3, rng):
    data = make_data(rng, 300000)
    pack_bytes(s3.object("dir/odd name+(1)!\u00e9~.kob"), data, chunk_size=8192)
    with kob.open("s3://bkt/dir/odd name+(1)!\u00e9~.kob") as f:
        assert f.pread(300, 150000) == data[150000:150300]
    for entry in s3.log():
        assert entry["signed"] and entry["access_key"] == KEY, entry
    assert any(e["path"] == "/bkt/dir/odd%20name%2B%281%29%21%C3%A9~.kob" for e in s3.log())


def test_a_profile_in_the_files_signs_with_its_temporary_key(s3, rng, tmp_path, monkeypatch):
    data = make_data(rng, 50000)
    pack_bytes(s3.object("p.kob"), data, chunk_size=4096)
    for name in ("AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_REGION", "AWS_ENDPOINT_URL"):
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
