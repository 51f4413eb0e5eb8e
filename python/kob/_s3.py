# SPDX-License-Identifier: GPL-2.0-or-later
"""s3:// objects for kob's fsspec file system: read with ranged GETs and
listed with ListObjectsV2, through botocore (Debian's python3-botocore),
until kob.open reads s3:// URLs itself.

The settings are those kob's own readers take, from the environment:

    AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_SESSION_TOKEN
    AWS_REGION, else AWS_DEFAULT_REGION, else the profile's region, else
        us-east-1
    AWS_PROFILE (else "default"): aws_access_key_id, aws_secret_access_key,
        aws_session_token and region from ~/.aws/credentials and ~/.aws/config
        (AWS_SHARED_CREDENTIALS_FILE, AWS_CONFIG_FILE name others), where the
        variables above do not say
    AWS_ENDPOINT_URL_S3, else AWS_ENDPOINT_URL: another server than AWS's
    path-style addressing (https://ENDPOINT/BUCKET/KEY)

Options given to the file system (key, secret, token, endpoint_url,
region, anon=True for unsigned requests; client_kwargs={"endpoint_url": ..., "region_name": ...} as s3fs
takes them) come before the environment. Without credentials, requests go
unsigned (public buckets). No other source of credentials is asked: no
instance metadata, no container endpoint.

open_packed is the one place that chooses how an object is read: through
kob.open("s3://BUCKET/KEY") where this build of kob reads s3:// URLs and
no option asks for more than the environment says, else through S3File.
"""

import configparser
import errno
import os
import threading

from fsspec.spec import AbstractBufferedFile, AbstractFileSystem

from . import _kob

# What one GET brings: a walk over chunk headers reads 128 KiB at a time
# and a partition's read 64 KiB, so 2 MiB makes few requests of each
# megabytes of a partition, and wastes at most that at its end.
BLOCK_SIZE = 2 << 20
# The blocks an open object keeps (64 MiB of them): a Dask partition walks
# the headers of its block to find its end, then reads the block from its
# start; kept, its bytes are fetched once, not twice.
KEPT_BLOCKS = 32

# The pages of a listing one call follows at most (a thousand keys a page):
# a server that always says "more" cannot keep it going.
_MOST_PAGES = 100000

def _profile_values(profile):
    """The profile's settings from the shared credentials and config files."""
    home = os.path.expanduser("~")
    files = (
        (os.environ.get("AWS_SHARED_CREDENTIALS_FILE") or
         os.path.join(home, ".aws", "credentials"), profile),
        (os.environ.get("AWS_CONFIG_FILE") or os.path.join(home, ".aws", "config"),
         profile if profile == "default" else "profile " + profile),
    )
    values = {}
    for path, section in files:
        parser = configparser.RawConfigParser()
        try:
            parser.read(path)
        except (configparser.Error, UnicodeDecodeError) as error:
            raise OSError(errno.EINVAL, "unreadable AWS settings: %s" % error, path)
        if parser.has_section(section):
            for name, value in parser.items(section):
                values.setdefault(name, value)
    return values


def settings(options=None):
    """Returns: dict of key, secret, token, region, endpoint_url (None where
    unset), from `options`, then the environment, then the profile."""
    given = dict(options or {})
    client = given.pop("client_kwargs", None) or {}
    env = os.environ
    profile = _profile_values(env.get("AWS_PROFILE") or "default")
    if given.get("anon"):
        key = secret = token = None
    elif given.get("key") and given.get("secret"):
        key, secret, token = given["key"], given["secret"], given.get("token")
    elif env.get("AWS_ACCESS_KEY_ID") and env.get("AWS_SECRET_ACCESS_KEY"):
        key, secret = env["AWS_ACCESS_KEY_ID"], env["AWS_SECRET_ACCESS_KEY"]
        token = env.get("AWS_SESSION_TOKEN")
    else:
        key = profile.get("aws_access_key_id")
        secret = profile.get("aws_secret_access_key")
        token = profile.get("aws_session_token")
    return {
        "key": key or None, "secret": secret or None, "token": token or None,
        "region": (given.get("region") or client.get("region_name") or
                   env.get("AWS_REGION") or env.get("AWS_DEFAULT_REGION") or
                   profile.get("region") or "us-east-1"),
        "endpoint_url": (given.get("endpoint_url") or client.get("endpoint_url") or
                         env.get("AWS_ENDPOINT_URL_S3") or env.get("AWS_ENDPOINT_URL") or
                         None),
    }


