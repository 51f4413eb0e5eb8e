# SPDX-License-Identifier: GPL-2.0-or-later
# s3:// for the fsspec file system: the settings as kob's readers take
# them, and objects read and listed on the S3 test server, which checks
# every request's signature.
import errno
import pickle

import pytest

pytest.importorskip("fsspec")
pytest.importorskip("botocore")

import fsspec  # noqa: E402

import kob  # noqa: E402
from kob import _s3  # noqa: E402
from conftest import make_data  # noqa: E402
from s3_fixture import KEY, REGION, SECRET, S3Server, clean_environment, s3  # noqa: E402,F401


def write_settings(tmp_path, credentials, config):
    (tmp_path / "credentials").write_text(credentials)
    (tmp_path / "config").write_text(config)


CREDENTIALS = """[default]
aws_access_key_id = DEFAULTKEY
aws_secret_access_key = default-secret
[work]
aws_access_key_id = WORKKEY
aws_secret_access_key = work-secret
aws_session_token = work-token
"""
CONFIG = """[default]
region = ap-south-1
[profile work]
region = sa-east-1
[work]
region = not-this-one
"""


# kob's reader finds the settings (kob._kob.s3_settings); fsspec's options
# come first, named as s3fs names them. A row expecting a str expects an
# EINVAL whose words hold it.
@pytest.mark.parametrize("environment, options, expected", [
    ({}, {}, dict(key="DEFAULTKEY", secret="default-secret", token=None, region="ap-south-1",
                  endpoint_url="https://s3.ap-south-1.amazonaws.com")),
    ({"AWS_PROFILE": "work"}, {},
     dict(key="WORKKEY", secret="work-secret", token="work-token", region="sa-east-1")),
    ({"AWS_PROFILE": "nobody"}, {}, "AWS_PROFILE names the profile nobody"),
    # The variables before the profile; a token goes with its own key.
    ({"AWS_PROFILE": "work", "AWS_ACCESS_KEY_ID": "ENVKEY", "AWS_SECRET_ACCESS_KEY": "env-secret"},
     {}, dict(key="ENVKEY", secret="env-secret", token=None, region="sa-east-1")),
    ({"AWS_ACCESS_KEY_ID": "ENVKEY", "AWS_SECRET_ACCESS_KEY": "env-secret",
      "AWS_SESSION_TOKEN": "env-token", "AWS_DEFAULT_REGION": "eu-north-1"},
     {}, dict(key="ENVKEY", secret="env-secret", token="env-token", region="eu-north-1")),
    ({"AWS_ACCESS_KEY_ID": "ENVKEY"}, {}, "without AWS_SECRET_ACCESS_KEY"),
    ({"AWS_REGION": "eu-west-1", "AWS_DEFAULT_REGION": "eu-north-1"}, {}, dict(region="eu-west-1")),
    # Options before everything; keys given set the environment's aside.
    ({"AWS_ACCESS_KEY_ID": "ENVKEY", "AWS_SECRET_ACCESS_KEY": "env-secret",
      "AWS_SESSION_TOKEN": "env-token", "AWS_REGION": "eu-west-1"},
     {"key": "OPTKEY", "secret": "opt-secret", "region": "us-west-2"},
     dict(key="OPTKEY", secret="opt-secret", token=None, region="us-west-2")),
    ({}, {"username": "OPTKEY", "password": "opt-secret", "token": "opt-token"},
     dict(key="OPTKEY", secret="opt-secret", token="opt-token")),
    # A profile named reads its own keys, as AWS's --profile.
    ({"AWS_ACCESS_KEY_ID": "ENVKEY", "AWS_SECRET_ACCESS_KEY": "env-secret"}, {"profile": "work"},
     dict(key="WORKKEY", token="work-token", region="sa-east-1")),
    ({"AWS_REGION": "eu-west-1"}, {"client_kwargs": {"region_name": "us-west-1"}},
     dict(region="us-west-1")),
    ({"AWS_ACCESS_KEY_ID": "ENVKEY", "AWS_SECRET_ACCESS_KEY": "env-secret"}, {"anon": True},
     dict(key=None, secret=None, token=None)),
    ({}, {"anon": True, "profile": "work"}, dict(key=None, region="sa-east-1")),
    # Endpoints: S3's own variable before the general one.
    ({"AWS_ENDPOINT_URL": "http://general:1"}, {}, dict(endpoint_url="http://general:1")),
    ({"AWS_ENDPOINT_URL": "http://general:1", "AWS_ENDPOINT_URL_S3": "http://s3:2"}, {},
     dict(endpoint_url="http://s3:2")),
    ({"AWS_ENDPOINT_URL_S3": "http://s3:2"}, {"endpoint_url": "http://given:3/"},
     dict(endpoint_url="http://given:3")),
    ({}, {"client_kwargs": {"endpoint_url": "http://given:4"}}, dict(endpoint_url="http://given:4")),
    # What is given is checked as the environment is, and named.
    ({}, {"endpoint_url": "ftp://x"}, "the endpoint given is not an http or https URL"),
    ({}, {"region": "eu west"}, "the region given is not the name of a region"),
    ({}, {"key": "K", "secret": "S", "token": "t\r\nX-Evil: 1"},
     "the session token given holds a control character"),
    ({}, {"key": "K"}, "an access key is given with its secret key"),
    ({}, {"token": "T"}, "an access key is given with its secret key"),
])
def test_settings_are_taken_as_kob_takes_them(tmp_path, monkeypatch, environment, options,
                                               expected):
    clean_environment(monkeypatch)
    write_settings(tmp_path, CREDENTIALS, CONFIG)
    monkeypatch.setenv("AWS_SHARED_CREDENTIALS_FILE", str(tmp_path / "credentials"))
    monkeypatch.setenv("AWS_CONFIG_FILE", str(tmp_path / "config"))
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    if isinstance(expected, str):
        with pytest.raises(OSError) as raised:
            _s3.settings(options)
        assert raised.value.errno == errno.EINVAL and expected in str(raised.value)
        assert "secret" not in str(raised.value).replace("secret key", "")
        return
    chosen = _s3.settings(options)
    assert {name: chosen[name] for name in expected} == expected


