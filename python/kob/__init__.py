# SPDX-License-Identifier: GPL-2.0-or-later
"""Packed data files read back with random access.

A packed file holds its data in chunks of 16 KiB (by default), each
compressed on its own with LZO1X-999. kob reads it as if it were the plain
file it was packed from, decompressing only the chunks that hold the bytes
asked for. kob.open works as gzip.open does, on paths, URLs and file
objects:

    import kob

    with kob.open("dictionary.data.kob", "wb") as out:   # pack
        out.write(data)
    with kob.open("dictionary.data.kob") as f:           # read, seek, lines
        f.seek(1000)
        line = f.readline()
        entry = f.pread(300, 4096)                      # from any thread
    packed = kob.compress(data)                          # in memory
    assert kob.decompress(packed) == data

Readers: kob.open(file) gives a Reader, an io.BufferedReader over a
RawReader; Reader.pread and Reader.readinto_at read at a position without
moving it, from any number of threads at once, the GIL released while they
read and decompress. A reader of a path or URL pickles as its name,
options and position, so it can be handed to multiprocessing workers (a
text wrapper does not: pickle its .buffer).

Writers: kob.open(file, "wb") gives a Writer, an io.BufferedWriter over a
RawWriter: a new file is private (0600) under a short name beside its
target until close renames it into place; "xb" refuses a name that
exists; "ab" appends a new packed member. A writer belongs to the process
that opened it: in a process forked from it, it raises ValueError.

Errors: data that is not packed raises NotPackedError (an OSError, as
gzip.BadGzipFile is), unless plain=True asks to read it as it is; damage
in a packed file raises DamageError (an OSError) saying what and where; a
failed read or write raises OSError with its errno (so FileNotFoundError,
PermissionError, ...); a closed file raises ValueError.

The whole file: pack, unpack, scan, write_index, index_state; splits cuts
the data into ranges on chunk starts for workers.

Beyond one machine: with fsspec installed, `import kob` registers the
fsspec protocol "kob" (kob._fsspec.KobFileSystem): fsspec.open("kob://x.kob"),
"kob::https://host/x.kob", "kob::s3://bucket/x.kob", Dask's
read_text("kob://logs/*.kob", blocksize=...) and pandas's
read_csv("kob://bucket/x.csv.kob", storage_options={"target_protocol":
"s3"}) read the plain data; and the fsspec compression "kob".
"""

import io as _io
import os as _os
from collections import namedtuple as _namedtuple

from . import _kob
from ._kob import DamageError, NotPackedError
from ._reading import RawReader, Reader, _is_file_object, _reopen, _reopen_raw
from ._splits import MOST_SPLITS, splits
from ._writing import DEFAULT_CHUNK_SIZE, RawWriter, TextWriter, Writer

__all__ = [
    "DamageError", "NotPackedError", "Chunk", "RawReader", "Reader", "RawWriter",
    "Writer", "TextWriter", "open", "compress", "decompress", "pack", "unpack",
    "scan", "write_index", "index_state", "splits", "MOST_SPLITS", "DEFAULT_CHUNK_SIZE",
    "version", "__version__",
]

#: The library's version, e.g. "0.2.0".
__version__ = version = _kob.version

DamageError.__module__ = "kob"
NotPackedError.__module__ = "kob"

try:
    from . import _fsspec
except ImportError:  # no fsspec: nothing to register with
    pass
else:
    _fsspec.register()


def _parse_mode(mode):
    """Returns: (what, text): what is "r", "w", "x" or "a". Raises as
    gzip.open does."""
    if not isinstance(mode, str):
        raise TypeError("mode must be a str, not %s" % type(mode).__name__)
    letters = set(mode)
    if len(letters) != len(mode) or not letters <= set("rwxabt") or \
            len(letters & set("rwxa")) != 1 or letters >= set("bt"):
        raise ValueError("Invalid mode: %r" % (mode,))
    return (letters & set("rwxa")).pop(), "t" in letters


