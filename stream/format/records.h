// SPDX-License-Identifier: GPL-2.0-or-later
//
// The records section, one layout for the saved index (.kbi, version 2)
// and the seal's trailer (format/seal_format.h), as doc/format.md lays it
// out ("The records section"): a record for every chunk header of the
// file in file order (the header as stored, then the low 32 bits of the
// XXH3-64 of its payload), kept in blocks of 64, each block followed by
// the XXH3-64 of its records; before the blocks, the header offset and
// data position of every 64th record (the milestones), then the XXH3-64
// of the bytes that come before the section and the milestones.
// Written here (RecordsEncoder); read by index/saved_index.cpp.

#ifndef KOB_FORMAT_RECORDS_H
#define KOB_FORMAT_RECORDS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "format/format.h"

namespace kob {

constexpr std::size_t kIndexRecord = 10;  // a header and a checksum
constexpr std::size_t kIndexMilestone = 16;
constexpr std::size_t kIndexSum = 8;  // XXH3-64
// Records a block holds, all but the last.
constexpr std::uint64_t kBlockRecords = 64;

inline std::uint64_t blockCount(std::uint64_t records) {
  return (records + kBlockRecords - 1) / kBlockRecords;
}

// The bytes of a records section of `records` records.
inline std::uint64_t recordsSize(std::uint64_t records) {
  const std::uint64_t blocks = blockCount(records);
  return kIndexMilestone * blocks + kIndexSum + kIndexRecord * records +
         kIndexSum * blocks;
}

// The most records a packed file of `size` bytes can hold: every chunk at
// least a header, the end marker at least 4 bytes of one.
inline std::uint64_t mostRecords(std::int64_t size) {
  const std::int64_t room =
      size - kFirstHeaderOffset - static_cast<std::int64_t>(4);
  return room < 0 ? 0 : static_cast<std::uint64_t>(room) / kHeaderSize + 1;
}

// Collects the records of a file's chunks in file order, the end marker
// last, and writes them as a records section. Holds 10 bytes a record and
// 16 every 64 records.
class RecordsEncoder {
 public:
  // Adds the record of the chunk whose header lies at `offset` and whose
  // data starts at `position` (both counted from where the file, or the
  // member, starts); `checksum` is payloadChecksum of its payload (0 for
  // the end marker).
  void add(std::int64_t offset, std::uint64_t position, std::uint32_t dataSize,
           std::uint32_t payloadSize, std::uint32_t backLink,
           std::uint32_t checksum);

  std::uint64_t count() const { return records; }
  std::size_t heldBytes() const { return bytes.capacity() + milestones.capacity(); }

  // Hands the section to `sink` in pieces, in order; `before` is what
  // precedes it (the index's preamble, the trailer's head), which the
  // milestones' sum covers first. Returns false when `sink` did.
  using Sink = std::function<bool(const unsigned char* bytes, std::size_t size)>;
  bool write(const unsigned char* before, std::size_t beforeSize,
             const Sink& sink) const;

 private:
  std::vector<unsigned char> bytes;       // the records, 10 bytes each
  std::vector<unsigned char> milestones;  // 16 bytes every 64 records
  std::uint64_t records = 0;
};

}  // namespace kob

#endif  // KOB_FORMAT_RECORDS_H