def test_options_kob_cannot_honour_are_refused(s3):
    for options in ({"requester_pays": True}, {"client_kwargs": {"verify": False}},
                    {"config_kwargs": {}}):
        with pytest.raises(ValueError):
            _s3.library_options(options)
        with pytest.raises(ValueError):
            fsspec.open("kob::s3://bucket/d.kob", s3=options).open()
    for options in ({"nope": "x"}, {"key": 5}, {"anon": "yes"}, ["key"]):
        with pytest.raises(TypeError):
            kob.open("s3://bucket/d.kob", s3=options)
    # A reader pickles with its S3 settings.
    s3.put("bucket/d.kob", kob.compress(b"data"))
    assert pickle.loads(pickle.dumps(kob.open("s3://bucket/d.kob", s3=s3.options()))).read() \
        == b"data"
    # fsspec's own, about its caches and blocks, have nothing to do here.
    assert _s3.library_options({"block_size": 5, "use_listings_cache": False,
                                **s3.options()}) == {
        "key": KEY, "secret": SECRET, "region": REGION, "endpoint_url": s3.endpoint}


def test_unreadable_settings_are_an_error(tmp_path, monkeypatch):
    clean_environment(monkeypatch)
    (tmp_path / "credentials").write_text("#" * (1 << 20) + "\n")
    monkeypatch.setenv("AWS_SHARED_CREDENTIALS_FILE", str(tmp_path / "credentials"))
    with pytest.raises(OSError) as raised:
        _s3.settings()
    assert raised.value.errno == errno.EINVAL and "over 1 MiB" in str(raised.value)
    # The home folder's files when no variable names others.
    clean_environment(monkeypatch)
    monkeypatch.delenv("AWS_SHARED_CREDENTIALS_FILE")
    monkeypatch.delenv("AWS_CONFIG_FILE")
    monkeypatch.setenv("HOME", str(tmp_path))
    (tmp_path / ".aws").mkdir()
    write_settings(tmp_path / ".aws", CREDENTIALS, CONFIG)
    assert _s3.settings()["key"] == "DEFAULTKEY"


