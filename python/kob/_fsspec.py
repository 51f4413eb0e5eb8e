# SPDX-License-Identifier: GPL-2.0-or-later
"""The fsspec file system "kob": the plain data of packed files, where
fsspec (and so Dask, pandas, ...) reads.

    fsspec.open("kob://data/x.kob")              # a local path
    fsspec.open("kob::https://host/x.kob")       # chained: any fsspec URL
    fsspec.open("kob::s3://bucket/x.kob", s3={"endpoint_url": ..., "key": ...})
    fsspec.open("kob::memory://x.kob")
    dask.bag.read_text("kob://logs/*.kob", blocksize="16MiB")

pandas 1.5 takes no chained URL; a kob:// URL with storage options naming
the target takes any (Dask takes both forms):

    pd.read_csv("kob:///data/x.csv.kob")
    pd.read_csv("kob://host:8080/x.csv.kob", storage_options={"target_protocol": "https"})
    pd.read_csv("kob://bucket/x.csv.kob", storage_options={
        "target_protocol": "s3", "target_options": {"endpoint_url": ..., ...}})

A local file, an http(s) URL (without options) and an s3:// object (with
the options given, as s3fs names them) are read by kob's own readers,
which take up the saved index beside them; any other backend through the
file object its file system opens. The files are read only. ls, glob,
exists, isdir and isfile are the target file system's; info of a file
gives its plain size (from the saved index, or a walk of the headers) as
"size" and the target's as "packed_size"; ls gives each file's target size
as "packed_size" and "size" None (finding it reads each file).

"kob" is also an fsspec compression: fsspec.open("x.csv.kob",
compression="kob") reads the data whole through kob.open.

The readers are shared: within a process, the files opened on one packed
file (as long as it keeps its size, and for a local file its inode and
times) read through one kob reader, so its chunk index is learned once
however many of a Dask worker's partitions read it. The file system and
its files pickle: a file reopens where it stood.
"""

import collections
import errno
import io
import os
import threading
from types import SimpleNamespace

import fsspec
from fsspec.implementations.local import LocalFileSystem
from fsspec.spec import AbstractFileSystem
from fsspec.core import split_protocol
from fsspec.utils import tokenize

from . import _kob, _s3

# The buffer of a file: the reads that look for a delimiter or a line take
# 64 KiB, as a reader reads ahead.
_BUFFER = 64 * 1024
# What a large read reads at a time.
_PIECE = 1 << 20
# Readers kept open in a process, the most recently opened first.
_KEPT_READERS = 8


class _Shared:
    """A kob reader of one packed file, shared by the files of this
    process that read it, and the file object it reads through (closed
    with it when the last of them lets it go)."""

    def __init__(self, reader, inner):
        self.reader = reader
        self.inner = inner
        self.size = None

    def plain_size(self):
        if self.size is None:
            self.size = self.reader.size()
        return self.size

    def __del__(self):
        try:
            self.reader.close()
            if self.inner is not None:
                self.inner.close()
        except Exception:
            pass  # at exit, or the target's own close failing: nothing to tell


class _Kept:
    """The process's shared readers, by file system, path and identity."""

    def __init__(self):
        self.door = threading.Lock()
        self.pid = os.getpid()
        self.readers = collections.OrderedDict()

    def get(self, key, opener):
        with self.door:
            if self.pid != os.getpid():
                # Forked: a reader's connections are the parent's.
                self.readers = collections.OrderedDict()
                self.pid = os.getpid()
            shared = self.readers.get(key)
            if shared is not None:
                self.readers.move_to_end(key)
                return shared
        shared = _Shared(*opener())
        with self.door:
            self.readers[key] = shared
            self.readers.move_to_end(key)
            while len(self.readers) > _KEPT_READERS:
                self.readers.popitem(last=False)
        return shared

    def forget(self, shared):
        with self.door:
            for key, kept in list(self.readers.items()):
                if kept is shared:
                    del self.readers[key]


