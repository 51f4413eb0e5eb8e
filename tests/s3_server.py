#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
#
# An S3-compatible server on 127.0.0.1 for the tests of kob's reading of
# s3:// URLs. It serves the files under ROOT as objects, ROOT/BUCKET/KEY
# (keys may hold slashes), read only, and checks every request's AWS
# Signature Version 4 with botocore's own signer, so a client that passes
# here signs as AWS expects it to.
#
#   s3_server.py --root DIR [--port N] [--port-file FILE] [--log FILE]
#                [--region REGION] [--credentials FILE]
#                [--access-key KEY --secret-key SECRET [--session-token T]]
#                [--public BUCKET]... [--slowdown N]
#                [--clock-offset SECONDS] [--lifetime SECONDS]
#
# --port 0 (the default) takes a free port. The port is printed on stdout,
# one line, once the server listens, and written to --port-file if given
# (whole: written beside it and renamed into place).
#
# --credentials names a file of lines "ACCESS_KEY SECRET [SESSION_TOKEN]"
# (# starts a comment); a key listed with a token is only accepted with
# that x-amz-security-token. --access-key/--secret-key/--session-token add
# one more.
#
# Answers what kob and its Python module ask: GetObject and HeadObject
# (Range; If-Match, If-Unmodified-Since; ETag the quoted MD5 of the
# content, as S3 gives for an object uploaded whole), ListObjectsV2,
# HeadBucket, ListBuckets, path style (/BUCKET/KEY). Errors are S3's XML,
# with S3's codes. Anything that would write is 405 MethodNotAllowed.
#
# Requests without Authorization are let in only to --public buckets. A
# signed request must carry x-amz-date (or Date) within 15 minutes of the
# server's clock (moved by --clock-offset), x-amz-content-sha256, a
# credential scope of DATE/REGION/s3/aws4_request, host and every x-amz-*
# header it sends among its SignedHeaders, and the signature botocore
# computes over the canonical request that S3 itself would build: the
# path re-encoded from its decoded bytes (every byte but A-Z a-z 0-9 - . _
# ~ and / as %XX), the query's names and values likewise, sorted. A
# SignatureDoesNotMatch answer carries the CanonicalRequest and
# StringToSign the server expected.
#
# Faults: --slowdown N answers the first N requests 503 SlowDown. To
# replace an object while serving, a test rewrites the file (a new file
# renamed into place keeps every answer whole); the ETag follows.
#
# --log FILE gets one JSON object a line for each request, once its answer
# has gone (or failed): time, connection (a number for each connection,
# so keep-alive can be seen), method, path (as sent), query (decoded
# pairs), bucket, key, range (the Range header or null), status, code (S3
# error code or null), bytes (body bytes sent), signed, access_key (null
# when unsigned).
# Secrets and tokens are never logged.
#
# The server exits when its parent process does, or after --lifetime
# seconds, so a test that dies leaves nothing behind.

import argparse
import base64
import datetime
import email.utils
import hashlib
import hmac
import http.server
import json
import os
import re
import socket
import stat
import sys
import threading
import time
import urllib.parse
from xml.sax.saxutils import escape

try:
    from botocore.auth import S3SigV4Auth
    from botocore.awsrequest import AWSRequest, HTTPHeaders
    from botocore.credentials import Credentials
except ImportError:
    sys.stderr.write("s3_server.py: botocore is missing "
                     "(apt-get install python3-botocore)\n")
    sys.exit(77)

XMLNS = "http://s3.amazonaws.com/doc/2006-03-01/"
# S3 refuses requests whose date is further than this from its clock.
ALLOWED_SKEW = datetime.timedelta(minutes=15)
# The most keys one listing answers, as S3.
MAX_KEYS = 1000
# Object bodies go out in pieces of this size.
PIECE = 64 * 1024
# A GET or HEAD with a body bigger than this gets its connection closed
# rather than the body read.
MAX_IGNORED_BODY = 1 << 20
# How long a connection may sit idle before the server drops it.
IDLE_TIMEOUT = 60
# Longer than a tick of the clock that stamps files' times (a jiffy).
SETTLED_NS = 100_000_000
EMPTY_SHA256 = hashlib.sha256(b"").hexdigest()
SIGV4_TIME = "%Y%m%dT%H%M%SZ"
# Bytes left as they are in a canonical path or query; AWS encodes the rest.
UNRESERVED = "-_.~"

