# SPDX-License-Identifier: GPL-2.0-or-later
import math
import os
import random
import shutil

import pytest

import kob

# KOB_TEST_SEED repeats a run; KOB_TEST_ROUNDS scales the random tests'
# rounds by a factor (1 when unset), as it does for the C++ tests.
SEED = int(os.environ.get("KOB_TEST_SEED", random.randrange(1 << 30)))
try:
    ROUNDS_FACTOR = max(float(os.environ.get("KOB_TEST_ROUNDS", "1")), 0.0)
except ValueError:
    ROUNDS_FACTOR = 1.0


def rounds(normal):
    """The rounds of a random test whose own default is `normal`, scaled by
    KOB_TEST_ROUNDS; never fewer than one."""
    return max(1, math.ceil(normal * ROUNDS_FACTOR))


ROUNDS = rounds(3)


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: builds the whole module (run by ctest apart)")


def pytest_report_header(config):
    return "kob: KOB_TEST_SEED=%d KOB_TEST_ROUNDS=%g" % (SEED, ROUNDS_FACTOR)


def make_data(rng, size):
    """Lines of words, runs of one byte and stretches of random bytes:
    something that compresses, has lines, and has no line ends for a while."""
    parts = []
    total = 0
    while total < size:
        kind = rng.random()
        if kind < 0.6:
            words = [rng.choice(("kob", "chunk", "lzo", "data", "a", "zebra", ""))
                     for _ in range(rng.randrange(1, 12))]
            part = (" ".join(words) + rng.choice(("\n", "\r\n", "\n\n"))).encode()
        elif kind < 0.8:
            part = bytes([rng.randrange(256)]) * rng.randrange(1, 3000)
        else:
            part = rng.randbytes(rng.randrange(1, 2000))
        parts.append(part)
        total += len(part)
    return b"".join(parts)[:size]


@pytest.fixture
def rng(request):
    return random.Random("%d %s" % (SEED, request.node.nodeid))


@pytest.fixture
def kob_tool():
    tool = os.environ.get("KOB_TOOL") or shutil.which("kob")
    if not tool:
        pytest.skip("the kob tool is not built")
    return tool


def pack_bytes(path, data, chunk_size=kob.DEFAULT_CHUNK_SIZE, threads=1, seal=False):
    """The plain format unless `seal`: the tests of what an index, damage or
    a cut does to a plain file (test_seal.py tries sealed ones)."""
    with kob.open(path, "wb", chunk_size=chunk_size, threads=threads, seal=seal) as out:
        out.write(data)
    return path


class Nginx:
    """Debian's nginx serving the folder `data` on 127.0.0.1, started and
    stopped by the test, as tests/http_server.cpp runs it for the C++ tests."""

    def __init__(self, root, tls=False):
        import socket
        import subprocess
        import time
        self.root = root
        self.scheme = "https" if tls else "http"
        # With tls, a certificate for 127.0.0.1 from an authority made here
        # (self.authority), trusted by nobody.
        self.authority = root / "ca.pem"
        tls_lines = ""
        if tls:
            subprocess.run(
                "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
                "-subj /CN=authority -keyout ca.key -out ca.pem && "
                "openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                "-subj /CN=127.0.0.1 -keyout key.pem -out cert.csr && "
                "printf 'subjectAltName=IP:127.0.0.1\\n' >cert.ext && "
                "openssl x509 -req -in cert.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
                "-days 2 -extfile cert.ext -out cert.pem",
                shell=True, cwd=root, check=True, capture_output=True)
            tls_lines = " ssl;\n    ssl_certificate %s/cert.pem;\n    ssl_certificate_key %s/key.pem" % (root, root)
        self.data = root / "data"
        self.data.mkdir()
        (root / "temp").mkdir()
        for _ in range(3):
            with socket.socket() as probe:
                probe.bind(("127.0.0.1", 0))
                self.port = probe.getsockname()[1]
            conf = root / "nginx.conf"
            conf.write_text(
                ("user root;\n" if os.geteuid() == 0 else "") +
                "daemon off;\nmaster_process on;\nworker_processes 1;\n"
                "pid %(r)s/nginx.pid;\nerror_log %(r)s/error.log;\n"
                "events { worker_connections 64; }\n"
                "http {\n  access_log off;\n"
                "  client_body_temp_path %(r)s/temp/body;\n"
                "  proxy_temp_path %(r)s/temp/proxy;\n"
                "  fastcgi_temp_path %(r)s/temp/fastcgi;\n"
                "  default_type application/octet-stream;\n"
                "  server {\n    listen 127.0.0.1:%(p)d%(t)s;\n    root %(r)s/data;\n  }\n}\n"
                % {"r": root, "p": self.port, "t": tls_lines})
            self.process = subprocess.Popen(
                ["/usr/sbin/nginx", "-p", str(root), "-c", str(conf), "-e",
                 str(root / "error.log")], stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline and self.process.poll() is None:
                try:
                    socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                    return
                except OSError:
                    time.sleep(0.02)
            self.stop()
        raise RuntimeError("nginx did not start")

    def url(self, name):
        return "%s://127.0.0.1:%d/%s" % (self.scheme, self.port, name)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except Exception:
                self.process.kill()
                self.process.wait()


@pytest.fixture
def nginx(tmp_path_factory):
    if not os.access("/usr/sbin/nginx", os.X_OK):
        pytest.skip("nginx is not installed")
    server = Nginx(tmp_path_factory.mktemp("nginx"))
    yield server
    server.stop()


@pytest.fixture
def nginx_tls(tmp_path_factory):
    if not os.access("/usr/sbin/nginx", os.X_OK):
        pytest.skip("nginx is not installed")
    server = Nginx(tmp_path_factory.mktemp("nginx"), tls=True)
    yield server
    server.stop()


class Remote:
    """A server of objects, for what every remote source does: data(NAME)
    is where the object lies, url(NAME) its URL, root a scratch folder."""

    def __init__(self, data, url, root):
        self.data, self.url, self.root = data, url, root


@pytest.fixture(params=["nginx", "s3"])
def remote(request, tmp_path_factory, monkeypatch):
    """nginx, then the S3 server with the environment set to read from it."""
    if request.param == "nginx":
        server = request.getfixturevalue("nginx")
        yield Remote(lambda name: server.data / name, server.url, server.root)
        return
    pytest.importorskip("botocore")
    from s3_fixture import S3Server
    server = S3Server(tmp_path_factory.mktemp("s3") / "root")
    server.environment(monkeypatch)
    monkeypatch.setenv("KOB_HTTP_RETRY_DELAY_MS", "5")
    yield Remote(server.object, lambda name: "s3://bkt/" + name, server.root.parent)
    server.stop()