def test_the_server_answers_are_errors_kob_gives(s3, monkeypatch, rng):
    s3.environment(monkeypatch)
    s3.put("bucket/d.kob", kob.compress(make_data(rng, 10000)))
    fs = fsspec.filesystem("kob", target_protocol="s3")
    with pytest.raises(FileNotFoundError):
        fs.open("bucket/none.kob")
    with pytest.raises(FileNotFoundError):
        fs.open("nobucket/d.kob")
    assert not fs.exists("bucket/none.kob")
    monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", "not-the-secret")
    with pytest.raises(PermissionError):
        fs.open("bucket/d.kob")
    monkeypatch.delenv("AWS_ACCESS_KEY_ID")
    monkeypatch.delenv("AWS_SECRET_ACCESS_KEY")
    with pytest.raises(PermissionError):  # unsigned, and the bucket is not public
        fs.open("bucket/d.kob")
    monkeypatch.setenv("AWS_ENDPOINT_URL", "http://127.0.0.1:1")
    with pytest.raises(ConnectionRefusedError):
        fs.open("bucket/d.kob")


def test_public_buckets_read_unsigned_and_slow_downs_are_waited_out(tmp_path, monkeypatch, rng):
    server = S3Server(tmp_path / "root", "--public", "open", "--slowdown", "2")
    try:
        clean_environment(monkeypatch)
        monkeypatch.setenv("AWS_ENDPOINT_URL", server.endpoint)
        data = make_data(rng, 50000)
        server.put("open/d.kob", kob.compress(data))
        with fsspec.open("kob::s3://open/d.kob").open() as f:
            assert f.read() == data
        log = server.log()
        assert [e["status"] for e in log[:2]] == [503, 503]
        assert not any(e["signed"] for e in log)
    finally:
        server.stop()


@pytest.mark.parametrize("given", ["environment", "storage options"])
def test_reads_ask_for_ranges_and_a_replaced_object_is_stale(s3, monkeypatch, rng, given):
    """Read by kob's own S3 reader, the settings from the environment or
    from fsspec's storage options alike."""
    if given == "environment":
        s3.environment(monkeypatch)
        options = {"s3": {"block_size": 65536}}
    else:
        clean_environment(monkeypatch)
        options = {"s3": dict(s3.options(), block_size=65536)}
    first, second = make_data(rng, 600000), make_data(rng, 600000)
    packed = kob.compress(first, chunk_size=4096)
    s3.put("bucket/r.kob", packed)
    with fsspec.open("kob::s3://bucket/r.kob", **options).open() as f:
        assert f.read(1000) == first[:1000]
        s3.put("bucket/r.kob", kob.compress(second, chunk_size=4096))
        # A chunk neither the head nor the tail (the seal) brought.
        with pytest.raises(OSError) as raised:
            f.seek(250000)
            f.read(1000)
        assert raised.value.errno == errno.ESTALE
    with fsspec.open("kob::s3://bucket/r.kob", **options).open() as f:
        assert f.read() == second
    reads = [e for e in s3.log() if e["method"] == "GET" and e["key"] == "r.kob"]
    assert reads and all(e["range"] and e["signed"] for e in reads)
    assert {e["status"] for e in reads} <= {206, 412}


def test_listings_follow_every_page(s3, monkeypatch):
    s3.environment(monkeypatch)
    names = ["many/%04d.kob" % i for i in range(1001)]
    for name in names:
        s3.put("bucket/" + name, b"")
    s3.put("bucket/many/sub/x.kob", b"")
    fs = fsspec.filesystem("kob", target_protocol="s3")
    assert fs.glob("bucket/many/*.kob") == ["bucket/" + n for n in names]
    listed = fs.ls("bucket/many", detail=False)
    assert len(listed) == 1002 and "bucket/many/sub" in listed
    assert fs.ls("", detail=False) == ["bucket"]
    assert fs.info("bucket")["type"] == "directory"
    assert fs.info("bucket/many/sub")["type"] == "directory"
    with pytest.raises(FileNotFoundError):
        fs.info("bucket/none")
    pages = [e for e in s3.log() if e["query"] and ["list-type", "2"] in e["query"]]
    assert any(name == "continuation-token" for e in pages for name, _ in e["query"])
