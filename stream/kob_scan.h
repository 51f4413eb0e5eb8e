// SPDX-License-Identifier: GPL-2.0-or-later
//
// Walking a packed file chunk by chunk, as `kob -t` and `kob -l` do, with
// the same reader as KobFile: a scan finds damage exactly where reading the
// file through KobFile would. The format is described in doc/format.md.

#ifndef KOB_KOB_SCAN_H
#define KOB_KOB_SCAN_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "kob_export.h"
#include "kob_failure.h"
#include "kob_open.h"

namespace kob {

// The state of a packed file's saved index (see kob_index.h).
enum class IndexState {
  Valid,       // present, whole, and describes the file as it is
  Missing,     // no index beside the file
  Stale,       // describes another file or an earlier state of this one
  Unusable,    // cut short, changed, unreadable, a link, not a regular
               // file, or writable by others
  Unverified,  // whole, but whose file it describes cannot be told (a copy
               // of the file, an object elsewhere): used as a hint, believed
               // only as far as the headers before a chunk agree with it, every
               // header and payload met checked against it, dropped at the
               // first disagreement
};
// "valid", "none", "stale", "unusable", "unverified".
KOB_EXPORT const char* describe(IndexState state);

// A chunk, as a scan passes it. One with a payload size of 0 is the end
// of a member that another follows (see ScanReport::members).
struct ChunkInfo {
  std::uint64_t number;       // 0 for the first chunk
  std::int64_t fileOffset;    // where its header starts
  std::uint64_t position;     // its first uncompressed byte
  std::uint32_t dataSize;     // uncompressed bytes
  std::uint32_t payloadSize;  // stored bytes after the header
};

struct ScanReport {
  // Not packed: the file does not begin with the signature.
  bool packed = false;
  // Every payload read was checked against its checksum in the file's
  // saved index.
  bool contentChecked = false;
  // Members whose seal was checked (see doc/format.md, "The seal"): every
  // header passed and every payload read against its record. `sealed`
  // when that is every member: every chunk of the file checked.
  std::uint64_t sealedMembers = 0;
  bool sealed = false;
  // What stopped the scan before the end marker, with where; ok() when it
  // reached the end marker (and a packed file).
  Failure failure;
  // What was passed up to the end marker or the failure.
  std::uint64_t chunks = 0;
  std::uint64_t dataSize = 0;
  std::uint32_t largestChunk = 0;
  // Packed streams one after another in the file (see doc/format.md): 1
  // for a file packed once.
  std::uint64_t members = 0;
  // Bytes of the packed file, up to and including its last end marker.
  std::int64_t packedSize = 0;
  // The state of the saved index the scan took up, as the scan left it:
  // Stale for an unverified one that disagreed with the file.
  IndexState indexState = IndexState::Missing;

  bool ok() const { return packed && failure.ok(); }
};

// Reads the packed file `name` (a path or a URL) from its start, or `file`
// opened already (a stream from where it stands), chunk by chunk. With
// `decompress` it decompresses every payload; without, it reads the headers
// (and checks the chunks without data, as reading through them does), and
// under a saved index that is a hint, every payload against its checksum,
// so that the index's state says whether it describes the file.
// Calls `onChunk` for every chunk, in order. The saved index `index` is
// used when it can be (contentChecked: every payload was checked against
// its checksums).
// Returns: the report; failure() is what stopped it: the damage and where,
// a failed read's errno, or Damage::NotPacked (packed false).
KOB_EXPORT ScanReport scanPacked(
    const std::string& name, bool decompress,
    const std::function<void(const ChunkInfo&)>& onChunk = {},
    const IndexChoice& index = IndexChoice::beside());
KOB_EXPORT ScanReport scanPacked(
    OpenedFile&& file, bool decompress,
    const std::function<void(const ChunkInfo&)>& onChunk = {},
    const IndexChoice& index = IndexChoice::beside());

// How a scan reads, for scanPacked(file, options).
struct ScanOptions {
  // Decompress every payload (as `kob -t`), or read the headers only.
  bool decompress = false;
  // Threads that decompress, beside the caller's that reads the file (0:
  // one per core; never more than there are cores). The answers are the
  // same at every count: the same data in the same order, the same
  // failure at the same place. About two chunks a thread are held, and 32
  // chunks' payloads and data in all.
  unsigned threads = 1;
  IndexChoice index = IndexChoice::beside();
  // Called for every chunk, in order, as it is passed.
  std::function<void(const ChunkInfo&)> onChunk;
  // With `decompress`: the data of each chunk, in order. A failure it
  // returns (a write that failed) ends the scan with that failure.
  std::function<Failure(const unsigned char* data, std::size_t size)> onData;
};
KOB_EXPORT ScanReport scanPacked(OpenedFile&& file, const ScanOptions& options);

// As above, on the descriptor `fd` (which stays the caller's), with the
// index at `indexPath` when given.
KOB_EXPORT ScanReport scanPacked(
    int fd, bool decompress,
    const std::function<void(const ChunkInfo&)>& onChunk = {},
    const char* indexPath = nullptr);

// Kept for one release: scanPacked by name.
[[deprecated("use kob::scanPacked(name, ...)")]]
KOB_EXPORT ScanReport scanUrl(
    const char* url, bool decompress,
    const std::function<void(const ChunkInfo&)>& onChunk = {});

}  // namespace kob

#endif  // KOB_KOB_SCAN_H
