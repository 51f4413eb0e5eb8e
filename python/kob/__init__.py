# SPDX-License-Identifier: GPL-2.0-or-later
"""Packed data files read back with random access.

A packed file holds its data in chunks of 16 KiB (by default), each
compressed on its own with LZO1X-999. kob reads it as if it were the plain
file it was packed from, decompressing only the chunks that hold the bytes
asked for; a file that is not packed reads as it is (with positional
reads of its own descriptor: the C++ kob::SharedReader under packed files
reads packed files only).

    import kob

    with kob.open("dictionary.data.kob", "wb") as out:   # pack
        out.write(data)
    with kob.open("dictionary.data.kob") as f:           # read, seek, lines
        f.seek(1000)
        line = f.readline()
        entry = f.pread(300, 4096)                      # from any thread

Readers: kob.open(path) gives a Reader, an io.BufferedReader over a
RawReader; Reader.pread and Reader.readinto_at read at a position without
moving it, from any number of threads at once, the GIL released while they
read and decompress. A Reader pickles as its path, options and position,
so it can be handed to multiprocessing workers (a text wrapper does not:
pickle its .buffer).

Errors: damage in a packed file raises DamageError (an OSError) saying
what and where; a failed read or write raises OSError with its errno (so
FileNotFoundError, PermissionError, ...); a closed file raises ValueError.

The whole file: pack, unpack, scan, write_index, index_state.
"""

import io
import os
from collections import namedtuple

from . import _kob
from ._kob import DamageError

__all__ = [
    "DamageError", "Chunk", "RawReader", "Reader", "Writer", "open", "pack",
    "unpack", "scan", "write_index", "index_state", "DEFAULT_CHUNK_SIZE",
    "version",
]

#: The chunk size packed files are written with unless told otherwise.
DEFAULT_CHUNK_SIZE = 16384

#: The library's version, e.g. "0.2.0".
version = _kob.version

DamageError.__module__ = "kob"


class RawReader(io.RawIOBase):
    """The data of a packed (or plain) file, read unbuffered.

    RawReader(path, *, partial=False)

    Holds a position and reads with readinto at it; seekable with all three
    whences (SEEK_END counts from the data's size). Most callers want the
    buffered Reader that kob.open gives. With partial=True a read
    decompresses a chunk only as far as it needs: faster lookups, but damage
    late in a chunk that a read does not reach goes unnoticed.

    Raises: OSError (FileNotFoundError, ...) when the file cannot be opened.
    """

    def __init__(self, path, *, partial=False):
        super().__init__()
        self._path = os.fspath(path)
        self._partial = bool(partial)
        self._core = _kob.Reader(self._path, self._partial)
        self._position = 0

    @property
    def name(self):
        """The path the file was opened with."""
        return self._path

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

    def readable(self):
        self._checkClosed()
        return True

    def seekable(self):
        self._checkClosed()
        return True

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
            want = self._core.size() - position
            if want <= 0:
                break
            data = self._core.pread(want, position)
            if not data:
                break
            parts.append(data)
            position += len(data)
        self._position = position
        return b"".join(parts)

    def seek(self, offset, whence=io.SEEK_SET):
        """Moves the position: from the start (SEEK_SET), the position
        (SEEK_CUR) or the end of the data (SEEK_END). A position past the
        end is allowed and reads nothing.

        Returns: the new position.
        Raises: OSError (EINVAL) for a position before the start; ValueError
        for another whence; DamageError when damage hides the end (SEEK_END).
        """
        self._checkClosed()
        offset = offset.__index__()
        if whence == io.SEEK_SET:
            target = offset
        elif whence == io.SEEK_CUR:
            target = self._position + offset
        elif whence == io.SEEK_END:
            target = self._core.size() + offset
        else:
            raise ValueError("invalid whence (%r, should be 0, 1 or 2)" % (whence,))
        if target < 0:
            raise OSError(22, "Invalid argument", self._path)
        self._position = target
        return target

    def tell(self):
        """Returns: the position, in bytes of the data."""
        self._checkClosed()
        return self._position

    def size(self):
        """Returns: the size of the data (of the plain file packed).
        Raises: DamageError when damage hides the end."""
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
        """Closes the file; reads under way in other threads finish first."""
        if not self.closed:
            self._core.close()
        super().close()

    def __reduce__(self):
        return (_reopen_raw, (self._path, self._partial,
                              self.tell() if not self.closed else 0))


