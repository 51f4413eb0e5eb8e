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
  // A sealed file's seal is its index: it needs none, and an index could
  // not tell where its trailers lie.
  if ((file.signatureFlags() & kSealedFlag) != 0) {
    report.sealedMembers = 1;
    return report;
  }
  ChunkReader reader(std::move(source), {}, false);
  ChunkCursor cursor(reader);
  RecordsEncoder records;
  std::vector<unsigned char> data(kMaxFieldValue);
  auto record = [&](const ChunkEntry& chunk, std::uint32_t checksum) {
    records.add(chunk.headerOffset, chunk.position, chunk.dataSize,
                chunk.payloadSize, chunk.backLink, checksum);
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
    if (chunk.trailerBytes > 0) ++report.sealedMembers;
    ++report.chunks;
    report.dataSize += chunk.dataSize;
    report.largestChunk =
        std::max<std::uint32_t>(report.largestChunk, chunk.dataSize);
    failure = cursor.next();
  }
  report.failure = failure;
  if (cursor.chunk().trailerBytes > 0) ++report.sealedMembers;
  if (failure.failed() || report.sealedMembers > 0) return report;
  // An object elsewhere is described by its size alone: its index is a
  // hint for whoever reads it (see IndexState::Unverified).
  const Identity described = packed.identity();
  if (described.size < 0) {
    report.failure = Failure::ofError(ESPIPE);
    return report;
  }
  const IndexedFile indexed = indexedFileOf(described);
  record(cursor.chunk(), 0);  // the end marker
  report.packedSize = described.size;

  unsigned char head[kIndexPreamble];
  std::memcpy(head, kIndexMagic, sizeof kIndexMagic);
  const unsigned char version[4] = {2, 0, 0, 0};
  std::memcpy(head + 4, version, sizeof version);
  putIndexedFile(head + 8, indexed, 2);
  putBigEndian<8>(head + kIndexCountAt, records.count());
  std::fwrite(head, 1, sizeof head, out);
  records.write(head, sizeof head,
                [out](const unsigned char* bytes, std::size_t size) {
                  return std::fwrite(bytes, 1, size, out) == size;
                });
  return report;
}

ScanReport writeIndex(int packedFd, std::FILE* out) {
  OpenRules rules;
  rules.needSeek = true;
  OpenedFile file = openFile(fcntl(packedFd, F_DUPFD_CLOEXEC, 0), rules);
  return writeIndex(file, out);
}

}  // namespace kob
