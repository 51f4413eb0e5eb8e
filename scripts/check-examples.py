#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Runs the examples of one page of kob's documentation (README.md or a
page of doc/) as a reader pastes them: every block, top to bottom, into
one shell, in a home of its own where ~/kob is kob's source with its build
in ~/kob/build, and nothing of kob on PATH until the page puts it there.

A block's fence says what it is (the words after ```):
  sh                 commands; the block ends with status 0 (run with -e)
  sh status=N        commands; the block ends with status N
  python             Python, given to python3 on its standard input
  cpp file=NAME      saved as NAME in the current folder, for a later block
                     (so is a block of any language with file=NAME)
  sh remote, python remote
                     against servers on 127.0.0.1: https://example.org/ is
                     nginx over TLS, its certificate from an authority made
                     here (CURL_CA_BUNDLE names it; copied to ./ca.pem, as
                     a reader keeps theirs), serving the current folder;
                     s3://my-bucket/ is the S3 test server's bucket of the
                     current folder (AWS_ENDPOINT_URL_S3 and a key set).
                     Where nginx, openssl or botocore is missing, each such
                     block is named as skipped and the test ends with 77.
  sh elsewhere=WHY   not run here (building packages, installing as root):
                     named, with why
  anything else      shown only (output, fragments, CMake)

