// SPDX-License-Identifier: GPL-2.0-or-later
#include "kob_shared.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/worker_pool.h"
#include "format/codec.h"
#include "read/chunk_reader.h"
#include "source/source.h"

namespace kob {

// An open file: its reader, and the cursors of reads that have finished,
// kept for the next ones (each holds a read window and a chunk's data).
struct SharedReader::File {
  explicit File(std::unique_ptr<Source> source)
      : reader(std::move(source), {}, true) {}

  std::unique_ptr<ChunkCursor> takeCursor() {
    {
      std::lock_guard<std::mutex> lock(idleMutex);
      if (!idle.empty()) {
        std::unique_ptr<ChunkCursor> cursor = std::move(idle.back());
        idle.pop_back();
        return cursor;
      }
    }
    return std::make_unique<ChunkCursor>(reader);
  }

  void giveBack(std::unique_ptr<ChunkCursor> cursor) {
    std::lock_guard<std::mutex> lock(idleMutex);
    idle.push_back(std::move(cursor));
  }

  // Reads `len` bytes from `position` on the calling thread.
  ReadResult readRange(std::uint64_t position, unsigned char* out,
                       std::size_t len, bool partial);
  // Splits a large read among the helpers at chunk starts.
  ReadResult readSpread(std::uint64_t position, unsigned char* out,
                        std::size_t len, bool partial, unsigned threads);

  // The first header, read as a KobFile opening the file reads it: a file
  // whose first chunk is damaged answers every call with that damage, as
  // a KobFile does, even where an index or a seal could lead past it.
  // Read again by each call while it fails, so that a file damaged while
  // it was being replaced reads as it is once it is whole.
  Failure firstHeader() {
    if (!firstFailed.load(std::memory_order_acquire)) return {};
    std::lock_guard<std::mutex> lock(firstMutex);
    std::unique_ptr<ChunkCursor> cursor = takeCursor();
    cursor->discardHeldBytes();
    const Failure failure = cursor->start();
    giveBack(std::move(cursor));
    firstFailed.store(failure.failed(), std::memory_order_release);
    return failure;
  }

  ChunkReader reader;
  std::atomic<bool> firstFailed{true};
  std::mutex firstMutex;
  std::mutex idleMutex;
  std::vector<std::unique_ptr<ChunkCursor>> idle;
  std::mutex poolMutex;
  std::shared_ptr<WorkerPool> pool;  // made at the first large read
};

ReadResult SharedReader::File::readRange(std::uint64_t position,
                                         unsigned char* out, std::size_t len,
                                         bool partial) {
  ReadResult result;
  std::unique_ptr<ChunkCursor> cursor = takeCursor();
  cursor->discardHeldBytes();
  // A read from 0 starts at the first header, as a KobFile just opened
  // does, and so checks the chunks without data ahead of the first byte.
  result.failure = cursor->land(position);
  while (result.ok() && result.bytes < len &&
         cursor->state() != ChunkCursor::State::AtEnd) {
    const ChunkEntry& chunk = cursor->chunk();
    const std::uint64_t offset = position - chunk.position;
    if (offset >= chunk.dataSize) {
      result.failure = cursor->advance();
      continue;
    }
    const auto wanted = static_cast<std::uint32_t>(std::min<std::uint64_t>(
        chunk.dataSize - offset, len - result.bytes));
    if (offset == 0 && wanted == chunk.dataSize &&
        cursor->state() == ChunkCursor::State::AtHeader) {
      // The whole chunk goes straight to the caller.
      result.failure = cursor->decodeInto(out + result.bytes);
    } else {
      const auto end = static_cast<std::uint32_t>(offset) + wanted;
      result.failure = cursor->decode(end, partial);
      if (result.ok()) {
        std::memcpy(out + result.bytes, cursor->data() + offset, wanted);
      }
    }
    if (!result.ok()) break;
    result.bytes += wanted;
    position += wanted;
  }
  giveBack(std::move(cursor));
  return result;
}

ReadResult SharedReader::File::readSpread(std::uint64_t position,
                                          unsigned char* out, std::size_t len,
                                          bool partial, unsigned threads) {
  // Where each part starts: evenly apart, then moved back to the start of
  // the chunk holding it, so that no chunk is decompressed twice.
  std::vector<std::uint64_t> starts{position};
  {
    std::unique_ptr<ChunkCursor> cursor = takeCursor();
    for (unsigned i = 1; i < threads; ++i) {
      const std::uint64_t even = position + len / threads * i;
      std::uint64_t start = even;
      if (cursor->land(even).ok() &&
          cursor->state() != ChunkCursor::State::AtEnd) {
        start = cursor->chunk().position;
      }
      if (start > starts.back()) starts.push_back(start);
    }
    giveBack(std::move(cursor));
  }
  const std::uint64_t end = position + len;
  std::vector<ReadResult> parts(starts.size());
  {
    std::shared_ptr<WorkerPool> helpers;
    {
      std::lock_guard<std::mutex> lock(poolMutex);
      if (!pool || pool->helpers() != threads) {
        pool = std::make_shared<WorkerPool>(threads);
      }
      helpers = pool;
    }
    WorkerPool::Batch batch(*helpers);
    for (std::size_t i = 0; i < starts.size(); ++i) {
      const std::uint64_t from = starts[i];
      const std::uint64_t to = i + 1 < starts.size() ? starts[i + 1] : end;
      batch.run([this, &parts, i, from, to, out, position, partial] {
        parts[i] = readRange(from, out + (from - position),
                             static_cast<std::size_t>(to - from), partial);
      });
    }
    batch.wait();
  }
  // What one thread would have answered: the parts up to the first that
  // fell short.
  ReadResult result;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    result.bytes += parts[i].bytes;
    const std::uint64_t to = i + 1 < starts.size() ? starts[i + 1] : end;
    if (!parts[i].ok() || starts[i] + parts[i].bytes < to) {
      result.failure = parts[i].failure;
      break;
    }
  }
  return result;
}

