# SPDX-License-Identifier: GPL-2.0-or-later
"""s3:// for kob's fsspec file system, where s3fs is not installed: objects
listed (info, ls, glob) through botocore (Debian's python3-botocore). Their
data is read by kob's own S3 reader only, the one kob.open("s3://...")
uses, with every check it makes (the ETag held, each answer's status and
Content-Range, deadlines, ESTALE for an object replaced).

The settings are those kob's reader takes (kob._kob.s3_settings finds them
as the library does): the options given first, then the environment
(AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_SESSION_TOKEN, AWS_REGION,
AWS_DEFAULT_REGION, AWS_ENDPOINT_URL_S3, AWS_ENDPOINT_URL, AWS_PROFILE),
then the profile's files. The options are named as s3fs names them:

    key, secret, token (or username, password), endpoint_url, region,
    profile, anon=True for unsigned requests, client_kwargs={
    "endpoint_url": ..., "region_name": ...}

Options about fsspec's own caching and reading blocks are taken and have
nothing to do here; any other is refused (ValueError), since kob could not
honour it.
"""

import errno
import os
import threading

from fsspec.spec import AbstractFileSystem

from . import _kob

# The pages of a listing one call follows at most (a thousand keys a page):
# a server that always says "more" cannot keep it going.
_MOST_PAGES = 100000

# The options of an S3 file system as kob's reader names them, by the names
# fsspec's S3 file systems give them.
_NAMED = {"key": "key", "username": "key", "secret": "secret", "password": "secret",
          "token": "token", "endpoint_url": "endpoint_url", "region": "region",
          "profile": "profile", "anon": "anon"}
_CLIENT_NAMED = {"endpoint_url": "endpoint_url", "region_name": "region",
                 "aws_access_key_id": "key", "aws_secret_access_key": "secret",
                 "aws_session_token": "token"}
# Options that say how fsspec caches and reads blocks: nothing to kob.
_IGNORED = {"block_size", "default_block_size", "default_fill_cache", "default_cache_type",
            "cache_regions", "skip_instance_cache", "use_listings_cache",
            "listings_expiry_time", "max_paths", "asynchronous", "loop"}


def library_options(options):
    """The S3 options of an fsspec file system (s3fs's names) as kob.open's
    s3= takes them: a dict of endpoint_url, region, key, secret, token,
    profile, anon.

    Raises: ValueError for an option kob's reader cannot honour.
    """
    taken = {}
    for name, value in (options or {}).items():
        if name in _IGNORED or value is None:
            continue
        if name == "client_kwargs":
            for inner, given in (value or {}).items():
                if inner not in _CLIENT_NAMED:
                    raise ValueError("kob's S3 reader cannot honour client_kwargs[%r]" % inner)
                if given is not None:
                    taken.setdefault(_CLIENT_NAMED[inner], given)
            continue
        if name not in _NAMED:
            raise ValueError("kob's S3 reader cannot honour the option %r" % name)
        taken[_NAMED[name]] = bool(value) if name == "anon" else value
    return taken


def settings(options=None):
    """Returns: dict of key, secret, token, region, endpoint_url: what kob's
    reader would sign and send with, given the fsspec options `options`.
    Raises: OSError (EINVAL) for settings that cannot be used, as opening
    an s3:// URL would."""
    return _kob.s3_settings(library_options(options))


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
    """s3://BUCKET/KEY listed through botocore: info (HeadObject), ls and
    glob (ListObjectsV2). Objects are not opened here: kob:// reads them
    (kob::s3://BUCKET/KEY) through kob's own S3 reader.

    S3FileSystem(**options): the options library_options takes.
    Paths are "BUCKET/KEY"; "" lists the buckets.
    """

    protocol = ("s3", "s3a")
    root_marker = ""

    def __init__(self, **options):
        super().__init__(**{name: options.pop(name) for name in list(options)
                            if name in ("skip_instance_cache", "use_listings_cache",
                                        "listings_expiry_time", "max_paths")})
        library_options(options)  # what kob cannot honour is refused now
        self.options = {name: value for name, value in options.items()
                        if name not in _IGNORED and value is not None}
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
        raise NotImplementedError(
            "kob's s3:// file system lists objects only: kob:// reads them "
            "(kob::s3://BUCKET/KEY, or kob://BUCKET/KEY with target_protocol 's3'); "
            "s3fs, once installed, opens objects as they are")
