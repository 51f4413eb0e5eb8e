# SPDX-License-Identifier: GPL-2.0-or-later
"""kob.splits: a packed file's data cut into ranges on chunk starts."""

import operator
import os

from . import _kob
from ._reading import RawReader, Reader, _is_file_object

#: The most ranges kob.splits gives for one file, whatever n asks.
MOST_SPLITS = _kob.MOST_SPLITS


def splits(file, n, *, s3=None):
    """Cuts the data of a packed file into up to `n` ranges for workers.

    file: a path, a URL (http://, https://, and the other schemes
          kob.open reads) or a binary file object that seeks (read from
          where it stands; its position moves). A kob Reader of a path or
          URL stands for that path or URL.
    n: how many ranges are wanted, 1 or more.
    s3: the settings an s3:// URL is read with (see kob.open).

    Returns: a list of (start, end) pairs of positions in the data, in
    order: the first starts at 0, each starts where the one before ends,
    the last ends at the data's size, none is empty (no data: []). Each
    starts on a chunk start, so no chunk is decompressed by two workers:
    range i aims at size * i / n and starts on the chunk that holds that
    position. There are fewer than n when aims land in one chunk, and never
    more than kob.MOST_SPLITS. Nothing is decompressed; a sealed file's
    seal, or a verified saved index, gives every chunk start with no chunk
    read; else the headers are walked once.

    Raises: ValueError for n < 1; NotPackedError; DamageError when damage
    hides a chunk start or the end; OSError when the file cannot be read
    (ESPIPE for a stream); TypeError for a kob reader of a file object.
    """
    if isinstance(file, (Reader, RawReader)):
        raw = file.raw if isinstance(file, Reader) else file
        if _is_file_object(raw._file):
            raise TypeError("splits: give the file object, not a kob reader of it")
        file = raw._file
        s3 = raw._s3 if s3 is None else s3
    elif not _is_file_object(file):
        file = os.fspath(file)
    n = operator.index(n)
    if n < 1:
        raise ValueError("splits: n must be 1 or more")
    return _kob.splits(file, min(n, MOST_SPLITS), s3)