class Reader(io.BufferedReader):
    """A packed (or plain) file's data, buffered: what kob.open(path) gives.

    An io.BufferedReader over a RawReader: read, read1, readinto, readline,
    iteration, peek, seek (all three whences), tell, with; wrap it in
    io.TextIOWrapper for text, hand it to tarfile or zipfile. pread and
    readinto_at read at a position without moving it, from any thread.

    Pickles as its path, options and position, and reopens on loading.
    """

    def __init__(self, path, *, partial=False, buffer_size=io.DEFAULT_BUFFER_SIZE):
        super().__init__(RawReader(path, partial=partial), buffer_size)

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
        position = self.tell() if not self.closed else 0
        return (_reopen, (raw.name, raw.partial, position))

    def __repr__(self):
        return "<kob.Reader name=%r>" % (self.raw.name,)


def _reopen(path, partial, position):
    reader = Reader(path, partial=partial)
    reader.seek(position)
    return reader


def _reopen_raw(path, partial, position):
    reader = RawReader(path, partial=partial)
    reader.seek(position)
    return reader


class Writer(io.RawIOBase):
    """A packed file being written: what kob.open(path, "wb") gives.

    Writer(path, *, chunk_size=16384, threads=1, level=None)

    The bytes written are packed in chunks of chunk_size bytes of data,
    compressed by `threads` threads (0: one per core) at `level` (1..9,
    None for 8, the default), and are the same bytes the kob tool and
    KobFile write. The file is written under a temporary name in the same
    directory and renamed into place by close(): until then `path` is
    untouched. Leaving a `with` block by an exception, or abort(), discards
    the file instead.

    Raises: ValueError for an invalid chunk_size, threads or level; OSError
    when the file cannot be created.
    """

    def __init__(self, path, *, chunk_size=DEFAULT_CHUNK_SIZE, threads=1, level=None):
        super().__init__()
        self._path = os.fspath(path)
        self._core = _kob.Writer(self._path, chunk_size, threads, level)

    @property
    def name(self):
        """The path the file is written to."""
        return self._path

    @property
    def mode(self):
        return "wb"

    def readable(self):
        self._checkClosed()
        return False

    def seekable(self):
        self._checkClosed()
        return False

    def writable(self):
        self._checkClosed()
        return True

    def write(self, data):
        """Packs the bytes-like `data`.

        Returns: len(data) in bytes. Raises: OSError when writing a chunk
        failed; ValueError when closed.
        """
        self._checkClosed()
        return self._core.write(data)

    def tell(self):
        """Returns: the bytes of data written so far (uncompressed)."""
        self._checkClosed()
        return self._core.tell()

    def close(self):
        """Writes the last chunk and the end marker and renames the file
        into place. Later calls do nothing.

        Raises: OSError (or DamageError) when finishing the file failed;
        the file is then not created.
        """
        if self.closed:
            return
        try:
            self._core.close()
        finally:
            super().close()

    def abort(self):
        """Closes without finishing: the file is not created."""
        if not self.closed:
            self._core.abort()
        super().close()

    def __exit__(self, exc_type, exc, tb):
        if exc_type is not None:
            self.abort()
        else:
            self.close()

    def __reduce__(self):
        raise TypeError("cannot pickle a kob.Writer")

    def __repr__(self):
        return "<kob.Writer name=%r>" % (self._path,)


