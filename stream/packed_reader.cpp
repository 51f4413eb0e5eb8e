#include "packed_reader.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "saved_index.h"

namespace kob {
namespace {

// Reading on brings this much of the file with each read: several chunks.
constexpr std::size_t kReadAhead = 64 * 1024;

}  // namespace

PackedReader::PackedReader(UniqueFd fd, bool seekable,
                           std::vector<unsigned char> consumed,
                           ChunkIndex::Observer observer)
    : descriptor(std::move(fd)),
      window(descriptor.get(), seekable, std::move(consumed)),
      index(seekable) {
  index.setObserver(std::move(observer));
  stepTo(kFirstHeaderOffset, 0);
}

void PackedReader::loadSavedIndex(const std::string& path) {
  readSavedIndex(path, descriptor.get(), index);
}

// ---------------------------------------------------------------------------
// Moving from chunk to chunk

// Reads the header at `offset` and makes it the current chunk. Returns true
// when it is a chunk; false at the end marker or when the reader stopped.
bool PackedReader::stepTo(std::int64_t offset,
                          std::uint32_t previousPayloadSize) {
  const ChunkIndex::Frontier& frontier = index.frontier();
  const bool atFrontier = offset == frontier.headerOffset &&
                          frontier.state == ChunkIndex::Frontier::Open;
  const HeaderRead read =
      atFrontier
          ? index.learnNext(window, kReadAhead)
          : readHeaderAt(window, offset, previousPayloadSize, kReadAhead);
  headerOffset = offset;
  ++chunksReadOn;
  switch (read.outcome) {
    case HeaderRead::ReadFailed:
      stopOnReadError();
      return false;
    case HeaderRead::Damaged:
      stopOnDamage(read.damage);
      return false;
    case HeaderRead::EndMarker:
      setChunk(read.header);
      stopAt(chunkStart);
      return false;
    case HeaderRead::Chunk:
      setChunk(read.header);
      return true;
  }
  return false;
}

bool PackedReader::stepToNextChunk() {
  chunkStart += chunkDataSize;
  return stepTo(
      headerOffset + static_cast<std::int64_t>(kHeaderSize + chunkSize),
      chunkSize);
}

void PackedReader::setChunk(const ChunkHeader& header) {
  chunkDataSize = header.dataSize;
  chunkSize = header.payloadSize;
  lastChunkSize = header.backLink;
  bufferPos = 0;
  decodedLength = 0;
  accessMode = START;
}

// Moves past chunks whose bytes have all been read. Returns true when the
// current chunk has a byte to read at bufferPos.
bool PackedReader::enterDataChunk() {
  while (accessMode != END) {
    if (bufferPos < chunkDataSize) return true;
    // A chunk without data has nothing to serve, but reading through it
    // still checks that its payload expands to nothing: a chunk whose size
    // was changed to 0 must not vanish from the data without a word.
    if (accessMode == START && !decodeUpTo(0)) return false;
    if (!stepToNextChunk()) return false;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Decompressing

const unsigned char* PackedReader::fetchPayload() {
  ReadWindow::Bytes bytes;
  // The next header comes in the same read.
  if (window.fetch(headerOffset + static_cast<std::int64_t>(kHeaderSize),
                   chunkSize + kHeaderSize, chunksReadOn > 1 ? kReadAhead : 0,
                   bytes) != ReadWindow::Result::Ok) {
    stopOnReadError();
    return nullptr;
  }
  if (bytes.size < chunkSize) {
    stopOnDamage(Damage::CutShort);
    return nullptr;
  }
  return bytes.data;
}

// Makes the buffer hold at least the chunk's first `end` bytes. With
// partial decoding, the first decode of a chunk stops soon after `end`; a
// later need beyond it decodes the whole chunk, once.
bool PackedReader::decodeUpTo(std::uint32_t end) {
  if (accessMode == IN && decodedLength >= end) return true;
  const unsigned char* payload = fetchPayload();
  if (payload == nullptr) return false;
  if (bufferCapacity < chunkDataSize || !buffer) {
    bufferCapacity = std::max<std::uint32_t>(chunkDataSize, 1);
    buffer = std::make_unique_for_overwrite<unsigned char[]>(bufferCapacity);
  }
  ChunkHeader header;
  header.dataSize = chunkDataSize;
  header.payloadSize = chunkSize;
  const Damage damage =
      expandChunk(payload, header, end, partialDecoding && accessMode == START,
                  buffer.get(), decodedLength);
  if (damage != Damage::None) {
    stopOnDamage(damage);
    return false;
  }
  accessMode = IN;
  return true;
}

// Decompresses the whole current chunk into `destination`, saving a copy
// when a caller wants all of it.
bool PackedReader::decodeInto(unsigned char* destination) {
  const unsigned char* payload = fetchPayload();
  if (payload == nullptr) return false;
  const Damage damage =
      expandPayload(payload, chunkSize, destination, chunkDataSize);
  if (damage != Damage::None) {
    stopOnDamage(damage);
    return false;
  }
  accessMode = IN;
  decodedLength = 0;
  return true;
}

// ---------------------------------------------------------------------------
// Reading

std::size_t PackedReader::read(unsigned char* buf, std::size_t len) {
  if (len == 0) {
    // Still brings the current chunk in, so that right after the last byte
    // the reader enters the end.
    if (enterDataChunk()) decodeUpTo(bufferPos + 1);
    return 0;
  }
  std::size_t delivered = 0;
  while (delivered < len && enterDataChunk()) {
    const std::size_t wanted = len - delivered;
    std::uint32_t bytes = 0;
    if (accessMode == START && bufferPos == 0 && wanted >= chunkDataSize) {
      if (!decodeInto(buf + delivered)) break;
      bytes = chunkDataSize;
    } else {
      bytes = static_cast<std::uint32_t>(
          std::min<std::size_t>(chunkDataSize - bufferPos, wanted));
      if (!decodeUpTo(bufferPos + bytes)) break;
      std::memcpy(buf + delivered, buffer.get() + bufferPos, bytes);
    }
    bufferPos += bytes;
    delivered += bytes;
  }
  return delivered;
}

int PackedReader::get() {
  if (!enterDataChunk() || !decodeUpTo(bufferPos + 1)) return -1;
  return buffer[bufferPos++];
}

// ---------------------------------------------------------------------------
// Seeking

std::int64_t PackedReader::seek(std::int64_t offset, int whence) {
  const auto here = static_cast<std::int64_t>(tell());
  if (stopped()) return here;
  std::int64_t target = offset;
  if (whence != 0 && __builtin_add_overflow(here, offset, &target)) {
    target = offset > 0 ? INT64_MAX : 0;
  }
  target = std::max<std::int64_t>(target, 0);
  if (target == here) return here;
  const auto wanted = static_cast<std::uint64_t>(target);
  // Position 0 is where opening leaves the reader: at the first header,
  // before any chunks without data that come ahead of the first byte.
  const bool backToFirstHeader =
      wanted == 0 && headerOffset != kFirstHeaderOffset;
  if (accessMode != END && wanted >= chunkStart &&
      wanted - chunkStart < chunkDataSize && !backToFirstHeader) {
    bufferPos = static_cast<std::uint32_t>(wanted - chunkStart);
    return target;
  }
  if (!window.seekable() && (wanted < chunkStart || backToFirstHeader)) {
    return -1;
  }
  moveTo(wanted);
  return static_cast<std::int64_t>(tell());
}

// Moves to `target`, outside the current chunk: to the chunk that holds it
// (not decompressed yet), or to the end of the data, or to the damage met
// on the way.
void PackedReader::moveTo(std::uint64_t target) {
  if (target == 0) {
    chunkStart = 0;
    stepTo(kFirstHeaderOffset, 0);
    return;
  }
  // A second pass follows only when a header no longer says what the index
  // learned from it, or the end marker is not where a saved index said: the
  // file changed, so it is walked afresh.
  for (int pass = 0; pass < 2; ++pass) {
    if (!index.learnUpTo(target, window)) {
      chunkStart = index.frontier().position;
      stopOnReadError();
      return;
    }
    const ChunkIndex::Frontier& frontier = index.frontier();
    if (target >= frontier.position) {
      if (frontier.state == ChunkIndex::Frontier::Ended) {
        switch (index.confirmEnd(window)) {
          case ChunkIndex::EndCheck::Confirmed:
            enterEnd();
            return;
          case ChunkIndex::EndCheck::Forgotten:
            continue;
          case ChunkIndex::EndCheck::ReadFailed:
            chunkStart = frontier.position;
            stopOnReadError();
            return;
        }
      } else {
        headerOffset = frontier.headerOffset;
        chunkStart = frontier.position;
        stopOnDamage(frontier.damage);
      }
      return;
    }
    const ChunkEntry* entry = index.find(target);
    if (entry != nullptr && jumpTo(*entry)) {
      bufferPos = static_cast<std::uint32_t>(target - chunkStart);
      return;
    }
    if (stopped()) return;
    index.forget();
  }
  readErrno = EIO;  // the file keeps changing under the reader
  stopAt(chunkStart);
}

// Makes a chunk the index knows the current one, reading its header, its
// payload and the next header in one go. Returns false when the header no
// longer says what the index learned.
bool PackedReader::jumpTo(const ChunkEntry& entry) {
  ReadWindow::Bytes bytes;
  if (window.fetch(entry.headerOffset,
                   kHeaderSize + entry.payloadSize + kHeaderSize, 0,
                   bytes) != ReadWindow::Result::Ok) {
    chunkStart = entry.position;
    stopOnReadError();
    return false;
  }
  ChunkHeader header;
  if (decodeHeader(bytes.data, bytes.size, entry.backLink, header) !=
          Damage::None ||
      header.dataSize != entry.dataSize ||
      header.payloadSize != entry.payloadSize) {
    return false;
  }
  headerOffset = entry.headerOffset;
  chunkStart = entry.position;
  setChunk(header);
  chunksReadOn = 0;
  return true;
}

void PackedReader::enterEnd() {
  const ChunkIndex::Frontier& frontier = index.frontier();
  headerOffset = frontier.headerOffset;
  lastChunkSize = frontier.previousPayloadSize;
  stopAt(frontier.position);
}

// ---------------------------------------------------------------------------
// Stopping

void PackedReader::stopAt(std::uint64_t position) {
  accessMode = END;
  chunkStart = position;
  chunkDataSize = 0;
  chunkSize = 0;
  bufferPos = 0;
  decodedLength = 0;
}

void PackedReader::stopOnDamage(Damage damage) {
  damageFound = damage;
  stopAt(chunkStart);
}

void PackedReader::stopOnReadError() {
  readErrno = window.error() != 0 ? window.error() : EIO;
  stopAt(chunkStart);
}

}  // namespace kob
