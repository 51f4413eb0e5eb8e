#include "kob_pack.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "format.h"
#include "packed_reader.h"
#include "read_window.h"
#include "unique_fd.h"

namespace kob {
namespace {

// One chunk's compressed form: one piece, or two for a chunk split in half.
struct CompressedChunk {
  struct Piece {
    std::uint32_t dataSize;
    std::uint32_t payloadSize;
  };
  std::vector<unsigned char> payloads;
  Piece pieces[2];
  int pieceCount = 0;
  bool ok = false;
};

// What each compressing thread owns.
struct Worker {
  std::unique_ptr<WorkMemory> work =
      std::make_unique_for_overwrite<WorkMemory>();
  std::vector<unsigned char> scratch;
};

void compressInto(const unsigned char* data, std::uint32_t length,
                  Worker& worker, CompressedChunk& out) {
  out.payloads.clear();
  out.pieceCount = 0;
  out.ok = compressChunk(
      data, length, worker.scratch.data(), *worker.work,
      [&out](std::uint32_t dataSize, const unsigned char* payload,
             std::uint32_t payloadSize) {
        out.payloads.insert(out.payloads.end(), payload, payload + payloadSize);
        out.pieces[out.pieceCount++] = {dataSize, payloadSize};
        return true;
      });
}

// Reads up to `wanted` bytes, to the end of the input or an error.
std::size_t readFully(std::FILE* input, unsigned char* into,
                      std::size_t wanted) {
  std::size_t got = 0;
  while (got < wanted) {
    std::size_t n = std::fread(into + got, 1, wanted - got, input);
    if (n == 0) break;
    got += n;
  }
  return got;
}

class ParallelPacker {
 public:
  ParallelPacker(std::FILE* anOutput, std::uint32_t aChunkSize,
                 unsigned threadCount)
      : output(anOutput), chunkSize(aChunkSize), workers(threadCount) {
    for (Worker& w : workers)
      w.scratch.resize(worstCaseCompressedSize(chunkSize));
  }

  // Compresses the chunks of `data` on every worker, then writes them in
  // order. Returns false when a write or the compressor failed.
  bool packBatch(const unsigned char* data, std::size_t length) {
    const std::size_t count = (length + chunkSize - 1) / chunkSize;
    if (results.size() < count) results.resize(count);
    std::atomic<std::size_t> next{0};
    auto work = [&](Worker& worker) {
      for (std::size_t i; (i = next++) < count;) {
        std::size_t start = i * chunkSize;
        compressInto(data + start,
                     static_cast<std::uint32_t>(
                         std::min<std::size_t>(chunkSize, length - start)),
                     worker, results[i]);
      }
    };
    std::vector<std::thread> helpers;
    for (std::size_t t = 1; t < workers.size(); ++t) {
      helpers.emplace_back(work, std::ref(workers[t]));
    }
    work(workers[0]);
    for (std::thread& helper : helpers) helper.join();
    for (std::size_t i = 0; i < count; ++i) {
      if (!writeChunk(results[i])) return false;
    }
    return true;
  }

  bool finish() {
    return writeChunkRecord(output, 0, nullptr, 0, lastPayloadSize) &&
           std::fflush(output) == 0;
  }

  std::size_t threadCount() const { return workers.size(); }

 private:
  bool writeChunk(const CompressedChunk& chunk) {
    if (!chunk.ok) return false;
    const unsigned char* payload = chunk.payloads.data();
    for (int p = 0; p < chunk.pieceCount; ++p) {
      const CompressedChunk::Piece& piece = chunk.pieces[p];
      if (!writeChunkRecord(output, piece.dataSize, payload, piece.payloadSize,
                            lastPayloadSize)) {
        return false;
      }
      lastPayloadSize = piece.payloadSize;
      payload += piece.payloadSize;
    }
    return true;
  }

  std::FILE* output;
  std::uint32_t chunkSize;
  std::vector<Worker> workers;
  std::vector<CompressedChunk> results;
  std::uint32_t lastPayloadSize = 0;
};

}  // namespace

PackStatus packStream(
    std::FILE* input, std::FILE* output, int chunkSize, unsigned threads,
    const std::function<void(std::uint64_t bytesDone)>& progress) {
  if (chunkSize < 1 || chunkSize > int{kMaxFieldValue}) {
    return PackStatus::BadChunkSize;
  }
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  try {
    ParallelPacker packer(output, static_cast<std::uint32_t>(chunkSize),
                          threads);
    // Enough chunks a batch that every thread stays busy, and at least
    // 1 MiB, so that threads start rarely.
    const std::size_t chunksPerBatch = std::max<std::size_t>(
        16 * threads,
        (std::size_t{1} << 20) / static_cast<std::size_t>(chunkSize));
    std::vector<unsigned char> batch(chunksPerBatch * chunkSize);
    if (std::fwrite(kSignature, 1, sizeof kSignature, output) !=
        sizeof kSignature) {
      return PackStatus::WriteFailed;
    }
    std::uint64_t done = 0;
    for (;;) {
      const std::size_t got = readFully(input, batch.data(), batch.size());
      if (std::ferror(input)) return PackStatus::ReadFailed;
      if (got > 0 && !packer.packBatch(batch.data(), got)) {
        return PackStatus::WriteFailed;
      }
      done += got;
      if (progress) progress(done);
      if (got < batch.size()) break;
    }
    return packer.finish() ? PackStatus::Ok : PackStatus::WriteFailed;
  } catch (const std::bad_alloc&) {
    return PackStatus::OutOfMemory;
  }
}

ScanReport scanPacked(int fd, bool decompress,
                      const std::function<void(const ChunkInfo&)>& onChunk) {
  ScanReport report;
  UniqueFd own(::dup(fd));
  if (own.get() < 0) {
    report.error = errno;
    return report;
  }
  SignatureProbe probe = probeSignature(own.get());
  if (!probe.packed) {
    report.error = probe.error;
    if (probe.error == 0) report.outcome = ScanReport::Outcome::NotPacked;
    return report;
  }
  struct stat info;
  const bool sized = probe.seekable && fstat(own.get(), &info) == 0;
  ChunkInfo last{};
  PackedReader reader(
      std::move(own), probe.seekable, std::move(probe.consumed),
      [&](std::uint64_t number, std::int64_t offset, std::uint64_t position,
          const ChunkHeader& header) {
        last = {number, offset, position, header.dataSize, header.payloadSize};
        report.largestChunk = std::max(report.largestChunk, header.dataSize);
        if (onChunk) onChunk(last);
      });
  if (decompress) {
    std::vector<unsigned char> block(1 << 16);
    while (reader.read(block.data(), block.size()) > 0) {
    }
  } else {
    reader.seek(INT64_MAX, 0);
  }
  const ChunkIndex::Frontier& frontier = reader.frontier();
  report.chunks = frontier.chunksPassed;
  report.dataSize = frontier.position;
  if (reader.readError() != 0) {
    report.error = reader.readError();
  } else if (reader.damage() != Damage::None) {
    report.outcome = ScanReport::Outcome::Damaged;
    report.damage = reader.damage();
    report.fileOffset = reader.currentHeaderOffset();
    // Damage in a payload lies in the last chunk passed; damage in a header
    // in the one after it.
    report.chunkNumber =
        report.chunks > 0 && last.fileOffset == report.fileOffset
            ? last.number
            : report.chunks;
  } else {
    report.outcome = ScanReport::Outcome::Ok;
    report.packedSize =
        sized ? static_cast<std::int64_t>(info.st_size)
              : frontier.headerOffset + static_cast<std::int64_t>(kHeaderSize);
  }
  return report;
}

}  // namespace kob