MESSAGES = {
    "AccessDenied": (403, "Access Denied"),
    "AuthorizationHeaderMalformed": (400, "The authorization header is malformed."),
    "InvalidAccessKeyId": (403, "The AWS Access Key Id you provided does not exist in our records."),
    "InvalidArgument": (400, "Invalid Argument"),
    "InvalidBucketName": (400, "The specified bucket is not valid."),
    "InvalidRange": (416, "The requested range is not satisfiable"),
    "InvalidRequest": (400, "Invalid Request"),
    "InvalidToken": (400, "The provided token is malformed or otherwise invalid."),
    "MethodNotAllowed": (405, "The specified method is not allowed against this resource."),
    "NoSuchBucket": (404, "The specified bucket does not exist"),
    "NoSuchKey": (404, "The specified key does not exist."),
    "NotImplemented": (501, "A header or query you provided implies functionality that is not implemented."),
    "PreconditionFailed": (412, "At least one of the pre-conditions you specified did not hold"),
    "RequestTimeTooSkewed": (403, "The difference between the request time and the current time is too large."),
    "SignatureDoesNotMatch": (403, "The request signature we calculated does not match the signature you provided. Check your key and signing method."),
    "SlowDown": (503, "Please reduce your request rate."),
    "XAmzContentSHA256Mismatch": (400, "The provided 'x-amz-content-sha256' header does not match what was computed."),
}


class S3Error(Exception):
    def __init__(self, code, message=None, **extra):
        super().__init__(code)
        self.code = code
        self.status, default = MESSAGES[code]
        self.message = message or default
        self.extra = extra


def http_date(seconds):
    return email.utils.formatdate(seconds, usegmt=True)


def iso_date(seconds):
    return time.strftime("%Y-%m-%dT%H:%M:%S.000Z", time.gmtime(seconds))


def parse_http_date(text):
    try:
        parsed = email.utils.parsedate_to_datetime(text)
    except (TypeError, ValueError, IndexError):
        return None
    if parsed is None:
        return None
    if parsed.tzinfo is None:
        parsed = parsed.replace(tzinfo=datetime.timezone.utc)
    return parsed.timestamp()


def load_credentials(args):
    found = {}
    if args.credentials:
        with open(args.credentials) as lines:
            for line in lines:
                words = line.split("#", 1)[0].split()
                if not words:
                    continue
                if len(words) not in (2, 3):
                    sys.exit("s3_server.py: %s: want ACCESS_KEY SECRET [TOKEN]"
                             % args.credentials)
                found[words[0]] = (words[1], words[2] if len(words) == 3 else None)
    if args.access_key:
        if args.secret_key is None:
            sys.exit("s3_server.py: --access-key needs --secret-key")
        found[args.access_key] = (args.secret_key, args.session_token)
    return found


class Verifier(S3SigV4Auth):
    """botocore's S3 signer, told the headers the client signed rather than
    choosing them itself (it leaves out User-Agent, which a client may sign,
    and adds Host, which a client may have failed to)."""

    def __init__(self, credentials, region, signed):
        super().__init__(credentials, "s3", region)
        self.signed = signed

    def headers_to_sign(self, request):
        chosen = HTTPHeaders()
        for name, value in request.headers.items():
            if name.lower() in self.signed:
                chosen[name.lower()] = value
        return chosen


