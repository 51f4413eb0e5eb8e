# SPDX-License-Identifier: GPL-2.0-or-later
"""kob's readers: RawReader and the buffered Reader over it."""

import errno
import io
import os

from . import _kob

# What readall and a read of unknown length take at a time: the data's size
# is a claim of the headers until the bytes have been decompressed.
_READ_PIECE = 8 << 20


def _is_file_object(file):
    return hasattr(file, "read") or hasattr(file, "readinto") or hasattr(file, "write")


class RawReader(io.RawIOBase):
    """The data of a packed file (or, with plain=True, of any file), read
    unbuffered.

    RawReader(file, *, partial=False, plain=False, threads=1, cacert=None, s3=None)

    file: a path (str, bytes, os.PathLike), a URL (http://, https://, s3://)
    or a file object opened for reading in binary, read from where it
    stands: through its readinto (or read) and seek when it seeks, in order
    as a stream when it does not.

    Holds a position and reads with readinto at it; a file that seeks seeks
    with all three whences (SEEK_END counts from the data's size); a stream
    reads in order and seeks forward only. Most callers want the buffered
    Reader that kob.open gives. With partial=True a read decompresses a
    chunk only as far as it needs: faster lookups, but damage late in a
    chunk that a read does not reach goes unnoticed. With plain=True a file
    that is not packed reads as it is, as `kob -dcf` passes it through.
    cacert names a PEM file of certificate authorities an https server's
    certificate may chain to, beside the system's, as `kob --cacert` (None:
    CURL_CA_BUNDLE, else SSL_CERT_FILE, as curl takes them).
    s3 gives the settings an s3:// URL is read with (see kob.open).

    Raises: NotPackedError when the file is not packed (and not plain);
    OSError (FileNotFoundError, ...) when it cannot be opened.
    """

    def __init__(self, file, *, partial=False, plain=False, threads=1, cacert=None, s3=None):
        super().__init__()
        if _is_file_object(file):
            self._file = file
            self._name = getattr(file, "name", "")
        else:
            self._file = self._name = os.fspath(file)
        self._partial = bool(partial)
        self._plain = bool(plain)
        self._threads = threads
        self._cacert = None if cacert is None else os.fspath(cacert)
        if self._cacert is not None and (not isinstance(self._cacert, str) or "\0" in self._cacert):
            raise ValueError("cacert: a path as str, without NUL")
        self._s3 = s3
        self._core = _kob.Reader(self._file, self._partial, self._plain, threads,
                                 self._cacert or "", self._s3)
        self._position = 0

    @property
    def name(self):
        """The path or URL the file was opened with; a file object's name."""
        return self._name

    @property
    def mode(self):
        return "rb"

    @property
    def packed(self):
        """True when the file is packed, False when it reads plain."""
        return self._core.packed

    @property
    def partial(self):
        """Whether reads decompress chunks only as far as they need."""
        return self._partial

    @property
    def plain(self):
        """Whether a file that is not packed was to read as it is."""
        return self._plain

    def readable(self):
        self._checkClosed()
        return True

    def seekable(self):
        self._checkClosed()
        return self._core.seekable

    def writable(self):
        self._checkClosed()
        return False

    def readinto(self, buffer):
        """Reads into `buffer` at the position and moves it by the count.

        Returns: the bytes read, 0 at the end of the data. Bytes before
        damage are served; a read that starts on damage raises DamageError.
        """
        self._checkClosed()
        got = self._core.readinto_at(buffer, self._position)
        self._position += got
        return got

    def readall(self):
        """Reads from the position to the end of the data.

        Returns: bytes. Raises: DamageError when damage stops it short (the
        position then stays where it was).
        """
        self._checkClosed()
        parts = []
        position = self._position
        while True:
            data = self._core.pread(_READ_PIECE, position)
            if not data:
                break
            parts.append(data)
            position += len(data)
        self._position = position
        return b"".join(parts)

    def seek(self, offset, whence=io.SEEK_SET):
        """Moves the position: from the start (SEEK_SET), the position
        (SEEK_CUR) or the end of the data (SEEK_END). A position past the
        end is allowed and reads nothing. A stream moves forward only.

        Returns: the new position.
        Raises: OSError (EINVAL) for a position before the start; ValueError
        for another whence; DamageError when damage hides the end (SEEK_END);
        io.UnsupportedOperation for a stream moved back or to its end.
        """
        self._checkClosed()
        offset = offset.__index__()
        if whence == io.SEEK_SET:
            target = offset
        elif whence == io.SEEK_CUR:
            target = self._position + offset
        elif whence == io.SEEK_END:
            if not self._core.seekable:
                raise io.UnsupportedOperation("a stream has no known end")
            target = self._core.size() + offset
        else:
            raise ValueError("invalid whence (%r, should be 0, 1 or 2)" % (whence,))
        if target < 0:
            raise OSError(errno.EINVAL, "Invalid argument", _shown(self._name))
        if target < self._position and not self._core.seekable:
            raise io.UnsupportedOperation("a stream cannot move back")
        self._position = target
        return target

    def tell(self):
        """Returns: the position, in bytes of the data."""
        self._checkClosed()
        return self._position

    def size(self):
        """Returns: the size of the data (of the plain file packed).
        Raises: DamageError when damage hides the end; OSError (ESPIPE) for
        a stream."""
        self._checkClosed()
        return self._core.size()

    def pread(self, n, offset):
        """Reads up to `n` bytes at `offset` without moving the position;
        any number of threads at once.

        Returns: bytes, fewer than n where the data ends (b"" at or past the
        end) or where damage stops it short.
        Raises: DamageError when the read starts on damage; ValueError for a
        negative n or offset, or when closed.
        """
        return self._core.pread(n, offset)

    def readinto_at(self, buffer, offset):
        """Reads into the writable buffer `buffer` at `offset`, without
        moving the position; any number of threads at once.

        Returns: the bytes read (int). Raises as pread.
        """
        return self._core.readinto_at(buffer, offset)

    def close(self):
        """Closes the file; reads under way in other threads finish first.
        A file object given is not closed."""
        if not self.closed:
            self._core.close()
        super().close()

    def __reduce__(self):
        if _is_file_object(self._file):
            raise TypeError("cannot pickle a kob reader of a file object")
        return (_reopen_raw, (self._file, self._partial,
                              self.tell() if not self.closed else 0, self._plain,
                              self._threads, self._cacert, self._s3))

    def __repr__(self):
        return "<kob.RawReader name=%r>" % (_shown(self._name),)


