// SPDX-License-Identifier: GPL-2.0-or-later
//
// The one whole-file walk: kob::scanPacked, behind `kob -t` and `kob -l`,
// reading chunk after chunk with the reader KobFile reads with.

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "format/format.h"
#include "kob_scan.h"
#include "read/chunk_reader.h"
#include "source/source.h"

namespace kob {
namespace {

// Reads on from the first chunk to the end marker (see scanPacked).
void scanChunks(ChunkReader& reader, bool checksums, bool decompress,
                const std::function<void(const ChunkInfo&)>& onChunk,
                std::int64_t knownSize, ScanReport& report) {
  ChunkCursor cursor(reader);
  std::vector<unsigned char> data(decompress ? kMaxFieldValue : 0);
  Failure failure = cursor.start();
  while (failure.ok() && cursor.state() != ChunkCursor::State::AtEnd) {
    const ChunkEntry& chunk = cursor.chunk();
    if (onChunk) {
      onChunk({chunk.number, chunk.headerOffset, chunk.position,
               chunk.dataSize, chunk.payloadSize});
    }
    ++report.chunks;
    report.dataSize += chunk.dataSize;
    report.largestChunk =
        std::max<std::uint32_t>(report.largestChunk, chunk.dataSize);
    if (decompress && chunk.dataSize > 0) failure = cursor.decodeInto(data.data());
    if (failure.ok()) failure = cursor.next();
  }
  report.failure = failure;
  if (failure.ok()) {
    report.contentChecked = checksums && decompress;
    report.packedSize = knownSize >= 0
                            ? knownSize
                            : cursor.chunk().headerOffset +
                                  static_cast<std::int64_t>(kHeaderSize);
  }
}

}  // namespace

ScanReport scanPacked(int fd, bool decompress,
                      const std::function<void(const ChunkInfo&)>& onChunk,
                      const char* indexPath) {
  return scanPacked(openFile(fcntl(fd, F_DUPFD_CLOEXEC, 0)), decompress, onChunk,
                    indexPath != nullptr ? IndexChoice::at(indexPath)
                                         : IndexChoice::none());
}

ScanReport scanPacked(const std::string& name, bool decompress,
                      const std::function<void(const ChunkInfo&)>& onChunk,
                      const IndexChoice& index) {
  OpenRules rules;
  rules.dashIsStandardInput = true;
  return scanPacked(openFile(name, rules), decompress, onChunk, index);
}

ScanReport scanUrl(const char* url, bool decompress,
                   const std::function<void(const ChunkInfo&)>& onChunk) {
  return scanPacked(std::string(url), decompress, onChunk);
}

ScanReport scanPacked(OpenedFile&& file, bool decompress,
                      const std::function<void(const ChunkInfo&)>& onChunk,
                      const IndexChoice& index) {
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
  const std::string indexName =
      index.where == IndexChoice::Where::At     ? index.name
      : index.where == IndexChoice::Where::None ? std::string()
                                                 : file.indexName();
  const std::int64_t size = file.size();
  std::vector<unsigned char> consumed = file.takeConsumed();
  ChunkReader reader(file.takeSource(), std::move(consumed), false);
  bool checksums = false;
  reader.takeUpIndex(indexName, &checksums);
  scanChunks(reader, checksums, decompress, onChunk, size, report);
  // As the scan left it: Stale when the file disagreed with a hint.
  report.indexState = reader.indexState();
  report.contentChecked =
      report.contentChecked && (report.indexState == IndexState::Valid ||
                                report.indexState == IndexState::Unverified);
  return report;
}

}  // namespace kob