class Objects:
    """The files under the root as buckets and objects, with their ETags."""

    def __init__(self, root):
        self.root = os.path.realpath(root)
        self.lock = threading.Lock()
        self.etags = {}

    def bucket_path(self, bucket):
        if not bucket or bucket in (".", "..") or "/" in bucket or "\0" in bucket:
            raise S3Error("InvalidBucketName", BucketName=bucket)
        path = os.path.join(self.root, bucket)
        if not os.path.isdir(path):
            raise S3Error("NoSuchBucket", BucketName=bucket)
        return path

    def buckets(self):
        return sorted(name for name in os.listdir(self.root)
                      if os.path.isdir(os.path.join(self.root, name)))

    def open(self, bucket, key):
        """The object's open file, its fstat and its ETag, all of one
        version of the file even if it is replaced meanwhile."""
        base = self.bucket_path(bucket)
        parts = key.split("/")
        if not key or "\0" in key or any(p in ("", ".", "..") for p in parts):
            raise S3Error("NoSuchKey", Key=key)
        try:
            handle = open(os.path.join(base, *parts), "rb")
        except (FileNotFoundError, NotADirectoryError, IsADirectoryError):
            raise S3Error("NoSuchKey", Key=key) from None
        info = os.fstat(handle.fileno())
        if not stat.S_ISREG(info.st_mode):
            handle.close()
            raise S3Error("NoSuchKey", Key=key)
        return handle, info, self.etag(handle, info)

    @staticmethod
    def stamp(info):
        """What tells one version of a file from another, but its bytes."""
        return (info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns, info.st_ctime_ns)

    def etag(self, handle, info):
        stamp = self.stamp(info)
        with self.lock:
            known = self.etags.get(stamp)
        if known:
            return known
        for _ in range(5):
            digest = hashlib.md5()
            started = time.time_ns()
            handle.seek(0)
            for piece in iter(lambda: handle.read(PIECE), b""):
                digest.update(piece)
            after = os.fstat(handle.fileno())
            if self.stamp(after) == stamp:
                break
            stamp = self.stamp(after)
        tag = '"%s"' % digest.hexdigest()
        # A file changed within a tick of the file system's clock before the
        # hashing may change again under the same times: only a hash of a
        # file that had settled by then is kept.
        if max(after.st_mtime_ns, after.st_ctime_ns) < started - SETTLED_NS:
            with self.lock:
                self.etags[stamp] = tag
        return tag

    def listing(self, bucket):
        """Every (key, path) of a bucket, in S3's order (UTF-8 bytes)."""
        base = self.bucket_path(bucket)
        found = []
        for folder, _, files in os.walk(base):
            relative = os.path.relpath(folder, base)
            for name in files:
                key = name if relative == "." else relative.replace(os.sep, "/") + "/" + name
                found.append((key, os.path.join(folder, name)))
        found.sort()
        return found


