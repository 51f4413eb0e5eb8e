#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
#
# The tests of tests/s3_server.py, the S3 server the tests of s3:// URLs
# read from: AWS's own client (botocore) and curl --aws-sigv4, as kob's
# C++ source signs, must both be served, and both be refused as S3 would
# refuse them. Exits 77 (skipped) when botocore is missing.
#
#   usage: test_s3_server.py [unittest options]

import base64
import datetime
import email.utils
import hashlib
import http.client
import json
import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from unittest import mock

try:
    import botocore.auth
    import botocore.awsrequest
    import botocore.credentials
    import botocore.session
    from botocore import UNSIGNED
    from botocore.config import Config
    from botocore.exceptions import ClientError
except ImportError:
    print("skipped: botocore is missing (apt-get install python3-botocore)")
    sys.exit(77)

SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "s3_server.py")
KEY, SECRET = "AKIDKOBTEST", "kob/secret+key"
TEMP_KEY, TEMP_SECRET, TOKEN = "ASIAKOBTEST", "temporary-secret", "a-session-token/+="
REGION = "eu-west-3"
# No AWS settings of the machine's may reach the clients.
for name in list(os.environ):
    if name.startswith("AWS_"):
        del os.environ[name]
os.environ["AWS_CONFIG_FILE"] = os.environ["AWS_SHARED_CREDENTIALS_FILE"] = "/nonexistent"
os.environ["AWS_EC2_METADATA_DISABLED"] = "true"


class Server:
    """s3_server.py on a free port, serving a scratch folder."""

    def __init__(self, root, *options):
        self.root = root
        self.scratch = tempfile.mkdtemp(prefix="s3-server-")
        self.log_path = os.path.join(self.scratch, "log")
        credentials = os.path.join(self.scratch, "credentials")
        with open(credentials, "w") as out:
            out.write("# key secret [token]\n%s %s\n%s %s %s\n" % (KEY, SECRET, TEMP_KEY, TEMP_SECRET, TOKEN))
        port_file = os.path.join(self.scratch, "port")
        self.process = subprocess.Popen(
            [sys.executable, SERVER, "--root", root, "--port", "0", "--port-file", port_file,
             "--log", self.log_path, "--region", REGION, "--credentials", credentials,
             "--public", "open", "--lifetime", "600", *options],
            stdout=subprocess.PIPE, text=True)
        printed = self.process.stdout.readline().strip()
        with open(port_file) as given:
            self.port = int(given.read())
        assert int(printed) == self.port, (printed, self.port)
        self.endpoint = "http://127.0.0.1:%d" % self.port

    def stop(self):
        self.process.terminate()
        self.process.wait()
        self.process.stdout.close()
        shutil.rmtree(self.scratch)

    def log(self, count=None, key=None):
        """The log's entries (of `key` if given); waits for `count` of them,
        since a request is logged once its answer has gone."""
        for _ in range(200):
            with open(self.log_path) as lines:
                entries = [json.loads(line) for line in lines]
            entries = [e for e in entries if key is None or e["key"] == key]
            if count is None or len(entries) >= count:
                return entries
            time.sleep(0.01)
        raise AssertionError("%d entries logged, not %d" % (len(entries), count))

    def client(self, key=KEY, secret=SECRET, token=None, region=REGION, **config):
        session = botocore.session.get_session()
        options = {"s3": {"addressing_style": "path"}, "retries": {"total_max_attempts": 1}}
        options.update(config)
        return session.create_client(
            "s3", region_name=region, endpoint_url=self.endpoint, aws_access_key_id=key,
            aws_secret_access_key=secret, aws_session_token=token, config=Config(**options))


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)


def http_date(when):
    return email.utils.format_datetime(when.astimezone(datetime.timezone.utc), usegmt=True)


def code_of(call):
    try:
        call()
    except ClientError as error:
        return error.response["Error"]["Code"], error.response["ResponseMetadata"]["HTTPStatusCode"]
    raise AssertionError("no error")


