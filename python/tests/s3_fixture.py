# SPDX-License-Identifier: GPL-2.0-or-later
"""The S3 test server (tests/s3_server.py) on 127.0.0.1 for the Python
tests: started on a free port by the test, stopped after it, every request
signed as botocore signs and logged as a JSON line."""

import json
import os
import pathlib
import subprocess
import sys
import time

import pytest

SERVER = pathlib.Path(__file__).resolve().parents[2] / "tests" / "s3_server.py"
KEY, SECRET, REGION = "AKIDKOBFSSPEC", "kob/fsspec+secret", "eu-west-3"


class S3Server:
    def __init__(self, root, *options):
        self.root = pathlib.Path(root)
        self.root.mkdir(parents=True, exist_ok=True)
        self.log_path = self.root.parent / (self.root.name + ".log")
        self.process = subprocess.Popen(
            [sys.executable, str(SERVER), "--root", str(self.root), "--port", "0",
             "--log", str(self.log_path), "--region", REGION, "--access-key", KEY,
             "--secret-key", SECRET, "--lifetime", "900", *options],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline().strip()
        if not line.isdigit():
            self.stop()
            raise RuntimeError("the S3 server did not start: %r" % line)
        self.port = int(line)
        self.endpoint = "http://127.0.0.1:%d" % self.port

    def put(self, name, data):
        path = self.root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        temporary = path.with_name(path.name + ".part")
        temporary.write_bytes(data)
        os.replace(temporary, path)  # whole, for any request under way
        return path

    def object(self, key, bucket="bkt"):
        """Where the object `key` of `bucket` lies (its folders made)."""
        path = self.root / bucket / key
        path.parent.mkdir(parents=True, exist_ok=True)
        return path

    def options(self):
        """The target options of an S3 file system for this server."""
        return {"key": KEY, "secret": SECRET, "region": REGION, "endpoint_url": self.endpoint}

    def environment(self, monkeypatch):
        """Points the environment at this server, and nothing of the machine's."""
        clean_environment(monkeypatch)
        for name, value in (("AWS_ACCESS_KEY_ID", KEY), ("AWS_SECRET_ACCESS_KEY", SECRET),
                            ("AWS_REGION", REGION), ("AWS_ENDPOINT_URL", self.endpoint)):
            monkeypatch.setenv(name, value)

    def log(self, count=0):
        """The requests logged, waiting until there are `count` of them and
        their number has settled (an entry is written once its answer has
        gone)."""
        deadline = time.monotonic() + 5
        entries, same = [], 0
        while True:
            now = []
            if self.log_path.exists():
                with open(self.log_path) as lines:
                    now = [json.loads(line) for line in lines if line.endswith("\n")]
            same = same + 1 if len(now) == len(entries) else 0
            entries = now
            if (len(entries) >= count and same >= 3) or time.monotonic() > deadline:
                return entries
            time.sleep(0.01)

    def clear_log(self):
        if self.log_path.exists():
            self.log_path.write_text("")

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()


def clean_environment(monkeypatch):
    """No AWS setting of the machine's reaches the code under test."""
    for name in list(os.environ):
        if name.startswith("AWS_"):
            monkeypatch.delenv(name)
    monkeypatch.setenv("AWS_CONFIG_FILE", "/nonexistent/config")
    monkeypatch.setenv("AWS_SHARED_CREDENTIALS_FILE", "/nonexistent/credentials")
    monkeypatch.setenv("AWS_EC2_METADATA_DISABLED", "true")


@pytest.fixture
def s3(tmp_path_factory):
    pytest.importorskip("botocore")
    server = S3Server(tmp_path_factory.mktemp("s3") / "root")
    yield server
    server.stop()