class State:
    def __init__(self, args):
        self.args = args
        self.objects = Objects(args.root)
        self.credentials = load_credentials(args)
        self.public = set(args.public)
        self.lock = threading.Lock()
        self.requests = 0
        self.connections = 0
        self.log = open(args.log, "a") if args.log else None

    def count_request(self):
        with self.lock:
            self.requests += 1
            return self.requests

    def new_connection(self):
        with self.lock:
            self.connections += 1
            return self.connections

    def write_log(self, entry):
        if self.log is None:
            return
        line = json.dumps(entry, sort_keys=True) + "\n"
        with self.lock:
            self.log.write(line)
            self.log.flush()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = IDLE_TIMEOUT

    def version_string(self):
        return "AmazonS3"

    def setup(self):
        super().setup()
        # Headers and body go out in separate writes; without this the body
        # waits for the client's delayed acknowledgement of the headers.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.connection_number = self.server.state.new_connection()

    def log_message(self, *args):
        pass

    # The request's parts -------------------------------------------------

    def parse_target(self):
        target = self.path
        if target.startswith(("http://", "https://")):
            target = "/" + target.split("/", 3)[3] if target.count("/") >= 3 else "/"
        raw_path, _, raw_query = target.partition("?")
        self.raw_path = raw_path
        self.query = []
        for pair in raw_query.split("&") if raw_query else []:
            name, _, value = pair.partition("=")
            self.query.append((urllib.parse.unquote(name), urllib.parse.unquote(value)))
        self.params = dict(self.query)
        path = urllib.parse.unquote(raw_path)
        self.bucket, _, self.key = path[1:].partition("/")

    def header(self, name):
        return self.headers.get(name)

    # Authentication ------------------------------------------------------

    def authenticate(self):
        """Returns the access key of a signed request whose signature holds,
        None for an unsigned one; raises S3Error otherwise."""
        state = self.server.state
        authorization = self.header("Authorization")
        if authorization is None:
            if "X-Amz-Signature" in self.params or "X-Amz-Credential" in self.params:
                raise S3Error("NotImplemented", "Query string authentication is not supported here.")
            return None
        if not authorization.startswith("AWS4-HMAC-SHA256 "):
            raise S3Error("InvalidRequest", "The authorization mechanism you have provided is not supported. Please use AWS4-HMAC-SHA256.")
        fields = {}
        for part in authorization[len("AWS4-HMAC-SHA256 "):].split(","):
            name, equals, value = part.strip().partition("=")
            if not equals or name in fields:
                raise S3Error("AuthorizationHeaderMalformed")
            fields[name] = value
        if set(fields) != {"Credential", "SignedHeaders", "Signature"}:
            raise S3Error("AuthorizationHeaderMalformed")
        scope = fields["Credential"].split("/")
        if len(scope) != 5 or scope[4] != "aws4_request":
            raise S3Error("AuthorizationHeaderMalformed", "The authorization header is malformed; the Credential is mal-formed; expecting \"<YOUR-AKID>/YYYYMMDD/REGION/SERVICE/aws4_request\".")
        access_key, day, region, service = scope[:4]
        self.access_key = access_key
        if access_key not in state.credentials:
            raise S3Error("InvalidAccessKeyId", AWSAccessKeyId=access_key)
        secret, token = state.credentials[access_key]
        if region != state.args.region:
            raise S3Error("AuthorizationHeaderMalformed",
                          "The authorization header is malformed; the region '%s' is wrong; expecting '%s'"
                          % (region, state.args.region), Region=state.args.region)
        if service != "s3":
            raise S3Error("AuthorizationHeaderMalformed",
                          "The authorization header is malformed; incorrect service \"%s\". This endpoint belongs to \"s3\"." % service)
        sent_token = self.header("x-amz-security-token")
        if token is not None and sent_token is None:
            raise S3Error("InvalidAccessKeyId", AWSAccessKeyId=access_key)
        if sent_token != token:
            raise S3Error("InvalidToken")

        stamp = self.request_time()
        if day != stamp[:8]:
            raise S3Error("SignatureDoesNotMatch", "The credential's date %s is not the request's %s." % (day, stamp[:8]))
        payload = self.header("x-amz-content-sha256")
        if payload is None:
            raise S3Error("InvalidRequest", "Missing required header for this request: x-amz-content-sha256")
        if payload != "UNSIGNED-PAYLOAD" and not payload.startswith("STREAMING-"):
            if not re.fullmatch("[0-9a-f]{64}", payload):
                raise S3Error("InvalidArgument", "x-amz-content-sha256 must be UNSIGNED-PAYLOAD, STREAMING-UNSIGNED-PAYLOAD-TRAILER, STREAMING-AWS4-HMAC-SHA256-PAYLOAD, STREAMING-AWS4-HMAC-SHA256-PAYLOAD-TRAILER, STREAMING-AWS4-ECDSA-P256-SHA256-PAYLOAD, STREAMING-AWS4-ECDSA-P256-SHA256-PAYLOAD-TRAILER or a valid sha256 value.")
            if self.body_sha256 is not None and payload != self.body_sha256:
                raise S3Error("XAmzContentSHA256Mismatch", ClientComputedContentSHA256=payload,
                              S3ComputedContentSHA256=self.body_sha256)

        signed = fields["SignedHeaders"].split(";")
        if "host" not in signed:
            raise S3Error("AccessDenied", "Host must be among the signed headers.")
        unsigned = sorted(name.lower() for name in self.headers.keys()
                          if name.lower().startswith("x-amz-") and name.lower() not in signed)
        if unsigned:
            raise S3Error("AccessDenied", "There were headers present in the request which were not signed",
                          HeadersNotSigned=", ".join(unsigned))
        missing = [name for name in signed if name not in (n.lower() for n in self.headers.keys())]
        if missing:
            raise S3Error("AccessDenied", "Signed headers missing from the request: " + ", ".join(missing))

        # The request as S3 sees it: the path and query re-encoded from
        # their decoded bytes, the signed headers with all their values.
        headers = HTTPHeaders()
        for name in signed:
            for value in self.headers.get_all(name, []):
                headers[name] = value
        path = urllib.parse.quote(urllib.parse.unquote_to_bytes(self.raw_path), safe=UNRESERVED + "/")
        url = "http://%s%s" % (self.header("Host"), path)
        request = AWSRequest(method=self.command, url=url, headers=headers, params=self.query)
        request.context["timestamp"] = stamp
        verifier = Verifier(Credentials(access_key, secret, token), state.args.region, set(signed))
        canonical = verifier.canonical_request(request)
        to_sign = verifier.string_to_sign(request, canonical)
        verifier._inject_signature_to_request(request, verifier.signature(to_sign, request))
        received = "AWS4-HMAC-SHA256 Credential=%s, SignedHeaders=%s, Signature=%s" % (
            fields["Credential"], fields["SignedHeaders"], fields["Signature"])
        if not hmac.compare_digest(request.headers["Authorization"], received):
            raise S3Error("SignatureDoesNotMatch", AWSAccessKeyId=access_key,
                          StringToSign=to_sign, CanonicalRequest=canonical,
                          SignatureProvided=fields["Signature"])
        return access_key

    def request_time(self):
        """The request's date as x-amz-date gives it, checked against the
        server's clock."""
        text = self.header("x-amz-date")
        when = None
        if text is not None:
            try:
                when = datetime.datetime.strptime(text, SIGV4_TIME).replace(tzinfo=datetime.timezone.utc)
            except ValueError:
                pass
        elif self.header("Date") is not None:
            seconds = parse_http_date(self.header("Date"))
            if seconds is not None:
                when = datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)
        if when is None:
            raise S3Error("AccessDenied", "AWS authentication requires a valid Date or x-amz-date header")
        now = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(
            seconds=self.server.state.args.clock_offset)
        if abs(now - when) > ALLOWED_SKEW:
            raise S3Error("RequestTimeTooSkewed", RequestTime=when.strftime(SIGV4_TIME),
                          ServerTime=now.strftime("%Y-%m-%dT%H:%M:%SZ"),
                          MaxAllowedSkewMilliseconds="900000")
        return when.strftime(SIGV4_TIME)

    # Answers -------------------------------------------------------------

    def start(self, status, headers, length=None):
        self.send_response(status)
        self.send_header("x-amz-request-id", "%016X" % self.request_number)
        self.send_header("x-amz-id-2", base64.b64encode(b"kob-%d" % self.request_number).decode())
        for name, value in headers:
            self.send_header(name, value)
        if length is not None:
            self.send_header("Content-Length", str(length))
        self.end_headers()
        self.entry["status"] = status

    def send_body(self, data):
        if self.command != "HEAD":
            self.wfile.write(data)
            self.entry["bytes"] += len(data)

    def send_xml(self, status, body):
        data = ('<?xml version="1.0" encoding="UTF-8"?>\n' + body).encode()
        self.start(status, [("Content-Type", "application/xml")], 0 if self.command == "HEAD" else len(data))
        self.send_body(data)

    def send_error_xml(self, error):
        self.entry["code"] = error.code
        headers = []
        if error.code == "InvalidRange":
            headers.append(("Content-Range", "bytes */%d" % error.extra.pop("size")))
        if "Region" in error.extra:
            # Where a client told the wrong region learns the right one.
            headers.append(("x-amz-bucket-region", error.extra["Region"]))
        if self.command == "HEAD":
            # S3 answers HEAD without a body; the code goes in a header.
            self.start(error.status, headers + [("x-amz-error-code", error.code)], 0)
            return
        parts = ["<Error><Code>%s</Code><Message>%s</Message>" % (error.code, escape(error.message))]
        for name, value in error.extra.items():
            parts.append("<%s>%s</%s>" % (name, escape(str(value)), name))
        parts.append("<RequestId>%016X</RequestId><HostId>kob</HostId></Error>" % self.request_number)
        data = ('<?xml version="1.0" encoding="UTF-8"?>\n' + "".join(parts)).encode()
        self.start(error.status, headers + [("Content-Type", "application/xml")], len(data))
        self.send_body(data)

    def handle_one(self):
        state = self.server.state
        self.request_number = state.count_request()
        self.access_key = None
        self.entry = {
            "time": round(time.time(), 6), "connection": self.connection_number,
            "method": self.command, "path": self.path.partition("?")[0], "query": [],
            "bucket": None, "key": None, "range": self.header("Range"),
            "status": None, "code": None, "bytes": 0, "signed": "Authorization" in self.headers,
            "access_key": None,
        }
        try:
            self.drain_body()
            try:
                self.parse_target()
                self.entry.update(query=self.query, bucket=self.bucket or None, key=self.key or None)
                if self.request_number <= state.args.slowdown:
                    raise S3Error("SlowDown")
                signed_by = self.authenticate()
                self.entry["access_key"] = signed_by
                self.route(signed_by)
            except S3Error as error:
                if self.entry["status"] is not None:
                    raise
                self.entry["access_key"] = self.access_key
                self.send_error_xml(error)
        except (BrokenPipeError, ConnectionResetError, socket.timeout):
            self.close_connection = True
        finally:
            state.write_log(self.entry)

    def drain_body(self):
        if self.header("Transfer-Encoding"):
            self.body_sha256 = None
            self.close_connection = True
            return
        length = self.header("Content-Length")
        try:
            length = int(length) if length else 0
        except ValueError:
            length = MAX_IGNORED_BODY + 1
        self.body_sha256 = EMPTY_SHA256
        if 0 < length <= MAX_IGNORED_BODY:
            self.body_sha256 = hashlib.sha256(self.rfile.read(length)).hexdigest()
        elif length:
            self.body_sha256 = None
            self.close_connection = True

    do_GET = do_HEAD = handle_one

    def do_other(self):
        self.handle_one()

    do_PUT = do_POST = do_DELETE = do_PATCH = do_OPTIONS = do_other

    def route(self, signed_by):
        state = self.server.state
        if self.command not in ("GET", "HEAD"):
            raise S3Error("MethodNotAllowed", Method=self.command, ResourceType="OBJECT" if self.key else "BUCKET")
        if not self.bucket:
            if signed_by is None:
                raise S3Error("AccessDenied")
            return self.list_buckets()
        state.objects.bucket_path(self.bucket)
        if signed_by is None and self.bucket not in state.public:
            raise S3Error("AccessDenied")
        if self.key:
            return self.get_object()
        if self.command == "HEAD":
            return self.start(200, [("x-amz-bucket-region", state.args.region)], 0)
        known = {"list-type", "prefix", "delimiter", "continuation-token", "start-after", "max-keys",
                 "encoding-type", "fetch-owner", "x-id"}
        unknown = sorted(set(self.params) - known)
        if unknown:
            raise S3Error("NotImplemented", "This server does not answer ?%s." % unknown[0])
        return self.list_objects()

    # Objects -------------------------------------------------------------

    def get_object(self):
        handle, info, etag = self.server.state.objects.open(self.bucket, self.key)
        with handle:
            size = info.st_size
            modified = int(info.st_mtime)
            headers = [("ETag", etag), ("Last-Modified", http_date(modified)),
                       ("Accept-Ranges", "bytes"), ("Content-Type", "application/octet-stream")]
            self.preconditions(etag, modified)
            status, first, last = 200, 0, size - 1
            span = parse_range(self.header("Range"), size)
            if span is not None:
                first, last = span
                status = 206
                headers.append(("Content-Range", "bytes %d-%d/%d" % (first, last, size)))
            self.start(status, headers, last - first + 1)
            if self.command == "HEAD":
                return
            self.send_object(handle, first, last - first + 1)

    def preconditions(self, etag, modified):
        """Raises PreconditionFailed for an object other than the one asked."""
        match = self.header("If-Match")
        if match is not None:
            if not etag_in(etag, match):
                raise S3Error("PreconditionFailed", Condition="If-Match")
        else:
            since = self.header("If-Unmodified-Since")
            stamp = parse_http_date(since) if since is not None else None
            if stamp is not None and modified > stamp:
                raise S3Error("PreconditionFailed", Condition="If-Unmodified-Since")

    def send_object(self, handle, first, length):
        handle.seek(first)
        left = length
        while left > 0:
            data = handle.read(min(PIECE, left))
            if not data:
                # The file shrank under us: the promised length cannot be kept.
                self.close_connection = True
                return
            self.wfile.write(data)
            self.entry["bytes"] += len(data)
            left -= len(data)

    # Listings ------------------------------------------------------------

    def list_buckets(self):
        objects = self.server.state.objects
        parts = ['<ListAllMyBucketsResult xmlns="%s"><Owner><ID>kob</ID><DisplayName>kob</DisplayName></Owner><Buckets>' % XMLNS]
        for name in objects.buckets():
            created = os.stat(os.path.join(objects.root, name)).st_mtime
            parts.append("<Bucket><Name>%s</Name><CreationDate>%s</CreationDate></Bucket>"
                         % (escape(name), iso_date(created)))
        parts.append("</Buckets></ListAllMyBucketsResult>")
        self.send_xml(200, "".join(parts))

    def list_objects(self):
        objects = self.server.state.objects
        params = self.params
        if params.get("list-type") != "2":
            raise S3Error("NotImplemented", "This server lists with ListObjectsV2 only.")
        prefix = params.get("prefix", "")
        delimiter = params.get("delimiter", "")
        encoding = params.get("encoding-type")
        if encoding not in (None, "url"):
            raise S3Error("InvalidArgument", "Invalid Encoding Method specified in Request", ArgumentName="encoding-type")
        try:
            max_keys = int(params.get("max-keys", MAX_KEYS))
            if max_keys < 0:
                raise ValueError
        except ValueError:
            raise S3Error("InvalidArgument", "Provided max-keys not an integer or within integer range",
                          ArgumentName="max-keys") from None
        max_keys = min(max_keys, MAX_KEYS)
        after, after_is_prefix = params.get("start-after", ""), False
        if "continuation-token" in params:
            try:
                kind, after = base64.urlsafe_b64decode(params["continuation-token"]).decode().split(":", 1)
                after_is_prefix = kind == "p"
            except (ValueError, UnicodeDecodeError):
                raise S3Error("InvalidArgument", "The continuation token provided is incorrect",
                              ArgumentName="continuation-token") from None

        entries = []  # (name, path or None for a common prefix)
        for key, path in objects.listing(self.bucket):
            if not key.startswith(prefix) or key <= after:
                continue
            if after_is_prefix and key.startswith(after):
                continue
            cut = key.find(delimiter, len(prefix)) if delimiter else -1
            if cut >= 0:
                common = key[:cut + len(delimiter)]
                if not entries or entries[-1][0] != common:
                    entries.append((common, None))
            else:
                entries.append((key, path))
        truncated = len(entries) > max_keys
        entries = entries[:max_keys]

        def text(value):
            return escape(urllib.parse.quote(value, safe="/") if encoding else value)

        parts = ['<ListBucketResult xmlns="%s"><Name>%s</Name><Prefix>%s</Prefix>' % (XMLNS, escape(self.bucket), text(prefix))]
        if delimiter:
            parts.append("<Delimiter>%s</Delimiter>" % text(delimiter))
        parts.append("<MaxKeys>%d</MaxKeys>" % max_keys)
        if encoding:
            parts.append("<EncodingType>url</EncodingType>")
        parts.append("<IsTruncated>%s</IsTruncated>" % ("true" if truncated else "false"))
        parts.append("<KeyCount>%d</KeyCount>" % len(entries))
        if "continuation-token" in params:
            parts.append("<ContinuationToken>%s</ContinuationToken>" % escape(params["continuation-token"]))
        if "start-after" in params:
            parts.append("<StartAfter>%s</StartAfter>" % text(params["start-after"]))
        if truncated:
            last, last_path = entries[-1]
            token = base64.urlsafe_b64encode((("k:" if last_path else "p:") + last).encode()).decode()
            parts.append("<NextContinuationToken>%s</NextContinuationToken>" % token)
        for name, path in entries:
            if path is None:
                parts.append("<CommonPrefixes><Prefix>%s</Prefix></CommonPrefixes>" % text(name))
                continue
            try:
                with open(path, "rb") as handle:
                    info = os.fstat(handle.fileno())
                    etag = objects.etag(handle, info)
            except OSError:
                continue  # gone since the walk
            parts.append("<Contents><Key>%s</Key><LastModified>%s</LastModified><ETag>%s</ETag>"
                         "<Size>%d</Size><StorageClass>STANDARD</StorageClass></Contents>"
                         % (text(name), iso_date(int(info.st_mtime)), escape(etag), info.st_size))
        parts.append("</ListBucketResult>")
        self.send_xml(200, "".join(parts))


