// SPDX-License-Identifier: GPL-2.0-or-later
//
// kob::sealPacked: a packed file copied chunk by chunk, each checked as
// `kob -t` checks it, into one sealed member: the payloads as they are,
// never compressed again; the headers' back-links mended where members
// joined; then the end marker and the seal's trailer.

#include <algorithm>
#include <cerrno>
#include <vector>

#include "format/codec.h"
#include "format/records.h"
#include "format/seal_format.h"
#include "kob_packer.h"
#include "read/chunk_reader.h"

namespace kob {
namespace {

Failure writing() {
  return Failure::ofError(errno != 0 ? errno : EIO, Failure::Action::Writing);
}

}  // namespace

ScanReport sealPacked(OpenedFile&& file, std::FILE* out) {
  ScanReport report;
  report.packed = file.packed();
  if (!file.ok()) {
    report.failure = file.failure();
    return report;
  }
  if (!file.packed()) {
    report.failure = Failure::ofDamage(Damage::NotPacked);
    return report;
  }
  std::vector<unsigned char> consumed = file.takeConsumed();
  const std::uint32_t flags = file.signatureFlags();
  ChunkReader reader(file.takeSource(), std::move(consumed), false);
  reader.takeUpIndex("", flags);
  if (reader.sealed()) {
    report.sealed = true;  // nothing to do
    return report;
  }
  ChunkCursor cursor(reader);
  RecordsEncoder records;
  std::vector<unsigned char> payload;
  std::vector<unsigned char> data(kMaxFieldValue);
  std::uint64_t written = sizeof kSignature;
  std::uint32_t lastPayloadSize = 0;
  errno = 0;
  if (!writeSignature(out, kSealedFlag)) report.failure = writing();
  Failure failure = report.failure.ok() ? cursor.start() : report.failure;
  while (failure.ok() && cursor.state() != ChunkCursor::State::AtEnd) {
    const ChunkEntry chunk = cursor.chunk();
    if (chunk.joinsNext) {
      ++report.members;  // members become one
      failure = cursor.next();
      continue;
    }
    const unsigned char* bytes = nullptr;
    failure = cursor.payload(bytes);
    if (failure.failed()) break;
    payload.assign(bytes, bytes + chunk.payloadSize);
    // Checked as `kob -t` checks it: a chunk without data as reading on
    // past it does.
    failure = chunk.dataSize > 0 ? cursor.decodeInto(data.data()) : Failure();
    if (failure.failed()) break;
    records.add(static_cast<std::int64_t>(written), report.dataSize,
                chunk.dataSize, chunk.payloadSize, lastPayloadSize,
                payloadChecksum(payload.data(), payload.size()));
    if (!writeChunkRecord(out, chunk.dataSize, payload.data(), chunk.payloadSize,
                          lastPayloadSize)) {
      failure = writing();
      break;
    }
    written += kHeaderSize + chunk.payloadSize;
    lastPayloadSize = chunk.payloadSize;
    ++report.chunks;
    report.dataSize += chunk.dataSize;
    report.largestChunk = std::max<std::uint32_t>(report.largestChunk, chunk.dataSize);
    failure = cursor.next();
  }
  report.failure = failure;
  if (failure.failed()) return report;
  ++report.members;
  records.add(static_cast<std::int64_t>(written), report.dataSize, 0, 0,
              lastPayloadSize, 0);
  written += kHeaderSize;
  if (!writeChunkRecord(out, 0, nullptr, 0, lastPayloadSize) ||
      !writeSealTrailer(records, kSealedFlag, report.dataSize, written,
                        [&](const unsigned char* bytes, std::size_t size) {
                          written += size;
                          return std::fwrite(bytes, 1, size, out) == size;
                        })) {
    report.failure = writing();
    return report;
  }
  report.packedSize = static_cast<std::int64_t>(written);
  return report;
}

}  // namespace kob