def _error(failure, path):
    """An OSError with the errno kob's own readers give for the same answer."""
    import botocore.exceptions
    if isinstance(failure, botocore.exceptions.ClientError):
        answer = failure.response.get("Error", {})
        code = str(answer.get("Code", ""))
        status = failure.response.get("ResponseMetadata", {}).get("HTTPStatusCode")
        words = "%s (%s)" % (answer.get("Message") or code or "failed", status)
        if code in ("NoSuchKey", "NoSuchBucket", "404", "NotFound") or status in (404, 410):
            return FileNotFoundError(errno.ENOENT, words, path)
        if code in ("AccessDenied", "403", "InvalidAccessKeyId",
                    "SignatureDoesNotMatch") or status in (401, 403):
            return PermissionError(errno.EACCES, words, path)
        if code in ("PreconditionFailed", "412") or status == 412:
            return OSError(errno.ESTALE, "the object changed while it was read", path)
        return OSError(errno.EIO, words, path)
    if isinstance(failure, botocore.exceptions.ConnectTimeoutError):
        return TimeoutError(errno.ETIMEDOUT, str(failure), path)
    if isinstance(failure, botocore.exceptions.EndpointConnectionError):
        return ConnectionRefusedError(errno.ECONNREFUSED, str(failure), path)
    return OSError(errno.EIO, str(failure), path)


def _split(path):
    bucket, _, key = path.partition("/")
    return bucket, key


class S3FileSystem(AbstractFileSystem):
    """s3://BUCKET/KEY through botocore: info, ls (ListObjectsV2), and
    files read with ranged GETs, each carrying If-Match with the ETag the
    object had when opened (a replaced object fails with ESTALE).

    S3FileSystem(key=None, secret=None, token=None, endpoint_url=None,
                 region=None, client_kwargs=None, block_size=BLOCK_SIZE)
    Paths are "BUCKET/KEY"; "" lists the buckets.
    """

    protocol = ("s3", "s3a")
    root_marker = ""

    def __init__(self, key=None, secret=None, token=None, endpoint_url=None,
                 region=None, client_kwargs=None, anon=False, block_size=BLOCK_SIZE,
                 **kwargs):
        super().__init__(**kwargs)
        given = {"key": key, "secret": secret, "token": token,
                 "endpoint_url": endpoint_url, "region": region, "anon": anon}
        self.options = {name: value for name, value in given.items() if value}
        if client_kwargs:
            self.options["client_kwargs"] = dict(client_kwargs)
        self.blocksize = int(block_size)
        self._client = None
        self._client_place = None
        self._door = threading.Lock()

    def place(self):
        """What the client is made from: the options, and the environment's
        AWS settings as they are now (a test, or a program, may change them
        while the file system is kept in fsspec's cache)."""
        return (tuple(sorted(self.options.items(), key=str)),
                tuple(sorted((name, value) for name, value in os.environ.items()
                             if name.startswith("AWS_"))))

    @property
    def client(self):
        """The botocore client, made at first use and anew when the
        settings change (and in each process the file system is unpickled
        in)."""
        place = self.place()
        with self._door:
            if self._client is None or self._client_place != place:
                self._client = self._make_client()
                self._client_place = place
            return self._client

    def _make_client(self):
        import botocore.session
        from botocore import UNSIGNED
        from botocore.config import Config
        chosen = settings(self.options)
        # AWS_PROFILE is read by settings, not by botocore, which would
        # refuse a profile its config file lacks.
        session = botocore.session.Session(session_vars={"profile": (None, None, None, None)})
        signing = {} if chosen["key"] else {"signature_version": UNSIGNED}
        return session.create_client(
            "s3", region_name=chosen["region"], endpoint_url=chosen["endpoint_url"],
            aws_access_key_id=chosen["key"], aws_secret_access_key=chosen["secret"],
            aws_session_token=chosen["token"],
            config=Config(s3={"addressing_style": "path"},
                          retries={"max_attempts": 4, "mode": "standard"}, **signing))

    def _call(self, operation, path, **arguments):
        try:
            return getattr(self.client, operation)(**arguments)
        except Exception as failure:
            raise _error(failure, self.unstrip_protocol(path)) from failure

    @classmethod
    def _strip_protocol(cls, path):
        # fsspec's own: the protocols above and a trailing "/" taken off.
        return super()._strip_protocol(str(path)).strip("/")

    def unstrip_protocol(self, name):
        return super().unstrip_protocol(self._strip_protocol(name))

    def _file_entry(self, path, size, etag=None, modified=None):
        return {"name": path, "size": int(size), "type": "file", "ETag": etag,
                "LastModified": modified}

    def info(self, path, **kwargs):
        path = self._strip_protocol(path)
        bucket, key = _split(path)
        if not bucket:
            return {"name": "", "size": 0, "type": "directory"}
        if not key:
            self._call("head_bucket", path, Bucket=bucket)
            return {"name": bucket, "size": 0, "type": "directory"}
        try:
            head = self._call("head_object", path, Bucket=bucket, Key=key)
            return self._file_entry(path, head["ContentLength"], head.get("ETag"),
                                    head.get("LastModified"))
        except FileNotFoundError:
            # A "folder": keys under KEY/.
            listed = self._call("list_objects_v2", path, Bucket=bucket,
                                Prefix=key + "/", Delimiter="/", MaxKeys=1)
            if listed.get("KeyCount", 0) or listed.get("Contents") or \
                    listed.get("CommonPrefixes"):
                return {"name": path, "size": 0, "type": "directory"}
            raise

    def ls(self, path, detail=True, **kwargs):
        path = self._strip_protocol(path)
        bucket, key = _split(path)
        if not bucket:
            answer = self._call("list_buckets", "")
            entries = [{"name": b["Name"], "size": 0, "type": "directory"}
                       for b in answer.get("Buckets", [])]
        else:
            entries = self._list(bucket, key + "/" if key else "")
            if not entries and key:
                entries = [self.info(path)]
                if entries[0]["type"] == "directory":
                    entries = []
        return entries if detail else sorted(e["name"] for e in entries)

    def _list(self, bucket, prefix):
        entries = []
        arguments = {"Bucket": bucket, "Prefix": prefix, "Delimiter": "/"}
        tokens = set()
        for _ in range(_MOST_PAGES):
            page = self._call("list_objects_v2", bucket + "/" + prefix, **arguments)
            for folder in page.get("CommonPrefixes", []):
                entries.append({"name": bucket + "/" + folder["Prefix"].rstrip("/"),
                                "size": 0, "type": "directory"})
            for item in page.get("Contents", []):
                if item["Key"] != prefix:  # the folder's own marker
                    entries.append(self._file_entry(bucket + "/" + item["Key"], item["Size"],
                                                    item.get("ETag"), item.get("LastModified")))
            token = page.get("NextContinuationToken")
            if not page.get("IsTruncated") or not token or token in tokens:
                break
            tokens.add(token)
            arguments["ContinuationToken"] = token
        return entries

    def _open(self, path, mode="rb", block_size=None, autocommit=True,
              cache_options=None, **kwargs):
        if mode != "rb":
            raise OSError(errno.EROFS, "objects are read only here", self.unstrip_protocol(path))
        return S3File(self, path, mode, block_size=block_size or self.blocksize,
                      cache_options=cache_options, **kwargs)