def open(file, mode="rb", level=None, encoding=None, errors=None, newline=None, *,
         partial=False, plain=False, chunk_size=DEFAULT_CHUNK_SIZE, threads=1, cacert=None,
         s3=None, seal=True):
    """Opens a packed file, as gzip.open opens a gzip file.

    file: a path (str, bytes or os.PathLike), a URL to read (http://,
          https://, s3://), or a file object (reading: with readinto or
          read, and seek when it seeks, else read in order as a stream;
          writing: with write), used from where it stands and not closed.
    mode: "rb" (or "r"): a Reader, buffered binary.
          "wb" (or "w"), "xb" (or "x"), "ab" (or "a"): a Writer that packs;
                "x" refuses a file that exists; "a" appends a new packed
                member to a packed file that ends in an end marker (or
                makes it), bytes before untouched.
          "rt", "wt", "xt", "at": text: an io.TextIOWrapper (a TextWriter
                for writing) over those, with encoding, errors and newline.
    level: writing: 1..9, None for 8 (gzip's compresslevel has this place).
    partial: reading: decompress a chunk only as far as a read needs.
    plain: reading: a file that is not packed reads as it is (`kob -dcf`);
          without, it raises NotPackedError, as gzip raises BadGzipFile.
    chunk_size: writing (see RawWriter). A reader takes the chunk sizes
          the file has.
    threads: writing: threads that compress; reading: a read of 1 MiB or
          more decompresses its chunks on up to so many threads, the same
          bytes and errors as one (0: one per core); threads beyond the
          cores are not started.
    cacert: reading an https:// URL: a PEM file of certificate authorities
          the server's certificate may chain to, beside the system's, as
          curl's --cacert (None: CURL_CA_BUNDLE, else SSL_CERT_FILE).
    s3: reading an s3:// URL: a dict of settings taken before the
          environment's (AWS_*) and the profile's files: endpoint_url,
          region, key, secret, token, profile (str), anon (True: unsigned).
    seal: writing: seal the file, as `kob` does (see RawWriter); False
          writes the plain format (`kob --no-seal`). Reading takes both:
          a sealed file's every chunk is checked against its seal.

    Returns: a Reader, a Writer, or a text wrapper over one.
    Raises: ValueError for an invalid mode or option; NotPackedError;
    OSError (FileNotFoundError, FileExistsError, PermissionError, ...)
    when the file cannot be opened.
    """
    what, text = _parse_mode(mode)
    if not text:
        for argument, value in (("encoding", encoding), ("errors", errors),
                                ("newline", newline)):
            if value is not None:
                raise ValueError("Argument %r not supported in binary mode" % argument)
    if what == "r":
        if chunk_size != DEFAULT_CHUNK_SIZE or level is not None or seal is not True:
            raise ValueError("level, chunk_size and seal are for writing")
        binary = Reader(file, partial=partial, plain=plain, threads=threads, cacert=cacert,
                        s3=s3)
    else:
        if partial or plain or cacert is not None or s3 is not None:
            raise ValueError("partial, plain, cacert and s3 are for reading")
        binary = Writer(file, what, chunk_size=chunk_size, threads=threads, level=level,
                        seal=seal)
    if not text:
        return binary
    if hasattr(_io, "text_encoding"):
        encoding = _io.text_encoding(encoding)
    wrapper = _io.TextIOWrapper if what == "r" else TextWriter
    try:
        return wrapper(binary, encoding=encoding, errors=errors, newline=newline)
    except BaseException:
        if what == "r":
            binary.close()
        else:
            binary.abort()
        raise


def compress(data, level=None, *, chunk_size=DEFAULT_CHUNK_SIZE, threads=1, seal=True):
    """Packs the bytes-like `data` in memory, as gzip.compress does: sealed
    unless seal=False (see RawWriter).

    Returns: the packed bytes, those kob.open(..., "wb") writes for `data`.
    Raises: ValueError for invalid options.
    """
    return _kob.compress(data, level, threads, chunk_size, bool(seal))


