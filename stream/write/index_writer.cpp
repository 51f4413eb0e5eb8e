// SPDX-License-Identifier: GPL-2.0-or-later
//
// Writing a packed file's saved index: every header read and every payload
// checked as `kob -t` checks them, then the index of doc/format.md (version
// 2) written in one pass.

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <xxhash.h>

#include "format/codec.h"
#include "format/index_format.h"
#include "index/saved_index.h"
#include "kob_index.h"
#include "read/chunk_reader.h"
#include "source/source.h"

namespace kob {

ScanReport writeIndex(OpenedFile& file, std::FILE* out) {
  ScanReport report;
  if (!file.ok()) {
    report.failure = file.failure();
    report.packed = file.packed();
    return report;
  }
  if (!file.packed()) {
    report.failure = Failure::ofDamage(Damage::NotPacked);
    return report;
  }
  if (!file.seekable()) {
    report.failure = Failure::ofError(ESPIPE);
    return report;
  }
  report.packed = true;
  std::unique_ptr<Source> source = file.takeSource();
  Source& packed = *source;
  ChunkReader reader(std::move(source), {}, false);
  ChunkCursor cursor(reader);
  std::vector<unsigned char> records;
  std::vector<unsigned char> milestones;
  std::vector<unsigned char> data(kMaxFieldValue);
  std::uint64_t count = 0;
  auto record = [&](const ChunkEntry& chunk, std::uint32_t checksum) {
    if (count % kBlockRecords == 0) {
      unsigned char milestone[kIndexMilestone];
      putBigEndian<8>(milestone, static_cast<std::uint64_t>(chunk.headerOffset));
      putBigEndian<8>(milestone + 8, chunk.position);
      milestones.insert(milestones.end(), milestone, milestone + kIndexMilestone);
    }
    unsigned char saved[kIndexRecord];
    encodeHeader(saved, chunk.dataSize, chunk.payloadSize, chunk.backLink);
    putBigEndian<4>(saved + kHeaderSize, checksum);
    records.insert(records.end(), saved, saved + kIndexRecord);
    ++count;
  };
  // Every payload is read, checked as `kob -t` checks it, and summed: an
  // index never vouches for a payload that does not expand to its size.
  Failure failure = cursor.start();
  while (failure.ok() && cursor.state() != ChunkCursor::State::AtEnd) {
    const ChunkEntry chunk = cursor.chunk();
    const unsigned char* payload = nullptr;
    failure = cursor.payload(payload);
    if (failure.failed()) break;
    const std::uint32_t checksum = payloadChecksum(payload, chunk.payloadSize);
    if (chunk.dataSize > 0) failure = cursor.decodeInto(data.data());
    if (failure.failed()) break;
    record(chunk, checksum);
    ++report.chunks;
    report.dataSize += chunk.dataSize;
    report.largestChunk =
        std::max<std::uint32_t>(report.largestChunk, chunk.dataSize);
    failure = cursor.next();
  }
  report.failure = failure;
  if (failure.failed()) return report;
  // An object elsewhere is named by its size alone: its index is a hint.
  const Identity described = packed.identity();
  if (described.size < 0) {
    report.failure = Failure::ofError(EIO);
    return report;
  }
  const IndexedFile indexed = indexedFileOf(described);
  record(cursor.chunk(), 0);  // the end marker
  report.packedSize = described.size;

  std::vector<unsigned char> head(kIndexPreamble);
  std::memcpy(head.data(), kIndexMagic, sizeof kIndexMagic);
  const unsigned char version[4] = {2, 0, 0, 0};
  std::memcpy(head.data() + 4, version, sizeof version);
  putIndexedFile(head.data() + 8, indexed, 2);
  putBigEndian<8>(head.data() + kIndexCountAt, count);
  head.insert(head.end(), milestones.begin(), milestones.end());
  unsigned char sum[kIndexSum];
  putBigEndian<8>(sum, XXH3_64bits(head.data(), head.size()));
  head.insert(head.end(), sum, sum + kIndexSum);
  std::fwrite(head.data(), 1, head.size(), out);
  for (std::uint64_t k = 0; k < blockCount(count); ++k) {
    const std::size_t from = kIndexRecord * kBlockRecords * k;
    const std::size_t length = std::min(
        kIndexRecord * kBlockRecords, records.size() - from);
    putBigEndian<8>(sum, XXH3_64bits(records.data() + from, length));
    std::fwrite(records.data() + from, 1, length, out);
    std::fwrite(sum, 1, kIndexSum, out);
  }
  return report;
}

ScanReport writeIndex(int packedFd, std::FILE* out) {
  OpenRules rules;
  rules.needSeek = true;
  OpenedFile file = openFile(fcntl(packedFd, F_DUPFD_CLOEXEC, 0), rules);
  return writeIndex(file, out);
}

}  // namespace kob