Usage: check-examples.py SOURCE_DIR BUILD_DIR PAGE
(the tests DocExamples.* run it on every page, against their build)
Exit status: 0 all ran, 1 a block failed, 77 remote blocks were skipped.
"""
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

FENCE = re.compile(r"^```(\S*)(.*)$")
SKIPPED = 77


class Block:
    def __init__(self, line, language, words, text):
        self.line = line
        self.language = language
        self.text = text
        self.remote = "remote" in words.split()
        status = re.search(r"\bstatus=(\d+)", words)
        self.status = int(status.group(1)) if status else 0
        named = re.search(r"\bfile=(\S+)", words)
        self.file = named.group(1) if named else None
        elsewhere = re.search(r"\belsewhere=(.*)$", words)
        self.elsewhere = elsewhere.group(1).strip('" ') if elsewhere else None

    def runs(self):
        return self.elsewhere is None and (
            self.language in ("sh", "python") or self.file is not None)


def blocks_of(page):
    found = []
    lines = open(page, encoding="utf-8").read().split("\n")
    at = 0
    while at < len(lines):
        opening = FENCE.match(lines[at])
        if not opening or not opening.group(1):
            at += 1
            continue
        end = at + 1
        while end < len(lines) and lines[end] != "```":
            end += 1
        if end == len(lines):
            sys.exit("%s:%d: a block that is never closed" % (page, at + 1))
        found.append(Block(at + 1, opening.group(1), opening.group(2),
                           "\n".join(lines[at + 1:end]) + "\n"))
        at = end + 1
    return found


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(port, process):
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and process.poll() is None:
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


class Servers:
    """nginx over TLS and the S3 test server, each serving the folder that
    the link `served` points to."""

    def __init__(self, scratch, source):
        self.processes = []
        self.why = None
        self.served = os.path.join(scratch, "served")
        root = os.path.join(scratch, "servers")
        os.makedirs(os.path.join(root, "temp"))
        os.makedirs(os.path.join(root, "s3"))
        os.symlink(self.served, os.path.join(root, "s3", "my-bucket"))
        self.authority = os.path.join(root, "ca.pem")
        if not os.access("/usr/sbin/nginx", os.X_OK) or shutil.which("openssl") is None:
            self.why = "nginx or openssl is not installed"
            return
        try:
            import botocore  # noqa: F401  (the S3 test server checks signatures with it)
        except ImportError:
            self.why = "python3-botocore is not installed"
            return
        subprocess.run(
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
            "-subj /CN=authority -keyout ca.key -out ca.pem && "
            "openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
            "-subj /CN=127.0.0.1 -keyout key.pem -out cert.csr && "
            "printf 'subjectAltName=IP:127.0.0.1\\n' >cert.ext && "
            "openssl x509 -req -in cert.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
            "-days 2 -extfile cert.ext -out cert.pem",
            shell=True, cwd=root, check=True, capture_output=True)
        self.https = free_port()
        with open(os.path.join(root, "nginx.conf"), "w") as conf:
            conf.write(
                ("user root;\n" if os.geteuid() == 0 else "") +
                "daemon off;\nmaster_process on;\nworker_processes 1;\n"
                "pid {r}/nginx.pid;\nerror_log {r}/error.log;\n"
                "events {{ worker_connections 64; }}\n"
                "http {{\n  access_log off;\n"
                "  client_body_temp_path {r}/temp/body;\n  proxy_temp_path {r}/temp/proxy;\n"
                "  fastcgi_temp_path {r}/temp/fastcgi;\n"
                "  default_type application/octet-stream;\n"
                "  server {{\n    listen 127.0.0.1:{p} ssl;\n"
                "    ssl_certificate {r}/cert.pem;\n    ssl_certificate_key {r}/key.pem;\n"
                "    root {s};\n  }}\n}}\n".format(r=root, p=self.https, s=self.served))
        self.start(["/usr/sbin/nginx", "-p", root, "-c", root + "/nginx.conf",
                    "-e", root + "/error.log"], self.https)
        self.s3 = free_port()
        self.start(["/usr/bin/python3", os.path.join(source, "tests", "s3_server.py"),
                    "--root", os.path.join(root, "s3"), "--port", str(self.s3),
                    "--access-key", "EXAMPLEKEY", "--secret-key", "example/secret"], self.s3)

    def start(self, command, port):
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(process)
        if not wait_for(port, process):
            raise RuntimeError("%s did not start" % command[0])

    def environment(self):
        # aiohttp (fsspec's https://, which pandas takes) reads SSL_CERT_FILE.
        return {"CURL_CA_BUNDLE": self.authority, "SSL_CERT_FILE": self.authority,
                "AWS_ENDPOINT_URL_S3": "http://127.0.0.1:%d" % self.s3,
                "AWS_ACCESS_KEY_ID": "EXAMPLEKEY", "AWS_SECRET_ACCESS_KEY": "example/secret",
                "AWS_REGION": "us-east-1"}

    def rewritten(self, text):
        here = "127.0.0.1:%d/" % self.https
        return text.replace("https://example.org/", "https://" + here).replace(
            "kob://example.org/", "kob://" + here)

    def stop(self):
        for process in self.processes:
            process.terminate()
            process.wait(10)


def script_of(page, blocks, servers):
    """The page as one shell script; `skipped` the blocks it leaves out."""
    parts = ["set -e"]
    skipped = []
    for block in blocks:
        where = "%s:%d" % (os.path.basename(page), block.line)
        if block.elsewhere is not None:
            print("not run: %s: %s" % (where, block.elsewhere))
            continue
        if not block.runs():
            continue
        if block.remote and (servers is None or servers.why):
            skipped.append(where)
            continue
        text = block.text
        parts.append("printf '\\n>>> %s\\n' >&2" % where)
        if block.remote:
            text = servers.rewritten(text)
            parts.append('ln -sfn "$PWD" %s && cp %s ca.pem' % (servers.served, servers.authority))
        if block.file is not None:
            text = "cat >%s <<'KOB_DOC_FILE'\n%sKOB_DOC_FILE\n" % (block.file, text)
        elif block.language == "python":
            text = "python3 - <<'KOB_DOC_PYTHON'\n%sKOB_DOC_PYTHON\n" % text
        if block.status == 0:
            parts.append(text)
        else:
            parts.append("set +e\n%s\nkob_doc_status=$?\nset -e\n"
                         "[ $kob_doc_status -eq %d ] || { echo \"!!! %s ended with status "
                         "$kob_doc_status, not %d\" >&2; exit 1; }"
                         % (text.rstrip("\n"), block.status, where, block.status))
    return "\n".join(parts) + "\n", skipped


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    source, build, page = (os.path.abspath(a) for a in sys.argv[1:])
    blocks = blocks_of(page)
    scratch = tempfile.mkdtemp(prefix="kob-doc.")
    servers = None
    try:
        home = os.path.join(scratch, "home")
        os.makedirs(os.path.join(home, "kob"))
        os.makedirs(os.path.join(scratch, "tmp"))
        # ~/kob: the source, its build where the page expects it.
        for name in os.listdir(source):
            if not name.startswith("build") and not name.startswith("."):
                os.symlink(os.path.join(source, name), os.path.join(home, "kob", name))
        os.symlink(build, os.path.join(home, "kob", "build"))
        if any(block.remote and block.runs() for block in blocks):
            servers = Servers(scratch, source)
        script, skipped = script_of(page, blocks, servers)
        environment = {"HOME": home, "TMPDIR": os.path.join(scratch, "tmp"),
                       "PATH": "/usr/local/bin:/usr/bin:/bin", "LANG": "C.UTF-8",
                       "USER": os.environ.get("USER", "kob")}
        if servers is not None and not servers.why:
            environment.update(servers.environment())
        ran = subprocess.run(["bash", "-c", script], cwd=home, env=environment,
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, timeout=600)
        output = ran.stdout.decode(errors="replace")
        if ran.returncode != 0:
            print("\n".join(output.split("\n")[-80:]))
            print("FAIL: %s: the block above ended with status %d" %
                  (os.path.basename(page), ran.returncode))
            return 1
        count = sum(1 for block in blocks if block.runs()) - len(skipped)
        print("ok: %s: %d blocks ran" % (os.path.basename(page), count))
        for where in skipped:
            print("skipped: %s: a block that needs servers (%s)" %
                  (where, servers.why if servers else "none started"))
        return SKIPPED if skipped else 0
    finally:
        if servers is not None:
            servers.stop()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