def open(path, mode="rb", *, partial=False, chunk_size=DEFAULT_CHUNK_SIZE,
         threads=1, encoding=None, errors=None, newline=None, level=None):
    """Opens a packed file (or, for reading, a plain one).

    path: str, bytes or os.PathLike.
    mode: "rb" (or "r b", "br"): a Reader, buffered binary.
          "rt" or "r": an io.TextIOWrapper over a Reader, with encoding,
                errors and newline passed on.
          "wb" (or "w"... binary only): a Writer that packs.
    partial: reading only: decompress a chunk only as far as a read needs.
    chunk_size, threads, level: writing only (see Writer); reading takes
          the chunk sizes the file was written with.

    Returns: a Reader, an io.TextIOWrapper or a Writer.
    Raises: ValueError for an invalid mode or option; OSError
    (FileNotFoundError, PermissionError, ...) when the file cannot be
    opened.
    """
    if not isinstance(mode, str):
        raise TypeError("mode must be a str, not %s" % type(mode).__name__)
    letters = set(mode)
    if len(letters) != len(mode) or not letters <= set("rwbt") or \
            len(letters & set("rw")) != 1 or letters >= set("bt"):
        raise ValueError("invalid mode: %r (use 'rb', 'rt' or 'wb')" % (mode,))
    binary = "b" in letters
    if "w" in letters:
        if not binary:
            raise ValueError("invalid mode: %r (writing is binary: 'wb')" % (mode,))
        if encoding is not None or errors is not None or newline is not None:
            raise ValueError("binary mode takes no encoding, errors or newline")
        if partial:
            raise ValueError("partial is for reading")
        return Writer(path, chunk_size=chunk_size, threads=threads, level=level)
    if chunk_size != DEFAULT_CHUNK_SIZE or threads != 1 or level is not None:
        raise ValueError("chunk_size, threads and level are for writing")
    if binary:
        if encoding is not None or errors is not None or newline is not None:
            raise ValueError("binary mode takes no encoding, errors or newline")
        return Reader(path, partial=partial)
    reader = Reader(path, partial=partial)
    try:
        return io.TextIOWrapper(reader, encoding=encoding, errors=errors,
                                newline=newline)
    except BaseException:
        reader.close()
        raise


#: A chunk as scan passes it: its number (0 for the first), the file offset
#: of its header, the position of its first byte in the data, its data size
#: (uncompressed bytes) and its payload size (stored bytes after the header).
Chunk = namedtuple("Chunk", "number offset position data_size payload_size")


def scan(path, *, check=False):
    """Walks a packed file chunk by chunk, as `kob -l` does.

    check: also decompress every payload (and check it against the saved
    index's checksums where there is a valid index), as `kob -t` does.

    Returns: a list of Chunk, in order.
    Raises: DamageError at the first damage met; OSError (EINVAL) when the
    file is not packed; OSError when it cannot be read.
    """
    return [Chunk(*chunk) for chunk in _kob.scan(path, check)]


def write_index(path):
    """Writes PATH.kbi, the saved index of the packed file at `path`, with a
    checksum of every payload: with it a new reader finds any chunk at once
    and checks every payload it reads. Written under a temporary name and
    renamed into place; writable by its owner only.

    Returns: the index's path (str or bytes as `path`).
    Raises: DamageError when the file is damaged; OSError (EINVAL) when it is
    not packed; OSError when it cannot be read or the index written.
    """
    written = _kob.write_index(path)
    return os.fsencode(written) if isinstance(os.fspath(path), bytes) else written


def index_state(path):
    """The state of the saved index (PATH.kbi) of the packed file at `path`.

    Returns: the word `kob -l` shows: "valid" (whole, and describes the
    file as it is), "unverified" (whole, but of a file it cannot tell is
    this one: a copy, an object elsewhere; used as a hint, dropped at the
    first disagreement), "none", "stale" (describes another file) or
    "unusable" (cut short, changed, unreadable, a link, not a regular file,
    or writable by others).
    """
    return _kob.index_state(path)


def pack(src, dst, *, level=None, threads=1, chunk_size=DEFAULT_CHUNK_SIZE):
    """Packs the file `src` into `dst`, as `kob` does: the same bytes.

    level: 1..9, None for the default (8). threads: compressing threads, 0
    for one per core. chunk_size: bytes of data a chunk, 1..65535. `dst` is
    written under a temporary name and renamed into place.

    Returns: None. Raises: ValueError for invalid options; OSError when
    reading `src` or writing `dst` fails.
    """
    _kob.pack(src, dst, level, threads, chunk_size)


def unpack(src, dst):
    """Writes the data of the packed file `src` to `dst`, as `kob -d` does.
    `dst` is written under a temporary name and renamed into place.

    Returns: None. Raises: DamageError when `src` is damaged (`dst` is then
    not created); OSError (EINVAL) when `src` is not packed; OSError when
    reading or writing fails.
    """
    _kob.unpack(src, dst)
