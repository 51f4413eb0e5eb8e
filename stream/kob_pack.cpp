// SPDX-License-Identifier: GPL-2.0-or-later
#include "kob_pack.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <new>
#include <system_error>
#include <vector>

#include "format.h"
#include "http_source.h"
#include "chunk_reader.h"
#include "source.h"
#include "unique_fd.h"

namespace kob {

Failure packStream(std::FILE* input, std::FILE* output,
                   const PackOptions& options,
                   const std::function<void(std::uint64_t bytesDone)>& progress) {
  if (Failure invalid = Packer::validOptions(options); invalid.failed()) {
    return invalid;
  }
  try {
    Packer packer(output, options);
    std::vector<unsigned char> block(
        std::max<std::size_t>(static_cast<std::size_t>(options.chunkSize),
                              64 * 1024));
    for (;;) {
      const std::size_t got = std::fread(block.data(), 1, block.size(), input);
      if (got > 0) {
        if (Failure failure = packer.write(block.data(), got); failure.failed()) {
          return failure;
        }
        if (progress) progress(packer.bytesTaken());
      }
      if (got < block.size()) {
        if (std::ferror(input)) {
          return Failure::ofError(errno != 0 ? errno : EIO);
        }
        if (std::feof(input)) break;
      }
    }
    return packer.finish();
  } catch (const std::bad_alloc&) {
    return Failure::ofError(ENOMEM, Failure::Action::Writing);
  } catch (const std::system_error&) {
    return Failure::ofError(EAGAIN, Failure::Action::Writing);  // no thread
  }
}

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
  ScanReport report;
  UniqueFd own(::dup(fd));
  if (own.get() < 0) {
    report.failure = Failure::ofError(errno);
    return report;
  }
  SignatureProbe probe = probeSignature(own.get());
  if (!probe.packed) {
    if (probe.error != 0) report.failure = Failure::ofError(probe.error);
    return report;
  }
  report.packed = true;
  struct stat info;
  const bool sized = probe.seekable && fstat(own.get(), &info) == 0;
  const auto streamStart = static_cast<std::int64_t>(probe.consumed.size());
  ChunkReader reader(std::make_unique<FileSource>(std::move(own),
                                                  probe.seekable, streamStart),
                     std::move(probe.consumed), false);
  const bool checksums =
      indexPath != nullptr && reader.loadSavedIndex(indexPath);
  scanChunks(reader, checksums, decompress, onChunk,
             sized ? static_cast<std::int64_t>(info.st_size) : -1, report);
  return report;
}

ScanReport scanUrl(const char* url, bool decompress,
                   const std::function<void(const ChunkInfo&)>& onChunk) {
  ScanReport report;
  RemoteFile remote = openRemoteFile(url);
  if (!remote.source) {
    report.failure = Failure::ofError(remote.error);
    return report;
  }
  if (!remote.packed) return report;
  report.packed = true;
  const std::int64_t size = remote.source->knownSize();
  ChunkReader reader(std::move(remote.source), {}, false);
  const bool checksums = reader.loadRemoteIndex(openRemoteIndex(url));
  scanChunks(reader, checksums, decompress, onChunk, size, report);
  if (report.ok()) {
    report.indexState = checksums ? IndexState::Valid : IndexState::Missing;
  }
  return report;
}

}  // namespace kob