SharedReader::SharedReader() { initCompression(); }

SharedReader::~SharedReader() = default;

Failure SharedReader::open(const char* name, const IndexChoice& index) {
  close();
  if (name == nullptr) return Failure::ofError(EINVAL);
  OpenRules rules;
  rules.needSeek = true;
  rules.needPacked = true;
  return open(openFile(name, rules), index);
}

Failure SharedReader::open(OpenedFile&& opened, const IndexChoice& index) {
  close();
  if (!opened.ok()) return opened.failure();
  if (!opened.packed()) return Failure::ofDamage(Damage::NotPacked);
  if (!opened.seekable()) return Failure::ofError(ESPIPE);
  const std::string indexName = opened.indexName(index);
  const S3Options s3 = opened.s3Options();
  const std::uint32_t flags = opened.signatureFlags();
  auto file = std::make_shared<File>(opened.takeSource());
  file->reader.takeUpIndex(indexName, flags, nullptr, s3);
  file->firstHeader();
  std::lock_guard<std::mutex> lock(door);
  this->file = std::move(file);
  return {};
}

void SharedReader::close() {
  std::shared_ptr<File> closing;
  std::lock_guard<std::mutex> lock(door);
  closing.swap(file);
}

bool SharedReader::isOpen() const { return current() != nullptr; }

std::shared_ptr<SharedReader::File> SharedReader::current() const {
  std::lock_guard<std::mutex> lock(door);
  return file;
}

void SharedReader::setPartialDecoding(bool on) { partialDecoding = on; }

void SharedReader::setThreads(unsigned count) { threads = threadsToUse(count); }

ReadResult SharedReader::readAt(std::uint64_t position, void* buf,
                                std::size_t len) {
  const std::shared_ptr<File> open = current();
  if (!open) {
    ReadResult result;
    result.failure = Failure::ofError(EBADF);
    return result;
  }
  if (len == 0) return {};
  if (const Failure first = open->firstHeader(); first.failed()) {
    ReadResult result;
    result.failure = first;
    return result;
  }
  auto* out = static_cast<unsigned char*>(buf);
  const unsigned helpers = threads;
  if (helpers > 1 && len >= kParallelRead) {
    return open->readSpread(position, out, len, partialDecoding, helpers);
  }
  return open->readRange(position, out, len, partialDecoding);
}

Failure SharedReader::chunkStart(std::uint64_t position, std::uint64_t& start) {
  start = 0;
  const std::shared_ptr<File> open = current();
  if (!open) return Failure::ofError(EBADF);
  if (const Failure first = open->firstHeader(); first.failed()) return first;
  std::unique_ptr<ChunkCursor> cursor = open->takeCursor();
  cursor->discardHeldBytes();
  const Failure failure = cursor->land(position);
  start = cursor->chunk().position;
  open->giveBack(std::move(cursor));
  return failure;
}

Failure SharedReader::dataSize(std::uint64_t& size) {
  size = 0;
  const std::shared_ptr<File> open = current();
  if (!open) return Failure::ofError(EBADF);
  if (const Failure first = open->firstHeader(); first.failed()) return first;
  return open->reader.dataSize(size);
}

std::int64_t SharedReader::size() {
  std::uint64_t size = 0;
  return dataSize(size).ok() ? static_cast<std::int64_t>(size) : -1;
}

}  // namespace kob