def decompress(data, *, plain=False):
    """Unpacks the packed bytes `data`, as gzip.decompress does.

    Returns: the data. Raises: NotPackedError when `data` is not packed
    (with plain=True it is returned as it is); DamageError when it is
    damaged.
    """
    return _kob.decompress(data, bool(plain))


#: A chunk as scan passes it: its number (0 for the first), the file offset
#: of its header, the position of its first byte in the data, its data size
#: (uncompressed bytes) and its payload size (stored bytes after the header).
Chunk = _namedtuple("Chunk", "number offset position data_size payload_size")


def scan(file, *, check=False):
    """Walks a packed file (a path or URL) chunk by chunk, as `kob -l`
    does.

    check: also decompress every payload (and check it against the saved
    index's checksums where there is a valid index), as `kob -t` does.

    Returns: a list of Chunk, in order.
    Raises: DamageError at the first damage met; NotPackedError when the
    file is not packed; OSError when it cannot be read.
    """
    return [Chunk(*chunk) for chunk in _kob.scan(file, check)]


def write_index(file):
    """Writes FILE.kbi, the saved index of the packed file at the path
    `file`, with a checksum of every payload: with it a new reader finds
    any chunk at once and checks every payload it reads. Written as `kob
    --index` writes it: private under a short name until complete, then
    renamed into place, with the packed file's owner and times; writable
    by its owner only.

    Returns: the index's path (str or bytes as `file`); None for a sealed
    file, whose seal is its index: none is written.
    Raises: DamageError when the file is damaged; NotPackedError when it is
    not packed; OSError when it cannot be read or the index written (EROFS
    for a URL: its index is the server's).
    """
    written = _kob.write_index(file)
    if written is None or not isinstance(_os.fspath(file), bytes):
        return written
    return _os.fsencode(written)


def index_state(file):
    """The state of the saved index (FILE.kbi) of the packed file at the
    path or URL `file`.

    Returns: the word `kob -l` shows: "valid" (whole, and describes the
    file as it is), "unverified" (whole, but of a file it cannot tell is
    this one: a copy, an object elsewhere; used as a hint, dropped at the
    first disagreement), "none", "stale" (describes another file) or
    "unusable" (cut short, changed, unreadable, a link, not a regular file,
    or writable by others).
    """
    return _kob.index_state(file)


def pack(src, dst, *, level=None, threads=1, chunk_size=DEFAULT_CHUNK_SIZE, force=False,
         seal=True):
    """Packs the file `src` (a path or URL) into the path `dst`, as `kob`
    does: the same bytes, sealed unless seal=False (`kob --no-seal`).

    level: 1..9, None for the default (8). threads: compressing threads, 0
    for one per core, never more than the cores or the input's chunks.
    chunk_size: bytes of data a chunk, 1..65535. `dst` is written as a
    Writer writes it and renamed into place; a `dst` that exists is
    replaced only with force=True, as `kob -f` replaces one.

    Returns: None. Raises: FileExistsError for a `dst` that exists (force
    not given); ValueError for invalid options; OSError when reading `src`
    or writing `dst` fails.
    """
    _kob.pack(src, dst, level, threads, chunk_size, bool(force), bool(seal))


def unpack(src, dst, *, force=False):
    """Writes the data of the packed file `src` (a path or URL) to the path
    `dst`, as `kob -d` does. `dst` is written as a Writer writes it and
    renamed into place; a `dst` that exists is replaced only with
    force=True, as `kob -df` replaces one.

    Returns: None. Raises: FileExistsError for a `dst` that exists (force
    not given); DamageError when `src` is damaged (`dst` is then not
    created); NotPackedError when `src` is not packed; OSError when reading
    or writing fails.
    """
    _kob.unpack(src, dst, bool(force))
