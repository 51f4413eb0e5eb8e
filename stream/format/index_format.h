// SPDX-License-Identifier: GPL-2.0-or-later
//
// The bytes of a saved index (.kbi), as doc/format.md lays them out: the
// constants and codings that its writer (write/index_writer.cpp) and its
// reader (index/saved_index.cpp) share. Its records section is the seal's
// too (format/records.h).

#ifndef KOB_FORMAT_INDEX_FORMAT_H
#define KOB_FORMAT_INDEX_FORMAT_H

#include <cstddef>
#include <cstdint>

#include "common/big_endian.h"
#include "format/format.h"
#include "format/records.h"

namespace kob {

constexpr unsigned char kIndexMagic[4] = {'K', 'O', 'B', 'I'};

// Version 1: the preamble, the headers, Adler-32.
constexpr std::size_t kVersion1Preamble = 52;
constexpr std::size_t kVersion1Identity = 36;
constexpr std::size_t kVersion1CountAt = 44;
constexpr std::size_t kVersion1Sum = 4;

// Version 2: the preamble, then the records section (format/records.h).
constexpr std::size_t kIndexPreamble = 64;
constexpr std::size_t kIndexIdentity = 48;  // bytes 8..55
constexpr std::size_t kIndexCountAt = 56;

// The size of a version 2 index of `records` records.
inline std::uint64_t version2Size(std::uint64_t records) {
  return kIndexPreamble + recordsSize(records);
}

// What an index records of the file it describes (bytes 8..55 of version
// 2; the first 36 of them in version 1): device, inode, size, modification
// time (seconds, nanoseconds), change time (seconds, nanoseconds).
struct IndexedFile {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::uint64_t modifiedSeconds = 0;
  std::uint32_t modifiedNanoseconds = 0;
  std::uint64_t changedSeconds = 0;
  std::uint32_t changedNanoseconds = 0;
};

inline void putIndexedFile(unsigned char* out, const IndexedFile& file,
                           int version) {
  putBigEndian<8>(out, file.device);
  putBigEndian<8>(out + 8, file.inode);
  putBigEndian<8>(out + 16, file.size);
  putBigEndian<8>(out + 24, file.modifiedSeconds);
  putBigEndian<4>(out + 32, file.modifiedNanoseconds);
  if (version >= 2) {
    putBigEndian<8>(out + 36, file.changedSeconds);
    putBigEndian<4>(out + 44, file.changedNanoseconds);
  }
}

inline IndexedFile getIndexedFile(const unsigned char* in, int version) {
  IndexedFile file;
  file.device = getBigEndian<8>(in);
  file.inode = getBigEndian<8>(in + 8);
  file.size = getBigEndian<8>(in + 16);
  file.modifiedSeconds = getBigEndian<8>(in + 24);
  file.modifiedNanoseconds = static_cast<std::uint32_t>(getBigEndian<4>(in + 32));
  if (version >= 2) {
    file.changedSeconds = getBigEndian<8>(in + 36);
    file.changedNanoseconds =
        static_cast<std::uint32_t>(getBigEndian<4>(in + 44));
  }
  return file;
}

}  // namespace kob

#endif  // KOB_FORMAT_INDEX_FORMAT_H
