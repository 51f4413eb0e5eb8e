// SPDX-License-Identifier: GPL-2.0-or-later
//
// Salvage: what can be saved of a damaged packed file, as `kob --recover`
// does it. It reads through the same primitives as every reader, tolerant
// where they are strict.

#ifndef KOB_KOB_RECOVER_H
#define KOB_KOB_RECOVER_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "kob_export.h"
#include "kob_failure.h"
#include "kob_open.h"
#include "kob_scan.h"

namespace kob {

// Damage salvage met: chunks lost to it (one chunk whose header could be
// read, or a stretch of the file whose headers are gone), or damage that
// lost nothing (see `kind`).
struct Loss {
  enum class Kind {
    Lost,          // the chunks below are gone, their data written as zeros
    HeaderMended,  // a damaged header whose payload holds its chunk whole:
                   // taken at the size it holds
    Passed,        // bytes that hold no chunk (a member's end marker or
                   // signature damaged, or too few for a chunk with data):
                   // the chunks on either side written back to back
  };
  // Nothing is lost but for Lost: `chunks` and `length` are then 0.
  Kind kind = Kind::Lost;
  std::uint64_t chunk = 0;      // the number of its first chunk (counted,
                                // where headers are gone)
  std::int64_t fileOffset = -1;  // of its header, -1 when not known
  std::uint64_t position = 0;   // in the data written, where its zeros start
  std::uint64_t length = 0;     // bytes of data lost, written as zeros
  // False when the size was inferred: a stretch whose headers are gone is
  // taken to hold as many chunks of the writer's chunk size as would fill
  // it (a length of 0 when no chunk told that size), and a chunk whose
  // size field disagrees with the chunks around it to be of that size.
  bool lengthKnown = true;
  // Chunks lost: 1 where the header was read, else an estimate.
  std::uint64_t chunks = 1;
  // Nothing after it could be read: the rest of the data is gone, at a
  // size nobody knows (length 0).
  bool toTheEnd = false;
  Failure why;  // the damage met
};

struct RecoveryReport {
  // What stopped the salvage itself (a read or write that failed, or not a
  // packed file: Damage::NotPacked; one that cannot seek: ESPIPE); ok() otherwise.
  Failure failure;
  bool usedIndex = false;       // a saved index gave every chunk's place
  bool usedSeal = false;        // the file's seal gave every chunk's place
  std::uint64_t dataWritten = 0;
  std::uint64_t losses = 0;     // chunks lost
  std::uint64_t bytesLost = 0;  // of them, written as zeros
  std::uint64_t withoutLoss = 0;  // damage met that lost nothing

  // The whole data came out.
  bool whole() const { return failure.ok() && losses == 0; }
};

// Writes to `output` the data of every intact chunk of the packed file
// `name` (a path or URL; or `file`, opened already; it must seek), and
// zeros for each lost chunk so that the data after it keeps its position;
// calls `onLoss` for every loss, and for damage that lost nothing. A sealed
// file's seal, when it is sound and the file one member, or else a saved
// index (`index`) whose identity matches the file, gives every chunk's
// place and size, and checks each
// payload: one that differs from its checksum is lost. One that is only a
// hint (see IndexState::Unverified) places the chunks until the file
// disagrees with it (a header or a checksum), and from there the file is
// read as without one: a payload that expands to its size is taken. Without,
// it reads on past a header that cannot be read by searching the bytes
// after it for the next header whose payload expands to its size and whose
// next header chains to it, counting back from there along the back-links
// the chunks whose headers still read, and taking the stretch before them
// to be one loss of chunks of the writer's chunk size. Every byte of the
// file is read a bounded number of times, and memory does not grow with
// the losses. `output` stays open and is flushed.
// Returns: the report; failure() is what stopped the salvage itself: a
// failed read or write, Damage::NotPacked, ESPIPE for a stream.
KOB_EXPORT RecoveryReport recoverPacked(
    const std::string& name, std::FILE* output,
    const std::function<void(const Loss&)>& onLoss = {},
    const IndexChoice& index = IndexChoice::beside());
KOB_EXPORT RecoveryReport recoverPacked(
    OpenedFile&& file, std::FILE* output,
    const std::function<void(const Loss&)>& onLoss = {},
    const IndexChoice& index = IndexChoice::beside());

// As above, on the descriptor `fd` (which stays the caller's), placed by
// the index at `indexPath` when given.
KOB_EXPORT RecoveryReport recoverPacked(
    int fd, const char* indexPath, std::FILE* output,
    const std::function<void(const Loss&)>& onLoss = {});

// Kept for one release: recoverPacked by name.
[[deprecated("use kob::recoverPacked(name, ...)")]]
KOB_EXPORT RecoveryReport recoverUrl(
    const char* url, std::FILE* output,
    const std::function<void(const Loss&)>& onLoss = {});

}  // namespace kob

#endif  // KOB_KOB_RECOVER_H