_kept = _Kept()


class _RawView(io.RawIOBase):
    """A position in a shared reader's data. `renew` gives a fresh shared
    reader, for a view that meets a changed object before it served a byte."""

    def __init__(self, shared, name, renew):
        super().__init__()
        self.shared = shared
        self.name = name
        self.renew = renew
        self.position = 0
        self.served = False

    @property
    def mode(self):
        return "rb"

    def readable(self):
        return True

    def seekable(self):
        return True

    def readinto(self, buffer):
        self._checkClosed()
        got = self.read_at("readinto_at", buffer, self.position)
        self.position += got
        return got

    def read_at(self, method, *arguments):
        """The shared reader's pread or readinto_at."""
        try:
            got = getattr(self.shared.reader, method)(*arguments)
        except OSError as failure:
            if failure.errno != errno.ESTALE:
                raise
            # The object changed: files opened from now on read it anew,
            # and so does this one if it has served nothing yet (else it
            # would serve bytes of two versions).
            _kept.forget(self.shared)
            if self.served:
                raise
            self.shared = self.renew()
            got = getattr(self.shared.reader, method)(*arguments)
        self.served = True
        return got

    def seek(self, offset, whence=io.SEEK_SET):
        self._checkClosed()
        if whence == io.SEEK_SET:
            target = offset
        elif whence == io.SEEK_CUR:
            target = self.position + offset
        elif whence == io.SEEK_END:
            target = self.shared.plain_size() + offset
        else:
            raise ValueError("invalid whence (%r, should be 0, 1 or 2)" % (whence,))
        if target < 0:
            raise OSError(errno.EINVAL, "Invalid argument", shown_name(self.name))
        self.position = target
        return target

    def tell(self):
        self._checkClosed()
        return self.position

    def close(self):
        super().close()
        self.shared = None  # the last view let go closes the reader


class KobFile(io.BufferedReader):
    """A file of the kob file system: the plain data of one packed file,
    buffered, read only. `fs` and `path` say where it is; `size` is the
    data's size. Pickles as its file system, path and position."""

    def __init__(self, fs, path, shared):
        super().__init__(_RawView(shared, fs.unstrip_protocol(path),
                                  lambda: fs._shared(path)), _BUFFER)
        self.fs = fs
        self.path = path

    @property
    def size(self):
        return self.raw.shared.plain_size()

    def read(self, size=-1):
        """Reads up to `size` bytes (to the end when negative or None).

        A read larger than the buffer reads exactly its bytes, no further:
        a Dask partition's read ends a line past its block, and reading on
        would decompress chunks of the next partition's.
        """
        if size is not None and 0 <= size <= _BUFFER:
            return super().read(size)
        position = self.tell()
        self.seek(position)  # drops the buffer: the view stands at `position`
        pieces = []
        left = -1 if size is None or size < 0 else size
        raw = self.raw
        while left:
            # Pieces of _PIECE: a larger pread asks the data's size first,
            # which without a saved index walks every header to the end.
            piece = raw.read_at("pread", _PIECE if left < 0 else min(left, _PIECE), position)
            if not piece:
                break
            pieces.append(piece)
            position += len(piece)
            left -= len(piece) if left > 0 else 0
        self.seek(position)
        return b"".join(pieces)

    def __reduce__(self):
        return (_reopen, (self.fs, self.path, 0 if self.closed else self.tell()))

    def __repr__(self):
        return "<kob.KobFile %s>" % (shown_name(self.raw.name),)


def shown_name(name):
    """A kob:// name as kob's messages show a URL: without its user,
    password, query or fragment (kob::http://u:pw@host/x?q shows as
    kob::http://host/x)."""
    for prefix in ("kob::", "kob://"):
        if name.startswith(prefix):
            return prefix + (_kob.shown_name(name[len(prefix):]) or "")
    return _kob.shown_name(name) or ""


def _reopen(fs, path, position):
    opened = fs.open(path, "rb")
    opened.seek(position)
    return opened