class S3ServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="s3-root-")
        cls.data = random.Random(7).randbytes(100_000)
        write(os.path.join(cls.root, "bkt/dir/sub/data.kob"), cls.data)
        write(os.path.join(cls.root, "bkt/empty"), b"")
        write(os.path.join(cls.root, "open/public.kob"), b"public bytes")
        write(os.path.join(cls.root, "outside"), b"not an object")
        cls.server = Server(cls.root)
        cls.s3 = cls.server.client()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.root)

    def get(self, key, bucket="bkt", **kwargs):
        answer = self.s3.get_object(Bucket=bucket, Key=key, **kwargs)
        return answer, answer["Body"].read()

    def test_ranges_answer_the_bytes_asked_for(self):
        size = len(self.data)
        table = [("bytes=0-0", 0, 0), ("bytes=10-99", 10, 99), ("bytes=99990-", 99990, size - 1),
                 ("bytes=-5", size - 5, size - 1), ("bytes=-200000", 0, size - 1),
                 ("bytes=99000-200000", 99000, size - 1), ("bytes=%d-" % (size - 1), size - 1, size - 1)]
        for wanted, first, last in table:
            answer, body = self.get("dir/sub/data.kob", Range=wanted)
            self.assertEqual(answer["ResponseMetadata"]["HTTPStatusCode"], 206, wanted)
            self.assertEqual(body, self.data[first:last + 1], wanted)
            self.assertEqual(answer["ContentRange"], "bytes %d-%d/%d" % (first, last, size), wanted)
        generator = random.Random(5)
        for _ in range(30):
            first, last = sorted(generator.randrange(size + 50) for _ in range(2))
            form = generator.choice(["%d-%d", "%d-", "-%d"])
            wanted = "bytes=" + (form % (first, last) if form == "%d-%d" else form % (first or 1))
            expected = (self.data[first:last + 1] if form == "%d-%d" else
                        self.data[first:] if form == "%d-" else self.data[-(first or 1):])
            try:
                answer, body = self.get("dir/sub/data.kob", Range=wanted)
            except ClientError as error:
                self.assertEqual((error.response["Error"]["Code"], form != "-%d" and first >= size),
                                 ("InvalidRange", True), wanted)
                continue
            self.assertEqual(body, expected, wanted)
        # Ranges that cannot be read are ignored, as S3 ignores them.
        for wanted in ("bytes=5-2", "bytes=0-1,5-6", "items=0-3", "bytes=-"):
            answer, body = self.get("dir/sub/data.kob", Range=wanted)
            self.assertEqual((answer["ResponseMetadata"]["HTTPStatusCode"], body), (200, self.data), wanted)
        for key, wanted, length in (("dir/sub/data.kob", "bytes=%d-" % size, size),
                                    ("dir/sub/data.kob", "bytes=-0", size), ("empty", "bytes=0-", 0)):
            with self.assertRaises(ClientError) as caught:
                self.get(key, Range=wanted)
            response = caught.exception.response
            self.assertEqual((response["Error"]["Code"], response["ResponseMetadata"]["HTTPStatusCode"]),
                             ("InvalidRange", 416), wanted)
            self.assertEqual(response["ResponseMetadata"]["HTTPHeaders"]["content-range"], "bytes */%d" % length)
        answer, body = self.get("empty")
        self.assertEqual((body, answer["ContentLength"]), (b"", 0))

    def test_head_and_conditions(self):
        head = self.s3.head_object(Bucket="bkt", Key="dir/sub/data.kob")
        etag = '"%s"' % hashlib.md5(self.data).hexdigest()
        self.assertEqual((head["ETag"], head["ContentLength"]), (etag, len(self.data)))
        modified = head["LastModified"]
        self.assertEqual(int(modified.timestamp()),
                         int(os.stat(os.path.join(self.root, "bkt/dir/sub/data.kob")).st_mtime))
        before, after = modified - datetime.timedelta(seconds=1), modified + datetime.timedelta(seconds=1)
        passes = [{"IfMatch": etag}, {"IfMatch": '"x", %s' % etag}, {"IfMatch": "*"},
                  {"IfNoneMatch": '"other"'}, {"IfUnmodifiedSince": modified},
                  {"IfModifiedSince": before}, {"IfMatch": etag, "IfUnmodifiedSince": before}]
        for conditions in passes:
            self.assertEqual(self.get("dir/sub/data.kob", **conditions)[1], self.data, conditions)
        fails = [({"IfMatch": '"0123"'}, "PreconditionFailed", 412),
                 ({"IfUnmodifiedSince": before}, "PreconditionFailed", 412),
                 ({"IfNoneMatch": etag}, "304", 304), ({"IfModifiedSince": after}, "304", 304),
                 ({"IfNoneMatch": etag, "IfModifiedSince": before}, "304", 304)]
        for conditions, code, status in fails:
            self.assertEqual(code_of(lambda: self.get("dir/sub/data.kob", **conditions)), (code, status), conditions)
            self.assertEqual(code_of(lambda: self.s3.head_object(Bucket="bkt", Key="dir/sub/data.kob", **conditions))[1],
                             status, conditions)
        # If-Range: the range while the ETag holds, the whole object once not.
        for if_range, expected in ((etag, self.data[:10]), ('"old"', self.data),
                                   (http_date(modified), self.data[:10]), (http_date(before), self.data)):
            answer, body = self.raw_get("/bkt/dir/sub/data.kob", {"Range": "bytes=0-9", "If-Range": if_range})
            self.assertEqual(body, expected, if_range)

    def raw_get(self, path, headers):
        request = botocore.awsrequest.AWSRequest("GET", self.server.endpoint + path, headers=dict(headers))
        botocore.auth.S3SigV4Auth(botocore.credentials.Credentials(KEY, SECRET), "s3", REGION).add_auth(request)
        connection = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=30)
        connection.request("GET", path, headers=dict(request.headers))
        answer = connection.getresponse()
        body = answer.read()
        connection.close()
        return answer, body

    def test_etag_follows_a_rewritten_file(self):
        path = os.path.join(self.root, "bkt/changing")
        tags = set()
        # Rewritten in place, the same size: at once, and once the file has
        # settled and the server has kept its ETag.
        for round_ in range(4):
            content = bytes([round_]) * 4096
            write(path, content)
            if round_ == 2:
                time.sleep(0.3)
                self.s3.head_object(Bucket="bkt", Key="changing")
            head = self.s3.head_object(Bucket="bkt", Key="changing")
            answer, body = self.get("changing", IfMatch=head["ETag"])
            self.assertEqual((body, answer["ETag"]), (content, head["ETag"]))
            self.assertEqual(head["ETag"], '"%s"' % hashlib.md5(content).hexdigest())
            tags.add(head["ETag"])
        self.assertEqual(len(tags), 4)
        # Rewritten again at once: where the kernel stamps files' times by a
        # coarse clock (a jiffy), the times do not tell the versions apart.
        for round_ in range(30):
            write(path, b"A%03d" % round_)
            first = self.s3.head_object(Bucket="bkt", Key="changing")["ETag"]
            write(path, b"B%03d" % round_)
            self.assertNotEqual(self.s3.head_object(Bucket="bkt", Key="changing")["ETag"], first, round_)
        # A file renamed into place while an old one is open.
        write(path + ".new", b"new")
        os.replace(path + ".new", path)
        self.assertEqual(self.get("changing")[1], b"new")
        self.assertEqual(code_of(lambda: self.get("changing", IfMatch=head["ETag"])), ("PreconditionFailed", 412))

    def test_missing_things_and_paths_out_of_the_root(self):
        cases = [("bkt", "nothing"), ("bkt", "dir"), ("bkt", "dir/"), ("bkt", "dir/sub/"),
                 ("bkt", "dir//sub/data.kob"), ("bkt", "dir/./sub/data.kob"), ("bkt", "../outside"),
                 ("bkt", "dir/../../outside"), ("bkt", "empty/below")]
        for bucket, key in cases:
            self.assertEqual(code_of(lambda: self.get(key, bucket=bucket)), ("NoSuchKey", 404), key)
            self.assertEqual(code_of(lambda: self.s3.head_object(Bucket=bucket, Key=key))[1], 404, key)
        self.assertEqual(code_of(lambda: self.get("x", bucket="nobucket")), ("NoSuchBucket", 404))
        self.assertEqual(code_of(lambda: self.get("x", bucket="outside")), ("NoSuchBucket", 404))
        self.assertEqual(code_of(lambda: self.s3.list_objects_v2(Bucket="nobucket")), ("NoSuchBucket", 404))
        self.assertEqual(code_of(lambda: self.s3.head_bucket(Bucket="nobucket"))[1], 404)
        # Percent-encoded dots and slashes reach no file outside the root.
        for path in ("/open/..%2Foutside", "/open/%2E%2E/outside", "/%2E%2E/outside", "/open%2F..%2Foutside",
                     "/open/x/..%2F..%2Foutside", "/open/%00", "/..", "/open/.%2E/outside"):
            connection = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=30)
            connection.request("GET", path)
            answer = connection.getresponse()
            body = answer.read()
            connection.close()
            self.assertIn(answer.status, (400, 404), path)
            self.assertNotIn(b"not an object", body)

    def test_bucket_answers(self):
        self.assertEqual(self.s3.head_bucket(Bucket="bkt")["ResponseMetadata"]["HTTPHeaders"]["x-amz-bucket-region"],
                         REGION)
        self.assertEqual(self.s3.get_bucket_location(Bucket="bkt")["LocationConstraint"], REGION)
        self.assertEqual([b["Name"] for b in self.s3.list_buckets()["Buckets"]], ["bkt", "open"])
        self.assertEqual(code_of(lambda: self.s3.put_object(Bucket="bkt", Key="new", Body=b"x")),
                         ("MethodNotAllowed", 405))
        self.assertFalse(os.path.exists(os.path.join(self.root, "bkt/new")))
        self.assertEqual(code_of(lambda: self.s3.list_objects_v2(Bucket="bkt", MaxKeys=-1))[0], "InvalidArgument")

    def test_credentials_and_signatures(self):
        server = self.server
        good = server.client(TEMP_KEY, TEMP_SECRET, TOKEN)
        self.assertEqual(good.get_object(Bucket="bkt", Key="empty")["Body"].read(), b"")
        refusals = [
            (server.client(secret="wrong"), ("SignatureDoesNotMatch", 403)),
            (server.client(key="AKIDUNKNOWN"), ("InvalidAccessKeyId", 403)),
            (server.client(TEMP_KEY, TEMP_SECRET), ("InvalidAccessKeyId", 403)),
            (server.client(TEMP_KEY, TEMP_SECRET, "wrong-token"), ("InvalidToken", 400)),
            (server.client(token=TOKEN), ("InvalidToken", 400)),
            (server.client(signature_version=UNSIGNED), ("AccessDenied", 403)),
        ]
        for client, expected in refusals:
            self.assertEqual(code_of(lambda: client.get_object(Bucket="bkt", Key="empty")), expected, expected)
        # botocore moves to the region the error names, as it does with S3.
        self.assertEqual(code_of(lambda: server.client(region="us-east-1").head_object(
            Bucket="bkt", Key="region-check"))[1], 404)
        self.assertEqual([(e["status"], e["code"]) for e in server.log(2, key="region-check")],
                         [(400, "AuthorizationHeaderMalformed"), (404, "NoSuchKey")])
        with self.assertRaises(ClientError) as caught:
            server.client(secret="wrong").get_object(Bucket="bkt", Key="dir/sub/data.kob")
        canonical = caught.exception.response["Error"]["CanonicalRequest"]
        self.assertTrue(canonical.startswith("GET\n/bkt/dir/sub/data.kob\n"), canonical)
        public = server.client(signature_version=UNSIGNED)
        self.assertEqual(public.get_object(Bucket="open", Key="public.kob")["Body"].read(), b"public bytes")
        self.assertEqual([o["Key"] for o in public.list_objects_v2(Bucket="open")["Contents"]], ["public.kob"])
        # Signed requests to a public bucket are checked all the same.
        self.assertEqual(code_of(lambda: server.client(secret="wrong").get_object(Bucket="open", Key="public.kob")),
                         ("SignatureDoesNotMatch", 403))
        # A request signed at another time than now.
        for minutes, expected in ((14, None), (16, "RequestTimeTooSkewed"), (-16, "RequestTimeTooSkewed")):
            shifted = datetime.datetime.utcnow() + datetime.timedelta(minutes=minutes)
            fake = mock.Mock(wraps=datetime.datetime)
            fake.utcnow.return_value = shifted
            with mock.patch.object(botocore.auth.datetime, "datetime", fake):
                if expected is None:
                    self.s3.head_object(Bucket="bkt", Key="empty")
                else:
                    self.assertEqual(code_of(lambda: self.s3.get_object(Bucket="bkt", Key="empty")),
                                     (expected, 403), minutes)
        # Signed requests with a header added after signing, or one dropped.
        class WithoutHost(botocore.auth.S3SigV4Auth):
            def headers_to_sign(self, request):
                chosen = super().headers_to_sign(request)
                del chosen["host"]
                return chosen
        answer, body = self.signed_then_changed("/bkt/empty", None, None, WithoutHost)
        self.assertIn(b"<Code>AccessDenied</Code>", body)
        self.assertEqual(self.signed_then_changed("/bkt/empty", None, None)[0].status, 200)
        for add, drop, code in (({"x-amz-meta-late": "1"}, None, "AccessDenied"),
                                ({"Range": "bytes=0-1"}, None, 206),
                                (None, "X-Amz-Content-SHA256", "InvalidRequest"),
                                ({"X-Amz-Content-SHA256": "0" * 64}, None, "XAmzContentSHA256Mismatch"),
                                ({"X-Amz-Date": "yesterday"}, None, "AccessDenied"),
                                ({"Authorization": "AWS %s:abc" % KEY}, None, "InvalidRequest"),
                                ({"Authorization": "AWS4-HMAC-SHA256 Credential=x"}, None,
                                 "AuthorizationHeaderMalformed")):
            answer, body = self.signed_then_changed("/bkt/dir/sub/data.kob", add, drop)
            if isinstance(code, int):
                self.assertEqual(answer.status, code, body)
            else:
                self.assertIn(b"<Code>%s</Code>" % code.encode(), body, (add, drop))

    def signed_then_changed(self, path, add, drop, signer=botocore.auth.S3SigV4Auth):
        request = botocore.awsrequest.AWSRequest("GET", self.server.endpoint + path)
        signer(botocore.credentials.Credentials(KEY, SECRET), "s3", REGION).add_auth(request)
        headers = dict(request.headers)
        if drop:
            del headers[drop]
        headers.update(add or {})
        connection = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=30)
        connection.request("GET", path, headers=headers)
        answer = connection.getresponse()
        body = answer.read()
        connection.close()
        return answer, body

    def test_listings_match_a_model(self):
        generator = random.Random(11)
        alphabet = ["a", "b", "c", "/", "+", " ", "é", "~", "%", "&"]
        keys = set()
        while len(keys) < 40:
            key = "".join(generator.choice(alphabet) for _ in range(generator.randint(1, 7)))
            parts = key.split("/")
            if any(p in ("", ".", "..") for p in parts):
                continue
            # One name cannot be both a file and a folder.
            if any(k == key or k.startswith(key + "/") or key.startswith(k + "/") for k in keys):
                continue
            keys.add(key)
        bucket = "model"
        for key in keys:
            write(os.path.join(self.root, bucket, *key.split("/")), key.encode())
        try:
            ordered = sorted(keys)
            for _ in range(24):
                prefix = generator.choice(["", "a", "a/", "b/c", "é", generator.choice(ordered)[:2]])
                delimiter = generator.choice(["", "/", "b", "a/"])
                page = generator.choice([1, 3, 7, 1000])
                expected_keys, expected_prefixes = [], []
                for key in ordered:
                    if not key.startswith(prefix):
                        continue
                    rest = key[len(prefix):]
                    if delimiter and delimiter in rest:
                        common = prefix + rest[:rest.index(delimiter) + len(delimiter)]
                        if common not in expected_prefixes:
                            expected_prefixes.append(common)
                    else:
                        expected_keys.append(key)
                for operation in ("list_objects_v2", "list_objects"):
                    args = {"Bucket": bucket, "Prefix": prefix}
                    if delimiter:
                        args["Delimiter"] = delimiter
                    got_keys, got_prefixes, pages = [], [], 0
                    for answer in self.s3.get_paginator(operation).paginate(
                            **args, PaginationConfig={"PageSize": page}):
                        pages += 1
                        entries = answer.get("Contents", []) + answer.get("CommonPrefixes", [])
                        self.assertLessEqual(len(entries), page)
                        if operation == "list_objects_v2":
                            self.assertEqual(answer["KeyCount"], len(entries))
                        for entry in answer.get("Contents", []):
                            got_keys.append(entry["Key"])
                            self.assertEqual(entry["Size"], len(entry["Key"].encode()))
                            self.assertEqual(entry["ETag"], '"%s"' % hashlib.md5(entry["Key"].encode()).hexdigest())
                        got_prefixes += [p["Prefix"] for p in answer.get("CommonPrefixes", [])]
                    where = (operation, prefix, delimiter, page)
                    self.assertEqual(got_keys, expected_keys, where)
                    self.assertEqual(got_prefixes, expected_prefixes, where)
                    self.assertEqual(pages, max(1, -(-(len(expected_keys) + len(expected_prefixes)) // page)), where)
            start = ordered[len(ordered) // 2]
            self.assertEqual([o["Key"] for o in self.s3.list_objects_v2(Bucket=bucket, StartAfter=start)["Contents"]],
                             [k for k in ordered if k > start])
            self.assertEqual(code_of(lambda: self.s3.list_objects_v2(Bucket=bucket, ContinuationToken="!!"))[0],
                             "InvalidArgument")
        finally:
            shutil.rmtree(os.path.join(self.root, bucket))

    def test_keep_alive_and_the_log(self):
        write(os.path.join(self.root, "bkt/logged"), self.data)
        client = self.server.client(TEMP_KEY, TEMP_SECRET, TOKEN)
        for _ in range(3):
            client.get_object(Bucket="bkt", Key="logged", Range="bytes=5-9")["Body"].read()
        entries = self.server.log(3, key="logged")
        self.assertEqual(len({e["connection"] for e in entries}), 1)
        entry = entries[0]
        self.assertEqual((entry["method"], entry["path"], entry["bucket"], entry["key"], entry["range"],
                          entry["status"], entry["bytes"], entry["signed"], entry["access_key"], entry["code"]),
                         ("GET", "/bkt/logged", "bkt", "logged", "bytes=5-9", 206, 5,
                          True, TEMP_KEY, None))
        with open(self.server.log_path) as log:
            text = log.read()
        for secret in (SECRET, TEMP_SECRET, TOKEN):
            self.assertNotIn(secret, text)

    def curl(self, *arguments, key=KEY, secret=SECRET, region=REGION, content_sha=True):
        if shutil.which("curl") is None:
            self.skipTest("curl is missing")
        command = ["curl", "-s", "-o", "-", "-w", "\n%{http_code}", "--aws-sigv4", "aws:amz:%s:s3" % region,
                   "--user", "%s:%s" % (key, secret)]
        if content_sha:
            command += ["-H", "x-amz-content-sha256: UNSIGNED-PAYLOAD"]
        done = subprocess.run(command + list(arguments), stdout=subprocess.PIPE, check=True, timeout=60)
        body, _, status = done.stdout.rpartition(b"\n")
        return int(status), body

    def test_curl_signs_as_the_cpp_source_does(self):
        url = self.server.endpoint
        self.assertEqual(self.curl(url + "/bkt/dir/sub/data.kob", "-H", "Range: bytes=100-199"),
                         (206, self.data[100:200]))
        self.assertEqual(self.curl("-I", url + "/bkt/dir/sub/data.kob")[0], 200)
        self.assertEqual(self.curl(url + "/bkt/dir/sub/data.kob", "-H", "x-amz-security-token: " + TOKEN,
                                   key=TEMP_KEY, secret=TEMP_SECRET)[1], self.data)
        # Keys encoded as AWS encodes them: every byte but A-Z a-z 0-9 - . _ ~ /.
        write(os.path.join(self.root, "bkt/odd name+(1)!é~.kob"), b"odd")
        encoded = "/bkt/odd%20name%2B%281%29%21%C3%A9~.kob"
        self.assertEqual(self.curl(url + encoded), (200, b"odd"))
        self.assertEqual(self.curl(url + "/bkt/odd%20name+(1)!%C3%A9~.kob")[0], 403)
        # curl 7.88 signs the query as it is given: it must come sorted.
        status, body = self.curl(url + "/bkt?delimiter=%2F&list-type=2&prefix=dir%2F")
        self.assertEqual(status, 200, body)
        self.assertIn(b"<CommonPrefixes><Prefix>dir/sub/</Prefix></CommonPrefixes>", body)
        self.assertEqual(self.curl(url + "/bkt?prefix=dir%2F&list-type=2")[0], 403)
        # Virtual-host style, the bucket in the host's name.
        vhost = "bkt.localhost:%d" % self.server.port
        self.assertEqual(self.curl("--connect-to", vhost + ":127.0.0.1:%d" % self.server.port,
                                   "http://%s/dir/sub/data.kob" % vhost, "-H", "Range: bytes=0-3"),
                         (206, self.data[:4]))
        refusals = [((), {"secret": "wrong"}, b"SignatureDoesNotMatch"),
                    ((), {"region": "us-east-1"}, b"AuthorizationHeaderMalformed"),
                    ((), {"content_sha": False}, b"x-amz-content-sha256"),
                    (("-H", "x-amz-security-token: " + TOKEN), {}, b"InvalidToken"),
                    ((), {"key": TEMP_KEY, "secret": TEMP_SECRET}, b"InvalidAccessKeyId")]
        for extra, options, word in refusals:
            status, body = self.curl(url + "/bkt/empty", *extra, **options)
            self.assertIn(word, body, (extra, options))
        self.assertEqual(subprocess.run(["curl", "-s", url + "/open/public.kob"], stdout=subprocess.PIPE).stdout,
                         b"public bytes")


class FaultsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="s3-root-")
        cls.data = random.Random(3).randbytes(300_000)
        write(os.path.join(cls.root, "bkt/data.kob"), cls.data)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root)

    def run_server(self, *options):
        server = Server(self.root, *options)
        self.addCleanup(server.stop)
        return server

    def test_slowdown_answers_the_first_requests_503(self):
        server = self.run_server("--slowdown", "2")
        client = server.client()
        for _ in range(2):
            self.assertEqual(code_of(lambda: client.head_object(Bucket="bkt", Key="data.kob"))[1], 503)
        self.assertEqual(server.client().get_object(Bucket="bkt", Key="data.kob")["Body"].read(), self.data)
        # botocore's own retries carry it through.
        server = self.run_server("--slowdown", "2")
        patient = server.client(retries={"total_max_attempts": 5, "mode": "standard"})
        with mock.patch("time.sleep"):
            self.assertEqual(patient.get_object(Bucket="bkt", Key="data.kob")["Body"].read(), self.data)
        self.assertEqual([(e["status"], e["code"]) for e in server.log(3)],
                         [(503, "SlowDown"), (503, "SlowDown"), (200, None)])

    def test_reset_after_cuts_the_first_bodies(self):
        server = self.run_server("--reset-after", "250000", "--reset-times", "2")
        for _ in range(2):
            # A small receive buffer keeps bytes waiting in the server's
            # kernel: all that were sent arrive all the same before the reset.
            connection = socket.socket()
            connection.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            connection.settimeout(30)
            connection.connect(("127.0.0.1", server.port))
            headers = self.signed_headers(server, "/bkt/data.kob")
            connection.sendall(("GET /bkt/data.kob HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n" % server.port + "".join(
                "%s: %s\r\n" % item for item in headers.items()) + "\r\n").encode())
            time.sleep(0.2)
            received = b""
            with self.assertRaises(ConnectionResetError):
                while True:
                    piece = connection.recv(65536)
                    if not piece:
                        break
                    received += piece
                    time.sleep(0.001)
            connection.close()
            head, _, body = received.partition(b"\r\n\r\n")
            self.assertTrue(head.startswith(b"HTTP/1.1 200 "), head)
            self.assertEqual(body, self.data[:250000])
        # Bodies shorter than the cut go whole; later ones are not cut.
        client = server.client()
        self.assertEqual(client.get_object(Bucket="bkt", Key="data.kob", Range="bytes=0-9")["Body"].read(),
                         self.data[:10])
        self.assertEqual(client.get_object(Bucket="bkt", Key="data.kob")["Body"].read(), self.data)
        entries = server.log(4)
        self.assertEqual([(e["reset"], e["bytes"]) for e in entries],
                         [(True, 250000), (True, 250000), (False, 10), (False, len(self.data))])

    def test_trickle_sends_the_whole_body_slowly(self):
        server = self.run_server("--trickle", "40000")
        client = server.client()
        started = time.monotonic()
        answer = client.get_object(Bucket="bkt", Key="data.kob", Range="bytes=0-19999")
        self.assertEqual(answer["Body"].read(), self.data[:20000])
        # 20000 bytes at 40000 a second take at least half a second.
        self.assertGreaterEqual(time.monotonic() - started, 0.45)

    def signed_headers(self, server, path):
        request = botocore.awsrequest.AWSRequest("GET", server.endpoint + path)
        botocore.auth.S3SigV4Auth(botocore.credentials.Credentials(KEY, SECRET), "s3", REGION).add_auth(request)
        return dict(request.headers)


if __name__ == "__main__":
    # The clients made and dropped by the tests hold connections open.
    unittest.main(verbosity=2, warnings="ignore")
