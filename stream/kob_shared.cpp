// SPDX-License-Identifier: GPL-2.0-or-later
#include "kob_shared.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

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

  ChunkReader reader;
  std::mutex idleMutex;
  std::vector<std::unique_ptr<ChunkCursor>> idle;
};

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
  const std::string indexName =
      index.where == IndexChoice::Where::At     ? index.name
      : index.where == IndexChoice::Where::None ? std::string()
                                                 : opened.indexName();
  auto file = std::make_shared<File>(opened.takeSource());
  file->reader.takeUpIndex(indexName);
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

ReadResult SharedReader::readAt(std::uint64_t position, void* buf,
                                std::size_t len) {
  ReadResult result;
  const std::shared_ptr<File> open = current();
  if (!open) {
    result.failure = Failure::ofError(EBADF);
    return result;
  }
  if (len == 0) return result;
  std::unique_ptr<ChunkCursor> cursor = open->takeCursor();
  cursor->discardHeldBytes();
  const bool partial = partialDecoding;
  auto* out = static_cast<unsigned char*>(buf);
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
    const auto end = static_cast<std::uint32_t>(offset) + wanted;
    result.failure = cursor->decode(end, partial);
    if (!result.ok()) break;
    std::memcpy(out + result.bytes, cursor->data() + offset, wanted);
    result.bytes += wanted;
    position += wanted;
  }
  open->giveBack(std::move(cursor));
  return result;
}

Failure SharedReader::dataSize(std::uint64_t& size) {
  size = 0;
  const std::shared_ptr<File> open = current();
  if (!open) return Failure::ofError(EBADF);
  return open->reader.dataSize(size);
}

std::int64_t SharedReader::size() {
  std::uint64_t size = 0;
  return dataSize(size).ok() ? static_cast<std::int64_t>(size) : -1;
}

}  // namespace kob