def etag_in(etag, header):
    """Whether If-Match's list names the ETag."""
    for candidate in header.split(","):
        candidate = candidate.strip()
        if candidate.startswith("W/"):
            candidate = candidate[2:]
        if candidate == "*" or candidate == etag or candidate == etag.strip('"'):
            return True
    return False


def parse_range(header, size):
    """(first, last) of a single byte range; None when there is none or it
    cannot be read (the whole object is then sent, as S3 does); raises
    InvalidRange when it lies past the end."""
    if header is None:
        return None
    found = re.fullmatch(r"\s*bytes\s*=\s*(\d*)\s*-\s*(\d*)\s*", header)
    if not found or found.group(1) == found.group(2) == "":
        return None
    first, last = found.group(1), found.group(2)
    if first == "":
        suffix = int(last)
        if suffix == 0 or size == 0:
            raise S3Error("InvalidRange", ActualObjectSize=size, RangeRequested=header, size=size)
        return max(0, size - suffix), size - 1
    first = int(first)
    if last and int(last) < first:
        return None
    if first >= size:
        raise S3Error("InvalidRange", ActualObjectSize=size, RangeRequested=header, size=size)
    return first, min(int(last), size - 1) if last else size - 1


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        # A client hanging up is no fault of the server's.
        if not isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            super().handle_error(request, client_address)