class Reader(io.BufferedReader):
    """A packed file's data, buffered: what kob.open(file) gives.

    Reader(file, *, partial=False, plain=False, threads=1, cacert=None,
           buffer_size=io.DEFAULT_BUFFER_SIZE)

    An io.BufferedReader over a RawReader (see there for `file`, partial,
    plain and cacert): read, read1, readinto, readline, iteration, peek, seek (all
    three whences), tell, with; wrap it in io.TextIOWrapper for text, hand
    it to tarfile or zipfile. pread and readinto_at read at a position
    without moving it, from any thread.

    A reader of a path or URL pickles as its name, options and position,
    and reopens on loading.
    """

    def __init__(self, file, *, partial=False, plain=False, threads=1, cacert=None, s3=None,
                 buffer_size=io.DEFAULT_BUFFER_SIZE):
        super().__init__(RawReader(file, partial=partial, plain=plain,
                                   threads=threads, cacert=cacert, s3=s3), buffer_size)

    @property
    def packed(self):
        """True when the file is packed, False when it reads plain."""
        return self.raw.packed

    def size(self):
        """Returns: the size of the data. Raises: DamageError when damage
        hides the end; ValueError when closed."""
        return self.raw.size()

    def pread(self, n, offset):
        """Reads up to `n` bytes at `offset` without moving the position;
        any number of threads at once, the GIL released while reading.

        Returns: bytes, fewer than n where the data ends (b"" at or past the
        end) or where damage stops it short.
        Raises: DamageError when the read starts on damage; OSError when the
        read fails; ValueError for a negative n or offset, or when closed.
        """
        return self.raw._core.pread(n, offset)

    def readinto_at(self, buffer, offset):
        """Reads into the writable buffer `buffer` (bytearray, memoryview,
        array, mmap, ...) at `offset`, without moving the position; any
        number of threads at once, the GIL released while reading.

        Returns: the bytes read (int), fewer than len(buffer) where the data
        ends. Raises: as pread; BufferError for a read-only buffer.
        """
        return self.raw._core.readinto_at(buffer, offset)

    def __reduce__(self):
        raw = self.raw
        if _is_file_object(raw._file):
            raise TypeError("cannot pickle a kob reader of a file object")
        position = self.tell() if not self.closed else 0
        return (_reopen, (raw._file, raw.partial, position, raw.plain, raw._threads,
                          raw._cacert, raw._s3))

    def __repr__(self):
        return "<kob.Reader name=%r>" % (_shown(self.raw.name),)


def _shown(name):
    """A name as kob's messages show it: a URL without its user, password,
    query or fragment. A file object's name (not a str or bytes) as it is."""
    if isinstance(name, (str, bytes)) and name:
        return _kob.shown_name(name)
    return name


def _reopen(path, partial, position, plain=False, threads=1, cacert=None, s3=None):
    reader = Reader(path, partial=partial, plain=plain, threads=threads, cacert=cacert, s3=s3)
    reader.seek(position)
    return reader


def _reopen_raw(path, partial, position, plain=False, threads=1, cacert=None, s3=None):
    reader = RawReader(path, partial=partial, plain=plain, threads=threads, cacert=cacert,
                       s3=s3)
    reader.seek(position)
    return reader
