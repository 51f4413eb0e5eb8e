#include "kob_shared.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "chunk_index.h"
#include "format.h"
#include "read_window.h"
#include "saved_index.h"
#include "unique_fd.h"

namespace kob {

struct SharedReader::File {
  explicit File(UniqueFd aFd)
      : fd(std::move(aFd)), walkWindow(fd.get(), true) {}

  UniqueFd fd;
  std::atomic<bool> partialDecoding{false};
  // Guards the index and the window its walks read through.
  std::mutex mutex;
  ReadWindow walkWindow;
  ChunkIndex index;
};

namespace {

// Where a position lies, as the index says.
struct Location {
  enum Kind { InChunk, AtEnd, Damaged, ReadFailed } kind = ReadFailed;
  ChunkEntry chunk{};
  // InChunk: the chunk's header; AtEnd: the end marker; Damaged: the
  // damaged header.
  std::int64_t headerOffset = 0;
  Damage damage = Damage::None;
  int error = 0;
};

// One thread's room for a payload and a chunk's data.
struct Scratch {
  std::vector<unsigned char> payload =
      std::vector<unsigned char>(kHeaderSize + kMaxFieldValue);
  std::vector<unsigned char> data = std::vector<unsigned char>(kMaxFieldValue);
};

// Finds the chunk that holds `position`, walking on when it lies beyond the
// chunks known. Called with the index's lock held.
Location locate(ChunkIndex& index, ReadWindow& window, std::uint64_t position) {
  Location where;
  if (!index.learnUpTo(position, window)) {
    where.error = window.error();
    return where;
  }
  const ChunkIndex::Frontier& frontier = index.frontier();
  if (position < frontier.position) {
    where.kind = Location::InChunk;
    where.chunk = *index.find(position);
    where.headerOffset = where.chunk.headerOffset;
    return where;
  }
  where.headerOffset = frontier.headerOffset;
  if (frontier.state == ChunkIndex::Frontier::Damaged) {
    where.kind = Location::Damaged;
    where.damage = frontier.damage;
    return where;
  }
  switch (index.confirmEnd(window)) {
    case ChunkIndex::EndCheck::Confirmed:
      where.kind = Location::AtEnd;
      return where;
    case ChunkIndex::EndCheck::Forgotten:
      return locate(index, window, position);
    case ChunkIndex::EndCheck::ReadFailed:
      where.error = window.error();
      return where;
  }
  return where;
}

// Reads the chunks without data whose headers lie from `from` up to `to`,
// checking that each payload expands to nothing, as reading through them
// does; `previousPayloadSize` is that of the chunk before `from`.
ReadResult checkChunksWithoutData(int fd, std::int64_t from, std::int64_t to,
                                  std::uint32_t previousPayloadSize,
                                  Scratch& scratch) {
  ReadResult result;
  while (from < to && result.ok()) {
    const long got = preadFully(fd, scratch.payload.data(), kHeaderSize, from);
    ChunkHeader header;
    if (got < 0) {
      result.error = errno;
    } else if ((result.damage = decodeHeader(
                    scratch.payload.data(), static_cast<std::size_t>(got),
                    previousPayloadSize, header)) == Damage::None) {
      const long stored =
          preadFully(fd, scratch.payload.data(), header.payloadSize,
                     from + static_cast<std::int64_t>(kHeaderSize));
      if (stored < 0) {
        result.error = errno;
      } else {
        result.damage = stored < static_cast<long>(header.payloadSize)
                            ? Damage::CutShort
                            : expandPayload(scratch.payload.data(),
                                            header.payloadSize, nullptr, 0);
      }
    }
    previousPayloadSize = header.payloadSize;
    from += static_cast<std::int64_t>(kHeaderSize + header.payloadSize);
  }
  return result;
}

}  // namespace

SharedReader::SharedReader() { initCompression(); }

SharedReader::~SharedReader() = default;

bool SharedReader::open(const char* path) {
  close();
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  SignatureProbe probe = probeSignature(fd.get());
  if (!probe.seekable || !probe.packed) {
    errno = !probe.seekable ? ESPIPE : probe.error != 0 ? probe.error : EINVAL;
    return false;
  }
  file = std::make_unique<File>(std::move(fd));
  readSavedIndex(path, file->fd.get(), file->index);
  return true;
}

void SharedReader::close() { file.reset(); }

bool SharedReader::isOpen() const { return file != nullptr; }

void SharedReader::setPartialDecoding(bool on) {
  if (file) file->partialDecoding = on;
}

ReadResult SharedReader::readAt(std::uint64_t position, void* buf,
                                std::size_t len) {
  ReadResult result;
  if (!file) {
    result.error = EBADF;
    return result;
  }
  thread_local Scratch scratch;
  auto* out = static_cast<unsigned char*>(buf);
  // A header that no longer says what the index learned means the file
  // changed: the index is learned afresh, once.
  bool relearned = false;
  // Where the next header lies when the read runs on through the file: the
  // chunks without data found before the next chunk read are checked, as
  // KobFile's reading through them does. A read from 0 starts at the first
  // header, as a KobFile just opened does.
  std::int64_t nextHeader = position == 0 && len > 0 ? kFirstHeaderOffset : -1;
  std::uint32_t previousPayloadSize = 0;
  while (result.bytes < len) {
    Location where;
    {
      std::lock_guard<std::mutex> lock(file->mutex);
      where = locate(file->index, file->walkWindow, position);
    }
    if (nextHeader >= 0 && where.kind != Location::ReadFailed &&
        where.headerOffset > nextHeader) {
      const ReadResult between =
          checkChunksWithoutData(file->fd.get(), nextHeader, where.headerOffset,
                                 previousPayloadSize, scratch);
      result.damage = between.damage;
      result.error = between.error;
      if (!result.ok()) break;
    }
    if (where.kind == Location::AtEnd) break;
    if (where.kind == Location::Damaged) {
      result.damage = where.damage;
      break;
    }
    if (where.kind == Location::ReadFailed) {
      result.error = where.error != 0 ? where.error : EIO;
      break;
    }
    const ChunkEntry& chunk = where.chunk;
    const std::size_t stored = kHeaderSize + chunk.payloadSize;
    const long got = preadFully(file->fd.get(), scratch.payload.data(), stored,
                                chunk.headerOffset);
    if (got < 0) {
      result.error = errno;
      break;
    }
    ChunkHeader header;
    if (decodeHeader(scratch.payload.data(), static_cast<std::size_t>(got),
                     chunk.backLink, header) != Damage::None ||
        header.dataSize != chunk.dataSize ||
        header.payloadSize != chunk.payloadSize) {
      if (relearned) {
        result.error = EIO;  // the file keeps changing
        break;
      }
      relearned = true;
      std::lock_guard<std::mutex> lock(file->mutex);
      file->index.forget();
      continue;
    }
    if (static_cast<std::size_t>(got) < stored) {
      result.damage = Damage::CutShort;  // the payload, by the file's end
      break;
    }
    const auto offset = static_cast<std::uint32_t>(position - chunk.position);
    const auto wanted = static_cast<std::uint32_t>(
        std::min<std::size_t>(chunk.dataSize - offset, len - result.bytes));
    std::uint32_t decoded = 0;
    result.damage = expandChunk(scratch.payload.data() + kHeaderSize, header,
                                offset + wanted, file->partialDecoding,
                                scratch.data.data(), decoded);
    if (result.damage != Damage::None) break;
    std::memcpy(out + result.bytes, scratch.data.data() + offset, wanted);
    result.bytes += wanted;
    position += wanted;
    nextHeader = chunk.headerOffset + static_cast<std::int64_t>(stored);
    previousPayloadSize = chunk.payloadSize;
  }
  return result;
}

std::int64_t SharedReader::size() {
  if (!file) return -1;
  std::lock_guard<std::mutex> lock(file->mutex);
  const Location end = locate(file->index, file->walkWindow, UINT64_MAX);
  return end.kind == Location::AtEnd
             ? static_cast<std::int64_t>(file->index.frontier().position)
             : -1;
}

}  // namespace kob
