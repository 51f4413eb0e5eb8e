// SPDX-License-Identifier: GPL-2.0-or-later
//
// A packed file's index saved beside it (PATH.kbi): every chunk header of
// the file in file order, with a checksum of each chunk's payload, so that
// a fresh reader finds any chunk at once instead of walking the headers up
// to it, and finds out when a payload has changed since. It is a hint for
// where chunks are, and never more: it is used only when it matches the
// file, every header it leads to is still read and checked where it is
// met, and a checksum that does not match is damage, never served.
//
// Version 2, written now:
//
//   offset  size  field (integers big-endian)
//   0       4     "KOBI"
//   4       4     version: 2, 0, 0, 0
//   8       8     device of the packed file     } the file it describes:
//   16      8     inode of the packed file      } any difference makes the
//   24      8     size of the packed file       } index stale. The change
//   32      8     modification time, seconds    } time changes with every
//   40      4     modification time, ns         } write and no tool can
//   44      8     change time (ctime), seconds  } set it back.
//   52      4     change time, nanoseconds      }
//   56      8     n: the number of records that follow
//   64      10n   a record for every chunk header in the file, the end
//                 marker last: the header as stored there (6 bytes), then
//                 the low 32 bits of the XXH3-64 of the chunk's payload (0
//                 for the end marker)
//   64+10n  8     XXH3-64 of all the bytes before
//
// Version 1 (still read, without checksums): "KOBI", 1, 0, 0, 0, device,
// inode, size, modification time (8 + 4 bytes), n (8), the n headers (6n),
// Adler-32 of all the bytes before (4).
//
// Before anything is allocated, the index must be a regular file (a link
// in its place is not followed, a FIFO not waited for) owned by the packed
// file's owner or root and writable by nobody else, its preamble must name
// the file as it is, and its size must be exactly what its count says, the
// count being one the packed file's size allows. Then its checksum, and
// that its headers chain as a packed file's do and fill the file.

#ifndef KOB_SAVED_INDEX_H
#define KOB_SAVED_INDEX_H

#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "chunk_index.h"
#include "kob_pack.h"

namespace kob {

// Whether `a` and `b` are the same file in the same state, as an index
// records it: device, inode, size, modification and change times.
bool sameIdentity(const struct stat& a, const struct stat& b);

// Reads the index at `indexPath` for the packed file open on `packedFd`.
// When it is Valid, `index` takes it over and `withChecksums` says whether
// it carries checksums (version 2); otherwise `index` is left as it was.
IndexState readSavedIndex(const std::string& indexPath, int packedFd,
                          ChunkIndex& index, bool* withChecksums = nullptr);

}  // namespace kob

#endif  // KOB_SAVED_INDEX_H