class S3File(AbstractBufferedFile):
    """An object read with ranged GETs of BLOCK_SIZE, the last KEPT_BLOCKS
    kept."""

    def __init__(self, fs, path, mode="rb", **kwargs):
        kwargs.setdefault("cache_type", "block")
        if kwargs["cache_type"] == "block" and not kwargs.get("cache_options"):
            kwargs["cache_options"] = {"maxblocks": KEPT_BLOCKS}
        super().__init__(fs, path, mode, **kwargs)
        self.etag = self.details.get("ETag")
        if self.details.get("type") != "file":
            raise IsADirectoryError(errno.EISDIR, "not an object", fs.unstrip_protocol(path))

    def _fetch_range(self, start, end):
        if end <= start:
            return b""
        bucket, key = _split(self.path)
        arguments = {"Bucket": bucket, "Key": key, "Range": "bytes=%d-%d" % (start, end - 1)}
        if self.etag:
            arguments["IfMatch"] = self.etag
        answer = self.fs._call("get_object", self.path, **arguments)
        body = answer["Body"]
        try:
            # Never more than was asked for, whatever the server sends.
            data = body.read(end - start)
        except Exception as failure:
            raise _error(failure, self.fs.unstrip_protocol(self.path)) from failure
        finally:
            body.close()
        return data


def _plain_settings(fs):
    """Whether `fs` reads S3 as the environment says, so that kob's own
    reader, which takes only the environment, reads the same objects."""
    if isinstance(fs, S3FileSystem):
        return not fs.options
    return not getattr(fs, "storage_options", None)


def open_packed(fs, path, plain=False):
    """Opens the object BUCKET/KEY of the S3 file system `fs` for kob.

    Returns: (reader, file): a kob.Reader, and the file object it reads
    through (None when kob reads the URL itself), to close after it.
    """
    from . import open as kob_open
    # The object's URL as the file system names it (s3fs's too).
    url = fs.unstrip_protocol(fs._strip_protocol(path))
    if _kob.reads_url(url) and _plain_settings(fs):
        try:
            return kob_open(url, plain=plain), None
        except OSError as failure:
            # A build without the s3:// source says so; fall back.
            if failure.errno != errno.EPROTONOSUPPORT:
                raise
    inner = fs.open(fs._strip_protocol(path), "rb")
    try:
        return kob_open(inner, plain=plain), inner
    except BaseException:
        inner.close()
        raise
