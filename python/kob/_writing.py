# SPDX-License-Identifier: GPL-2.0-or-later
"""kob's writers: RawWriter, the buffered Writer over it, and TextWriter."""

import io
import os
import weakref

from . import _kob
from ._reading import _is_file_object

#: The chunk size packed files are written with unless told otherwise.
DEFAULT_CHUNK_SIZE = 16384

# Bytes a Writer collects before it hands them to the packer: a few chunks,
# so that many small writes (a line at a time) cost about what one large
# one does.
_WRITE_BUFFER = 128 * 1024

# Counts the forks this process came through, as os.register_at_fork tells
# them: a writer opened before a fork is the parent's, and in the child
# every use of it raises, before even its buffer takes a byte. The buffered
# writers open are given a write that raises, so that the parent's writes
# pay for no check; the raw one checks (and the C++ half checks the pid,
# for a fork that Python did not see).
_forks = [0]
_buffered = weakref.WeakSet()


def _refuse(*args, **kwargs):
    _inherited(None)


def _forked():
    _forks[0] += 1
    for writer in list(_buffered):
        writer.write = _refuse
        writer.writelines = _refuse


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forked)

_MODES = {"w": "wb", "x": "xb", "a": "ab"}


def _inherited(raw):
    raise ValueError(
        "this kob writer was opened in the process that forked this one: a "
        "forked process cannot write to it (its file is still the parent's "
        "to finish); open another")


class RawWriter(io.RawIOBase):
    """A packed file being written, unbuffered: the raw part of a Writer.

    RawWriter(file, mode="w", *, chunk_size=16384, threads=1, level=None,
              seal=True)

    file: a path (str, bytes, os.PathLike), or a file object opened for
    writing in binary, written to where it stands and never closed here.
    mode: "w" writes a new file under a short private name beside `file`
    (mode 0600 until complete) and renames it into place at close, over a
    file already there; "x" does the same but refuses (FileExistsError) a
    name that exists, at open or at close; "a" appends a new packed member
    at the end of the file, never touching the bytes already there but to
    complete an end marker cut inside its back-link (a file missing is
    made as "x" makes one). A device or FIFO is written through, never
    replaced.

    The bytes written are packed in chunks of chunk_size bytes of data,
    compressed by `threads` threads (0: one per core; never more threads
    than cores, as `kob -T`) at `level` (1..9, None for 8, the default):
    the same bytes the kob tool writes. Sealed (seal=True, as the kob tool
    packs): after the end marker, a trailer with every chunk header and a
    checksum of every payload, which every reader checks each chunk
    against; seal=False writes the plain format, byte for byte what KobFile
    writes (`kob --no-seal`). An append ("a") to a sealed file adds a new
    member, sealed or not as `seal` says, and the file reads as one. A
    file renamed into place takes the permissions a new file gets (0666
    less the umask, as it stands at close).

    Raises: ValueError for an invalid chunk_size, threads or level;
    NotPackedError to append to a file that is not packed, DamageError to
    one that does not end in an end marker (cut short, data after it);
    OSError when the file cannot be created (EROFS for a URL).
    """

    def __init__(self, file, mode="w", *, chunk_size=DEFAULT_CHUNK_SIZE, threads=1,
                 level=None, seal=True):
        super().__init__()
        if mode not in _MODES:
            raise ValueError("invalid mode: %r (use 'w', 'x' or 'a')" % (mode,))
        if _is_file_object(file):
            self._name = getattr(file, "name", "")
        else:
            file = self._name = os.fspath(file)
        self._mode = _MODES[mode]
        self._fork = _forks[0]
        self._core = _kob.Writer(file, mode, chunk_size, threads, level, bool(seal))

    @property
    def name(self):
        """The path written to; a file object's name."""
        return self._name

    @property
    def mode(self):
        return self._mode

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
        failed; ValueError when closed, or in a process forked from the
        one that opened it.
        """
        self._checkClosed()
        if self._fork != _forks[0]:
            _inherited(self)
        return self._core.write(data)

    def tell(self):
        """Returns: the bytes of data written so far (uncompressed)."""
        self._checkClosed()
        if self._fork != _forks[0]:
            _inherited(self)
        return self._core.tell()

    def close(self):
        """Writes the last chunk and the end marker, and renames the file
        into place (or completes the member appended). Later calls do
        nothing. In a forked process it only lets go: the file is the
        parent's.

        Raises: OSError (or DamageError) when finishing the file failed;
        the file is then not created, an append undone.
        """
        if self.closed:
            return
        try:
            self._core.close()
        finally:
            super().close()

    def abort(self):
        """Closes without finishing: the file is not created, and a member
        appended is cut off again."""
        if not self.closed:
            self._core.abort()
        super().close()

    @property
    def inherited(self):
        """Whether this process was forked from the one that opened it."""
        return self._fork != _forks[0] or self._core.inherited

    def __exit__(self, exc_type, exc, tb):
        if exc_type is not None:
            self.abort()
        else:
            self.close()

    def __reduce__(self):
        raise TypeError("cannot pickle a kob writer")

    def __repr__(self):
        return "<kob.RawWriter name=%r mode=%r>" % (self._name, self._mode)


class Writer(io.BufferedWriter):
    """A packed file being written, buffered: what kob.open(file, "wb")
    gives.

    Writer(file, mode="w", *, chunk_size=16384, threads=1, level=None,
           buffer_size=131072, seal=True)

    An io.BufferedWriter over a RawWriter (see there for file, mode and
    the options): write, writelines, tell (bytes of data taken), with.
    Many small writes cost about what one large one does. flush() hands
    the buffer to the packer but writes no partial chunk: the packed file
    is complete only at close. Leaving a `with` block by an exception, or
    abort(), discards the file instead.
    """

    def __init__(self, file, mode="w", *, chunk_size=DEFAULT_CHUNK_SIZE, threads=1,
                 level=None, buffer_size=_WRITE_BUFFER, seal=True):
        super().__init__(RawWriter(file, mode, chunk_size=chunk_size,
                                   threads=threads, level=level, seal=seal),
                         buffer_size)
        _buffered.add(self)

    def close(self):
        if self.raw.inherited:
            self.raw.close()  # let go; nothing buffered is written
            return
        super().close()

    def abort(self):
        """Closes without finishing: what was written is dropped."""
        self.raw.abort()

    def __exit__(self, exc_type, exc, tb):
        if exc_type is not None:
            self.abort()
        else:
            self.close()

    def __reduce__(self):
        raise TypeError("cannot pickle a kob writer")

    def __repr__(self):
        return "<kob.Writer name=%r mode=%r>" % (self.raw.name, self.raw.mode)


class TextWriter(io.TextIOWrapper):
    """Text written to a Writer: what kob.open(file, "wt") gives. An
    io.TextIOWrapper whose `with` block discards the file when left by an
    exception, and which has abort()."""

    def __init__(self, buffer, **options):
        super().__init__(buffer, **options)
        _buffered.add(self)

    def abort(self):
        """Closes without finishing: what was written is dropped."""
        self.buffer.abort()

    def close(self):
        if not self.closed and self.buffer.raw.inherited:
            self.buffer.close()  # let go; nothing buffered is written
            return
        super().close()

    def __exit__(self, exc_type, exc, tb):
        if exc_type is not None:
            self.abort()
        else:
            self.close()
