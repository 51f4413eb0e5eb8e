#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
#
# The check of tests/s3_server.py, the S3 server the tests of s3:// URLs
# read from: a request signed by AWS's own client (botocore) and one signed
# by curl --aws-sigv4 (as kob's C++ source signs) both pass, and the same
# requests with a wrong secret fail as S3 fails them. Everything else the
# server does is tried by the tests that read from it. Exits 77 (skipped)
# when botocore is missing.

import os
import shutil
import subprocess
import sys
import tempfile

try:
    import botocore.session
    from botocore.config import Config
    from botocore.exceptions import ClientError
except ImportError:
    print("skipped: botocore is missing (apt-get install python3-botocore)")
    sys.exit(77)

KEY, SECRET, REGION = "AKIDKOBTEST", "kob/secret+key", "eu-west-3"
TEMP_KEY, TEMP_SECRET, TOKEN = "ASIAKOBTEST", "temporary-secret", "a-session-token/+="
NAME, ENCODED = "dir/odd name+(1)!\u00e9~.kob", "dir/odd%20name%2B%281%29%21%C3%A9~.kob"


def main():
    root = tempfile.mkdtemp(prefix="s3-server-")
    data = os.urandom(100_000)
    os.makedirs(os.path.join(root, "bkt", "dir"))
    with open(os.path.join(root, "bkt", NAME), "wb") as out:
        out.write(data)
    with open(os.path.join(root, "keys"), "w") as out:
        out.write("%s %s\n%s %s %s\n" % (KEY, SECRET, TEMP_KEY, TEMP_SECRET, TOKEN))
    server = subprocess.Popen(
        [sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)), "s3_server.py"),
         "--root", root, "--region", REGION, "--credentials", os.path.join(root, "keys"),
         "--lifetime", "120"], stdout=subprocess.PIPE, text=True)
    endpoint = "http://127.0.0.1:%d" % int(server.stdout.readline())
    failures = []
    session = botocore.session.get_session()

    def expect(what, got, wanted):
        if got != wanted:
            failures.append("%s: %r, not %r" % (what, got, wanted))

    def botocore_get(key, secret, token=None):
        client = session.create_client(
            "s3", region_name=REGION, endpoint_url=endpoint, aws_access_key_id=key,
            aws_secret_access_key=secret, aws_session_token=token,
            config=Config(s3={"addressing_style": "path"}, retries={"total_max_attempts": 1}))
        try:
            return 206, client.get_object(Bucket="bkt", Key=NAME, Range="bytes=100-199")["Body"].read()
        except ClientError as error:
            return error.response["Error"]["Code"], None

    def curl_get(key, secret, *extra):
        done = subprocess.run(
            ["curl", "-s", "-w", "\n%{http_code}", "--aws-sigv4", "aws:amz:%s:s3" % REGION,
             "--user", "%s:%s" % (key, secret), "-H", "x-amz-content-sha256: UNSIGNED-PAYLOAD",
             "-H", "Range: bytes=100-199", *extra, endpoint + "/bkt/" + ENCODED],
            stdout=subprocess.PIPE, check=True, timeout=60)
        body, _, status = done.stdout.rpartition(b"\n")
        return (206, body) if status == b"206" else (body, status)

    try:
        expect("botocore", botocore_get(KEY, SECRET), (206, data[100:200]))
        expect("botocore, a token", botocore_get(TEMP_KEY, TEMP_SECRET, TOKEN), (206, data[100:200]))
        expect("botocore, a wrong secret", botocore_get(KEY, "wrong"), ("SignatureDoesNotMatch", None))
        if shutil.which("curl"):
            expect("curl", curl_get(KEY, SECRET), (206, data[100:200]))
            expect("curl, a token", curl_get(TEMP_KEY, TEMP_SECRET, "-H", "x-amz-security-token: " + TOKEN),
                   (206, data[100:200]))
            body, status = curl_get(KEY, "wrong")
            expect("curl, a wrong secret", (status, b"<Code>SignatureDoesNotMatch</Code>" in body),
                   (b"403", True))
    finally:
        server.terminate()
        server.wait()
        shutil.rmtree(root)
    for failure in failures:
        print("FAIL:", failure)
    print("ok: the S3 server takes botocore's and curl's signatures, and refuses wrong ones"
          if not failures else "%d checks failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