def watch(lifetime):
    parent = os.getppid()
    started = time.monotonic()
    while os.getppid() == parent and (lifetime is None or time.monotonic() - started < lifetime):
        time.sleep(0.5)
    os._exit(0)


def main():
    parser = argparse.ArgumentParser(description="An S3-compatible server for tests.")
    parser.add_argument("--root", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file")
    parser.add_argument("--log")
    parser.add_argument("--region", default="us-east-1")
    parser.add_argument("--credentials")
    parser.add_argument("--access-key")
    parser.add_argument("--secret-key")
    parser.add_argument("--session-token")
    parser.add_argument("--public", action="append", default=[])
    parser.add_argument("--slowdown", type=int, default=0)
    parser.add_argument("--clock-offset", type=float, default=0)
    parser.add_argument("--lifetime", type=float)
    args = parser.parse_args()
    if not os.path.isdir(args.root):
        parser.error("--root %s is not a folder" % args.root)
    server = Server(("127.0.0.1", args.port), Handler)
    server.state = State(args)
    port = server.server_address[1]
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as out:
            out.write("%d\n" % port)
        os.replace(args.port_file + ".tmp", args.port_file)
    print(port, flush=True)
    threading.Thread(target=watch, args=(args.lifetime,), daemon=True).start()
    server.serve_forever()


if __name__ == "__main__":
    main()
