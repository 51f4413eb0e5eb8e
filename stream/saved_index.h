// A packed file's index saved beside it (PATH.kbi): every chunk header of
// the file in file order, so that a fresh reader finds any chunk at once
// instead of walking the headers up to it. It is a hint and never more: it
// is used only when it matches the file, and every header it leads to is
// still read and checked where it is met, so a stale, cut or forged index
// can make a reader slower, never change what it serves.
//
//   offset  size  field (integers big-endian)
//   0       4     "KOBI"
//   4       4     version: 1, 0, 0, 0
//   8       8     device of the packed file    } the file it describes:
//   16      8     inode of the packed file     } any difference makes the
//   24      8     size of the packed file      } index stale
//   32      8     modification time, seconds   }
//   40      4     modification time, nanoseconds
//   44      8     n: the number of headers that follow
//   52      6n    the file's chunk headers as stored there, the end marker
//                 last
//   52+6n   4     Adler-32 of all the bytes before
//
// It is trusted only when its owner is the packed file's owner (or root)
// and nobody else may write it.

#ifndef KOB_SAVED_INDEX_H
#define KOB_SAVED_INDEX_H

#include <string>
#include <vector>

#include "chunk_index.h"
#include "kob_pack.h"

namespace kob {

// Reads the index saved for the packed file at `packedPath`, open on
// `packedFd`. When it is Valid, `index` takes it over; otherwise `index` is
// left as it was.
IndexState readSavedIndex(const std::string& packedPath, int packedFd,
                          ChunkIndex& index);

}  // namespace kob

#endif  // KOB_SAVED_INDEX_H