class _StripProtocol:
    """KobFileSystem._strip_protocol: on the class (as fsspec calls it on
    the pieces of a chained URL) it takes off "kob://"; on a file system
    chained to another it also makes the path that one's, and the empty
    path of a chained URL ("kob::https://host/x.kob") the target's."""

    def __get__(self, instance, owner):
        if instance is None:
            return owner._strip_kob
        return instance._strip_for_target


class KobFileSystem(AbstractFileSystem):
    """The plain data of packed files, over another fsspec file system.

    KobFileSystem(target_protocol=None, target_options=None, fo=None,
                  plain=False)

    target_protocol: where the packed files are ("file" when None: local
        paths); target_options: the options of that file system; fo: the
        target path a chained URL gave. fsspec sets all three from a URL
        such as "kob::s3://bucket/x.kob" and its storage options (the
        target's under its protocol: storage_options={"s3": {...}}).
    plain: a file that is not packed reads as it is; without it, opening
        one (or its info) raises kob.NotPackedError.
    """

    protocol = "kob"
    root_marker = ""
    _strip_protocol = _StripProtocol()

    def __init__(self, target_protocol=None, target_options=None, fo=None,
                 plain=False, **kwargs):
        super().__init__(**kwargs)
        protocol = target_protocol or "file"
        if isinstance(protocol, (tuple, list)):
            protocol = protocol[0]
        self.target_protocol = "file" if protocol == "local" else protocol
        self.target_options = dict(target_options or {})
        self.fo = fo
        self.plain = bool(plain)
        self._target = None
        self._door = threading.Lock()
        self._key = tokenize(self.target_protocol, self.target_options, self.plain)

    @property
    def target(self):
        """The file system the packed files are on, made at first use."""
        with self._door:
            if self._target is None:
                self._target = fsspec.filesystem(self.target_protocol,
                                                 **self.target_options)
            return self._target

    @property
    def _local(self):
        return self.target_protocol == "file"

    @classmethod
    def _strip_kob(cls, path):
        # Only "kob://" comes off: what the path is depends on the target,
        # which the options given with the URL name (pandas's and Dask's
        # storage_options={"target_protocol": "s3"}), known to the
        # instance alone.
        path = os.fspath(path) if not isinstance(path, str) else path
        for prefix in ("kob://", "kob::"):
            if path.startswith(prefix):
                return path[len(prefix):]
        return path

    def _strip_for_target(self, path):
        path = self._strip_kob(path)
        if not path and self.fo:
            path = self.fo
        if self._local:
            return LocalFileSystem._strip_protocol(path) if path else path
        if self.target_protocol in ("http", "https") and split_protocol(path)[0] is None:
            # kob://HOST/PATH with target_protocol "https": a URL again, as
            # fsspec writes one of that protocol.
            path = AbstractFileSystem.unstrip_protocol(
                SimpleNamespace(protocol=self.target_protocol), path)
        return get_class(self.target_protocol)._strip_protocol(path)

    def unstrip_protocol(self, name):
        if self._local:
            return "kob://" + name
        return "kob::" + self.target.unstrip_protocol(name)

    # What passes through to the target.
    def ls(self, path, detail=True, **kwargs):
        entries = self.target.ls(self._strip_protocol(path), detail=True, **kwargs)
        listed = []
        for entry in entries:
            entry = dict(entry)
            if entry.get("type") == "file":
                entry["packed_size"] = entry.get("size")
                entry["size"] = None
            listed.append(entry)
        return listed if detail else [entry["name"] for entry in listed]

    def glob(self, path, **kwargs):
        return self.target.glob(self._strip_protocol(path), **kwargs)

    def exists(self, path, **kwargs):
        return self.target.exists(self._strip_protocol(path), **kwargs)

    def isdir(self, path):
        return self.target.isdir(self._strip_protocol(path))

    def isfile(self, path):
        return self.target.isfile(self._strip_protocol(path))

    def info(self, path, **kwargs):
        path = self._strip_protocol(path)
        found = dict(self.target.info(path, **kwargs))
        if found.get("type") != "file":
            return found
        shared = self._shared(path, found)
        found["packed_size"] = found.get("size")
        found["size"] = shared.plain_size()
        return found

    def _open(self, path, mode="rb", block_size=None, autocommit=True,
              cache_options=None, **kwargs):
        if mode != "rb":
            raise OSError(errno.EROFS, "kob:// files are read only", self.unstrip_protocol(path))
        path = self._strip_protocol(path)
        return KobFile(self, path, self._shared(path))

    def splits(self, path, n):
        """kob.splits of the packed file at `path`: up to n (start, end)
        ranges of its data, each starting on a chunk start."""
        from ._splits import splits
        path = self._strip_protocol(path)
        own = self._own_name(path)
        if own is not None:
            return splits(own[0], n, s3=own[1])
        with self.target.open(path, "rb") as inner:
            return splits(inner, n)

    def _own_name(self, path):
        """Returns: (name, s3 options) for kob's own readers where they read
        the target's files: a local path; an http(s) URL without options
        (headers, authentication) that kob's reader cannot take; every
        s3:// object, with the target's options. Else None."""
        if self._local:
            return path, None
        if self.target_protocol in ("http", "https") and not self.target_options:
            return path, None
        if self.target_protocol in ("s3", "s3a"):
            return self.target.unstrip_protocol(path), _s3.library_options(self.target_options)
        return None

    def _shared(self, path, found=None):
        """The process's shared reader of the packed file at `path`."""
        if self._local:
            status = os.stat(path)
            identity = (status.st_dev, status.st_ino, status.st_size,
                        status.st_mtime_ns, status.st_ctime_ns)
        else:
            found = found if found is not None else self.target.info(path)
            if found.get("type") == "directory":
                raise IsADirectoryError(errno.EISDIR, "a directory",
                                        self.unstrip_protocol(path))
            identity = tuple(str(found.get(name)) for name in (
                "size", "ETag", "etag", "LastModified", "last_modified", "mtime"))
        # Where the target is, beyond its options (an S3 endpoint from the
        # environment, say).
        place = getattr(self.target, "place", None)
        where = (self._key, place() if callable(place) else None, path)
        return _kept.get(where + (identity,), lambda: self._open_reader(path))

    def _open_reader(self, path):
        """Returns: (reader, the file object it reads through or None)."""
        from . import open as kob_open
        own = self._own_name(path)
        if own is not None:
            return kob_open(own[0], plain=self.plain, s3=own[1]), None
        inner = self.target.open(path, "rb")
        try:
            return kob_open(inner, plain=self.plain), inner
        except BaseException:
            inner.close()
            raise


def get_class(protocol):
    return fsspec.get_filesystem_class(protocol)


def _compressed(infile, mode="rb", **kwargs):
    """fsspec's compression "kob": the packed file `infile` read (or
    written) through kob.open."""
    from . import open as kob_open
    return kob_open(infile, mode, **kwargs)


def register():
    """Registers "kob" with fsspec as a file system and as a compression
    (fsspec.open("x.csv.kob", compression="kob") reads the data whole), and
    kob's own s3:// where s3fs is not installed (fsspec needs one to take a
    URL such as kob::s3://b/x.kob apart).

    The extension .kob is not mapped to the compression: fsspec and Dask
    infer a compression from the last extension of every path, those of
    kob:// included, and Dask refuses to split a file it takes for
    compressed, so kob:// files would no longer be split.
    """
    import importlib.util
    from fsspec.compression import register_compression
    fsspec.register_implementation("kob", KobFileSystem, clobber=True)
    register_compression("kob", _compressed, [], force=True)
    if importlib.util.find_spec("s3fs") is None:
        for protocol in ("s3", "s3a"):
            if protocol not in fsspec.registry:
                fsspec.register_implementation(protocol, _s3.S3FileSystem, clobber=True)
