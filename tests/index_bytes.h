// SPDX-License-Identifier: GPL-2.0-or-later
// The bytes of a saved index (version 2) as the tests take them apart and
// put them back: each field at its place, and the checksums made to match
// whatever was changed, as a careless or hostile writer of indexes would.

#ifndef KOB_TESTS_INDEX_BYTES_H
#define KOB_TESTS_INDEX_BYTES_H

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <lzo/lzoconf.h>
#include <xxhash.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kob_index.h"
#include "salvage_util.h"
#include "test_util.h"

namespace kobtest {

// Bytes past the end of `in` (an index cut short) read as zeros.
inline std::uint64_t getBig(const std::string& in, std::size_t at, int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    const std::size_t where = at + static_cast<std::size_t>(i);
    value = (value << 8) |
            (where < in.size() ? static_cast<unsigned char>(in[where]) : 0U);
  }
  return value;
}

inline void setBig(std::string& out, std::size_t at, std::uint64_t value,
                   int bytes) {
  for (int i = bytes - 1; i >= 0; --i, value >>= 8) {
    out[at + i] = static_cast<char>(value & 0xFF);
  }
}

// Where the parts of an index of `count` records lie.
struct IndexLayout {
  std::uint64_t count = 0;
  std::uint64_t blocks = 0;
  explicit IndexLayout(const std::string& index)
      : count(getBig(index, 56, 8)), blocks((count + 63) / 64) {}
  std::size_t milestone(std::uint64_t k) const { return 64 + 16 * k; }
  std::size_t headSum() const { return 64 + 16 * blocks; }
  std::size_t block(std::uint64_t k) const {
    return headSum() + 8 + (640 + 8) * k;
  }
  std::uint64_t recordsIn(std::uint64_t k) const {
    return std::min<std::uint64_t>(64, count - 64 * k);
  }
  std::size_t record(std::uint64_t i) const {
    return block(i / 64) + 10 * (i % 64);
  }
};

// The index `index` with its head's checksum and every block's made to
// match its bytes (as far as its bytes go).
inline std::string resealed(std::string index) {
  const IndexLayout layout(index);
  if (layout.headSum() + 8 > index.size()) return index;
  setBig(index, layout.headSum(), XXH3_64bits(index.data(), layout.headSum()),
         8);
  for (std::uint64_t k = 0; k < layout.blocks; ++k) {
    const std::size_t at = layout.block(k);
    const std::size_t length = 10 * layout.recordsIn(k);
    if (at + length + 8 > index.size()) break;
    setBig(index, at + length, XXH3_64bits(index.data() + at, length), 8);
  }
  return index;
}

// Writes the index of the packed file `packed` to `indexPath` (beside it
// when empty), readable by all, written by none but its owner.
inline kob::ScanReport saveIndexOf(const std::string& packed,
                                   std::string indexPath = "") {
  if (indexPath.empty()) indexPath = kob::indexPathFor(packed);
  const int fd = ::open(packed.c_str(), O_RDONLY | O_CLOEXEC);
  std::FILE* out = std::fopen(indexPath.c_str(), "wb");
  kob::ScanReport report = kob::writeIndex(fd, out);
  std::fclose(out);
  ::close(fd);
  chmod(indexPath.c_str(), 0644);
  return report;
}

// A packed file of one member whose chunks are runs of one letter each,
// chunk 1 shorter than the others with the same payload size, and two
// indexes of it that lie where no checksum shows (`path` holds the file
// and its true index): `swapped` gives chunk 1 the data size of chunk 6
// and chunk 6 that of chunk 1, `grown` gives chunk 1 the other chunks'
// size and moves the milestone after it to match. Every offset, payload
// checksum and milestone still agrees with the file.
struct LyingIndexes {
  std::string data, packed, swapped, grown, swappedVersion1;
  std::vector<std::uint64_t> starts;  // of each chunk in the data
};
inline LyingIndexes lyingIndexes(const std::string& path) {
  constexpr std::uint32_t kFull = 4096;
  const auto payloadOf = [](std::uint32_t size) {
    salvagetest::Builder one;
    one.chunk(std::string(size, 'x'));
    return one.bytes.size();
  };
  std::uint32_t shorter = kFull - 1;
  while (payloadOf(shorter) != payloadOf(kFull)) --shorter;
  salvagetest::Builder builder;
  LyingIndexes made;
  // Two blocks: the last, which a reader walks before it believes it,
  // comes after the one that lies.
  for (int chunk = 0; chunk < 70; ++chunk) {
    made.starts.push_back(made.data.size());
    made.data.append(chunk == 1 ? shorter : kFull, static_cast<char>('a' + chunk % 26));
    builder.chunk(made.data.substr(made.starts.back()));
  }
  made.packed = builder.end();
  writeFile(path, made.packed);
  EXPECT_TRUE(saveIndexOf(path).ok());
  made.grown = readFile(kob::indexPathFor(path));
  const IndexLayout layout(made.grown);
  setBig(made.grown, layout.record(1), kFull, 2);
  made.swapped = made.grown;
  setBig(made.swapped, layout.record(6), shorter, 2);
  const std::size_t position = layout.milestone(1) + 8;
  setBig(made.grown, position, getBig(made.grown, position, 8) + kFull - shorter, 8);
  made.swapped = resealed(made.swapped);
  made.grown = resealed(made.grown);
  // The swap in a version 1 index of another file of this size: its
  // headers and their sum.
  std::string& old = made.swappedVersion1;
  old = std::string("KOBI\x01", 5) + std::string(47, '\0');
  setBig(old, 24, made.packed.size(), 8);
  setBig(old, 44, layout.count, 8);
  for (std::uint64_t i = 0; i < layout.count; ++i) old += made.swapped.substr(layout.record(i), 6);
  old += std::string(4, '\0');
  setBig(old, old.size() - 4, lzo_adler32(1, reinterpret_cast<const unsigned char*>(old.data()),
                                          old.size() - 4), 4);
  return made;
}

}  // namespace kobtest

#endif  // KOB_TESTS_INDEX_BYTES_H
