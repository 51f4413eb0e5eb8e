#include "kob.h"

#include <lzo/lzo1x.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "chunk_format.h"

namespace {

using kob::kFirstHeaderOffset;
using kob::kHeaderSize;
using kob::kMaxFieldValue;
using kob::kSignature;
constexpr std::uint64_t kMaxPosition = 0xFFFFFFFFu;
// The read window holds at most the largest payload and the headers on
// either side of it.
constexpr std::size_t kWindowSize = kHeaderSize + kMaxFieldValue + kHeaderSize;

std::unique_ptr<unsigned char[]> allocateBytes(std::size_t count) {
  return std::make_unique_for_overwrite<unsigned char[]>(count);
}

}  // namespace

// The compressor's work memory, shared by every object: it is large
// (458752 bytes) and needed only while one chunk is compressed.
static kob::WorkMemory __kob_wrkmem;

KobFile::KobFile() { lzo_init(); }

KobFile::KobFile(const char* path, int mode, int aBufferSize)
    : bufferSize(aBufferSize) {
  lzo_init();
  open(path, mode);
}

KobFile::~KobFile() { close(); }

KobFile::KobFile(KobFile&& other) noexcept { takeOver(other); }

KobFile& KobFile::operator=(KobFile&& other) noexcept {
  if (this != &other) {
    close();
    takeOver(other);
  }
  return *this;
}

void KobFile::takeOver(KobFile& other) noexcept {
  file = std::move(other.file);
  compressed = other.compressed;
  chunkDataSize = other.chunkDataSize;
  chunkSize = other.chunkSize;
  lastChunkSize = other.lastChunkSize;
  totalReadBytes = other.totalReadBytes;
  fileMode = other.fileMode;
  bufferSize = other.bufferSize;
  bufferPos = other.bufferPos;
  accessMode = other.accessMode;
  buffer = std::move(other.buffer);
  compressedBuffer = std::move(other.compressedBuffer);
  writerChunkSize = other.writerChunkSize;
  errorSeen = std::exchange(other.errorSeen, false);
  bufferCapacity = std::exchange(other.bufferCapacity, 0);
  compressedCapacity = std::exchange(other.compressedCapacity, 0);
  bufferHoldsChunk = other.bufferHoldsChunk;
  headerOffset = other.headerOffset;
  windowStart = other.windowStart;
  windowLength = std::exchange(other.windowLength, 0);
  filePosition = other.filePosition;
  hasBackLink = other.hasBackLink;
  chunkIndex = std::move(other.chunkIndex);
  brokenLinks = std::move(other.brokenLinks);
  indexComplete = other.indexComplete;
  indexEnabled = other.indexEnabled;
  chunkNumber = other.chunkNumber;
}

// ---------------------------------------------------------------------------
// Opening and closing

bool KobFile::open(const char* path, int mode) {
  close();
  fileMode = mode;
  compressed = false;
  totalReadBytes = lastChunkSize = chunkSize = chunkDataSize = 0;
  bufferPos = 0;
  accessMode = START;
  headerOffset = kFirstHeaderOffset;
  hasBackLink = true;
  errorSeen = false;
  // close() has released the arrays, the read window and the index.
  indexComplete = false;
  chunkNumber = 0;
  windowStart = filePosition = 0;
  if (path == nullptr) return false;
  if (mode == WRITE && (bufferSize < 1 || bufferSize > int{kMaxFieldValue})) {
    return false;
  }
  file.reset(std::fopen(path, mode == READ ? "rb" : "wb"));
  if (!file) return false;
  if (mode == READ) {
    openReader(path);
  } else if (mode == WRITE) {
    openWriter();
  }
  return isOpen();
}

void KobFile::openReader(const char* path) {
  for (int i = 0; i < kob::kSignatureTestLength; ++i) {
    if (std::fgetc(file.get()) != kSignature[i]) {
      std::fseek(file.get(), 0, SEEK_SET);
      return;
    }
  }
  compressed = true;
  // Chunks are read whole into the read window; stdio's buffer would only
  // add a copy and split the reads. Buffering is settled before any I/O.
  std::FILE* reopened = std::freopen(path, "rb", file.release());
  if (reopened == nullptr) return;
  file.reset(reopened);
  std::setvbuf(reopened, nullptr, _IONBF, 0);
  filePosition = 0;
  if (readChunkHeader()) recordChunk(false);
}

void KobFile::openWriter() {
  compressed = true;
  writerChunkSize = bufferSize;
  buffer = allocateBytes(writerChunkSize);
  compressedBuffer =
      allocateBytes(kob::worstCaseCompressedSize(writerChunkSize));
  if (std::fwrite(kSignature, 1, sizeof kSignature, file.get()) !=
      sizeof kSignature) {
    errorSeen = true;
  }
}

int KobFile::close() {
  if (!file) {
    releaseArrays();
    return 0;
  }
  if (compressed && fileMode == WRITE) {
    writeChunkData();
    if (!kob::writeChunkRecord(file.get(), 0, nullptr, 0, lastChunkSize)) {
      errorSeen = true;
    }
  }
  bool failed = errorSeen && fileMode != READ;
  if (fileMode != READ &&
      (std::ferror(file.get()) || std::fflush(file.get()))) {
    failed = true;
  }
  releaseArrays();
  if (std::fclose(file.release()) != 0) failed = true;
  errorSeen = false;
  return failed ? -1 : 0;
}

// Gives back everything a file needed: the arrays and the chunk index.
void KobFile::releaseArrays() {
  buffer.reset();
  compressedBuffer.reset();
  bufferCapacity = compressedCapacity = 0;
  windowLength = 0;
  chunkIndex = std::vector<IndexEntry>();
  brokenLinks = std::vector<std::size_t>();
}

bool KobFile::isOpen() { return file != nullptr; }

bool KobFile::isCompressed() { return compressed; }

bool KobFile::hasError() {
  return file && (errorSeen || std::ferror(file.get()));
}

int KobFile::getBufferSize() { return bufferSize; }

void KobFile::setBufferSize(int size) { bufferSize = size; }

// ---------------------------------------------------------------------------
// Writing

int KobFile::write(const char* buf, unsigned int len) {
  if (!file) return 0;
  if (!compressed)
    return static_cast<int>(std::fwrite(buf, 1, len, file.get()));
  if (fileMode != WRITE) return 0;
  unsigned int written = 0;
  while (len > 0) {
    unsigned int room = static_cast<unsigned int>(writerChunkSize - bufferPos);
    unsigned int bytes = std::min(room, len);
    std::memcpy(buffer.get() + bufferPos, buf, bytes);
    bufferPos += static_cast<int>(bytes);
    written += bytes;
    buf += bytes;
    len -= bytes;
    if (bufferPos >= writerChunkSize) writeChunkData();
  }
  return static_cast<int>(written);
}

int KobFile::put(int c) {
  if (!file) return -1;
  if (!compressed) return std::fputc(c, file.get());
  if (fileMode != WRITE) return -1;
  if (bufferPos >= writerChunkSize) writeChunkData();
  buffer[bufferPos++] = static_cast<unsigned char>(c);
  return c;
}

void KobFile::writeChunkData() {
  if (bufferPos == 0) return;
  writeChunk(buffer.get(), static_cast<unsigned int>(bufferPos));
  bufferPos = 0;
}

void KobFile::writeChunk(const unsigned char* data, unsigned int length) {
  const bool done = kob::compressChunk(
      data, length, compressedBuffer.get(), __kob_wrkmem,
      [this](std::uint32_t dataSize, const unsigned char* payload,
             std::uint32_t payloadSize) {
        if (!kob::writeChunkRecord(file.get(), dataSize, payload, payloadSize,
                                   lastChunkSize)) {
          errorSeen = true;
        }
        lastChunkSize = payloadSize;
        return true;
      });
  if (!done) errorSeen = true;
}

// ---------------------------------------------------------------------------
// Reading

// Makes `count` bytes at file offset `offset` available in the read window,
// reading `readAhead` bytes more in the same call when the window must be
// refilled. Returns them; `available` tells how many of the `count` the file
// had (fewer at its end).
const unsigned char* KobFile::fetch(long offset, std::size_t count,
                                    std::size_t readAhead,
                                    std::size_t& available) {
  const long windowEnd = windowStart + static_cast<long>(windowLength);
  if (offset >= windowStart && offset + static_cast<long>(count) <= windowEnd) {
    available = count;
    return compressedBuffer.get() + (offset - windowStart);
  }
  const std::size_t wanted = count + readAhead;
  if (compressedCapacity < wanted) {
    compressedBuffer = allocateBytes(wanted);
    compressedCapacity = static_cast<std::uint32_t>(wanted);
  }
  windowStart = offset;
  windowLength = 0;
  if (offset != filePosition && std::fseek(file.get(), offset, SEEK_SET) != 0) {
    filePosition = -1;
    available = 0;
    return compressedBuffer.get();
  }
  windowLength = std::fread(compressedBuffer.get(), 1, wanted, file.get());
  filePosition = offset + static_cast<long>(windowLength);
  available = std::min(count, windowLength);
  return compressedBuffer.get();
}

// Reads the header at headerOffset. A header cut short before its chunkSize
// is complete is damage; one cut inside its back-link is still an end marker
// when its chunkSize is 0.
bool KobFile::readChunkHeader() {
  bufferPos = 0;
  // Where the index knows this chunk's size, its payload and the next header
  // come in the same read.
  std::size_t readAhead = 0;
  if (chunkNumber + 1 < chunkIndex.size()) {
    readAhead = static_cast<std::size_t>(
        chunkIndex[chunkNumber + 1].headerOffset - headerOffset);
  }
  std::size_t got = 0;
  const unsigned char* header =
      fetch(headerOffset, kHeaderSize, readAhead, got);
  if (got < 4) {
    stopOnDamage();
    return false;
  }
  chunkDataSize = kob::decodeUInt2(header);
  chunkSize = kob::decodeUInt2(header + 2);
  hasBackLink = got == kHeaderSize;
  lastChunkSize = hasBackLink ? kob::decodeUInt2(header + 4) : 0;
  if (chunkSize == 0) {
    // Nothing follows the end marker; anything that does means a chunk
    // header was changed into one.
    std::size_t trailing = 0;
    if (hasBackLink) fetch(headerOffset + kHeaderSize, 1, 0, trailing);
    if (trailing > 0) {
      stopOnDamage();
      return false;
    }
    accessMode = END;
    return true;
  }
  if (!hasBackLink) {
    stopOnDamage();
    return false;
  }
  accessMode = START;
  return true;
}

// Moves from the current chunk to the next header. totalReadBytes is then the
// new chunk's first position.
bool KobFile::enterNextChunk() {
  const std::uint32_t previousPayloadSize = chunkSize;
  headerOffset += kHeaderSize + chunkSize;
  ++chunkNumber;
  if (!readChunkHeader()) return false;
  if (accessMode == START &&
      std::uint64_t{totalReadBytes} + chunkDataSize > kMaxPosition) {
    stopOnDamage();
    return false;
  }
  recordChunk(hasBackLink && lastChunkSize != previousPayloadSize);
  return true;
}

// Adds the current chunk to the index when it is the first one past the
// chunks already known.
void KobFile::recordChunk(bool brokenLink) {
  if (!indexEnabled || chunkNumber != chunkIndex.size()) return;
  chunkIndex.push_back({headerOffset, totalReadBytes});
  if (brokenLink) brokenLinks.push_back(chunkNumber);
  if (accessMode == END) indexComplete = true;
}

void KobFile::readChunkData() {
  for (;;) {
    if (accessMode == START && !loadChunk(nullptr)) return;
    if (accessMode != IN || std::uint32_t(bufferPos) < chunkDataSize) return;
    if (!enterNextChunk()) return;
  }
}

// Decompresses the current chunk into `destination`, or into `buffer` when
// it is null.
bool KobFile::loadChunk(unsigned char* destination) {
  bufferHoldsChunk = destination == nullptr;
  if (bufferHoldsChunk) {
    if (bufferCapacity < chunkDataSize || !buffer) {
      buffer = allocateBytes(chunkDataSize);
      bufferCapacity = chunkDataSize;
    }
    destination = buffer.get();
  }
  // Reading on fills the window, so that the chunks after this one, and at
  // least the next header, usually come with the same read.
  std::size_t got = 0;
  const unsigned char* payload = fetch(headerOffset + kHeaderSize, chunkSize,
                                       kWindowSize - chunkSize, got);
  lzo_uint produced = chunkDataSize;
  if (got < chunkSize ||
      lzo1x_decompress_safe(payload, chunkSize, destination, &produced,
                            nullptr) != LZO_E_OK ||
      produced != chunkDataSize) {
    stopOnDamage();
    return false;
  }
  accessMode = IN;
  bufferPos = 0;
  return true;
}

// The reader stops for good (until the next open or close) at the start of
// the chunk where the damage was found, so no byte of it is ever served.
void KobFile::stopOnDamage() {
  totalReadBytes -= static_cast<std::uint32_t>(bufferPos);
  bufferPos = 0;
  accessMode = END;
  errorSeen = true;
}

int KobFile::read(unsigned char* buf, unsigned int len) {
  if (!file) return 0;
  if (!compressed) return static_cast<int>(std::fread(buf, 1, len, file.get()));
  if (fileMode != READ) return 0;
  if (len == 0) readChunkData();
  unsigned int delivered = 0;
  while (len > 0) {
    unsigned int bytes = 0;
    skipUsedChunks();
    if (accessMode == START && chunkDataSize > 0 && len >= chunkDataSize) {
      // The whole chunk is wanted: decompress it straight into `buf`.
      if (!loadChunk(buf)) break;
      bytes = chunkDataSize;
    } else {
      readChunkData();
      if (accessMode != IN) break;
      bytes = std::min(chunkDataSize - bufferPos, len);
      std::memcpy(buf, buffer.get() + bufferPos, bytes);
    }
    bufferPos += static_cast<int>(bytes);
    totalReadBytes += bytes;
    delivered += bytes;
    buf += bytes;
    len -= bytes;
  }
  return static_cast<int>(delivered);
}

// Moves past a chunk whose bytes have all been read, to the next header.
void KobFile::skipUsedChunks() {
  while (accessMode == IN && std::uint32_t(bufferPos) >= chunkDataSize) {
    if (!enterNextChunk()) return;
  }
}

int KobFile::get() {
  if (!file) return -1;
  if (!compressed) return std::fgetc(file.get());
  if (fileMode != READ || accessMode == END) return -1;
  readChunkData();
  if (accessMode != IN) return -1;
  ++totalReadBytes;
  return buffer[bufferPos++];
}

int KobFile::tell() {
  if (!file) return -1;
  if (!compressed) return static_cast<int>(std::ftell(file.get()));
  return static_cast<int>(totalReadBytes);
}

bool KobFile::isEOF() {
  if (!file) return true;
  if (!compressed) return std::feof(file.get());
  return accessMode == END;
}

// ---------------------------------------------------------------------------
// Seeking

int KobFile::seek(int offset, int whence) {
  if (!file) return -1;
  if (!compressed) return std::fseek(file.get(), offset, whence);
  if (fileMode != READ) return -1;
  if (!errorSeen) {
    seekBy(whence == 0 ? std::int64_t{offset} - totalReadBytes : offset);
  }
  return static_cast<int>(totalReadBytes);
}

void KobFile::seekBy(std::int64_t distance) {
  const bool insideChunk = accessMode != END && distance >= -bufferPos &&
                           distance < std::int64_t{chunkDataSize} - bufferPos;
  if (distance == 0) {
    // Already there: nothing is read.
  } else if (insideChunk) {
    seekInsideChunk(distance);
  } else if (distance <= -std::int64_t{totalReadBytes}) {
    seekToFirstChunk();
  } else if (seekThroughIndex(totalReadBytes + distance, distance < 0)) {
    // Done with one jump.
  } else if (distance < 0) {
    seekBackward(distance);
  } else {
    seekForward(distance);
  }
}

void KobFile::seekInsideChunk(std::int64_t distance) {
  if (accessMode == START) readChunkData();
  if (accessMode == IN && !bufferHoldsChunk) {
    // The chunk went straight to a caller's buffer: decompress it again.
    const int position = bufferPos;
    if (!loadChunk(nullptr)) return;
    bufferPos = position;
  }
  if (accessMode != IN) return;
  bufferPos += static_cast<int>(distance);
  totalReadBytes += static_cast<std::uint32_t>(distance);
}

void KobFile::seekToFirstChunk() {
  totalReadBytes = 0;
  bufferPos = 0;
  headerOffset = kFirstHeaderOffset;
  chunkNumber = 0;
  readChunkHeader();
}

// Seeks to `target` with the chunk index when it knows enough: the chunk
// that holds the target, or the furthest chunk known, is reached with one
// absolute move and one header. Lands exactly where a walk over the headers
// would: in a chunk's first byte without decompressing it only when moving
// forward, and stopped at the same broken back-link when moving backward.
// Returns false when a walk from the current chunk is as good.
bool KobFile::seekThroughIndex(std::int64_t target, bool backward) {
  if (chunkIndex.empty()) return false;
  const std::size_t last = chunkIndex.size() - 1;
  if (target >= chunkIndex[last].position) {
    if (backward || chunkNumber >= last) return false;
    if (jumpToChunk(last) && !indexComplete) {
      seekBy(target - chunkIndex[last].position);
    }
    return true;
  }
  const auto after = std::upper_bound(
      chunkIndex.begin(), chunkIndex.end(), target,
      [](std::int64_t t, const IndexEntry& e) { return t < e.position; });
  const auto landing = static_cast<std::size_t>(after - chunkIndex.begin()) - 1;
  if (!backward && landing <= chunkNumber + 1) return false;
  if (backward && stopAtBrokenLink(landing)) return true;
  if (jumpToChunk(landing)) {
    const std::int64_t within = target - chunkIndex[landing].position;
    if (backward || within > 0) seekInsideChunk(within);
  }
  return true;
}

// A walk back from the current chunk to chunk `landing` would follow the
// back-links of the chunks after `landing`; if one of them is broken, stop
// where that walk would have stopped: at the start of that chunk.
bool KobFile::stopAtBrokenLink(std::size_t landing) {
  const auto after =
      std::upper_bound(brokenLinks.begin(), brokenLinks.end(), chunkNumber);
  if (after == brokenLinks.begin() || *(after - 1) <= landing) return false;
  totalReadBytes = chunkIndex[*(after - 1)].position;
  bufferPos = 0;
  stopOnDamage();
  return true;
}

// Moves to a chunk the index knows and reads its header, which must still
// agree with what the index learned from it.
bool KobFile::jumpToChunk(std::size_t number) {
  const IndexEntry& entry = chunkIndex[number];
  headerOffset = entry.headerOffset;
  totalReadBytes = entry.position;
  chunkNumber = number;
  if (!readChunkHeader()) return false;
  if (number + 1 < chunkIndex.size()) {
    const IndexEntry& next = chunkIndex[number + 1];
    if (next.position - entry.position != chunkDataSize ||
        next.headerOffset - entry.headerOffset != kHeaderSize + chunkSize) {
      stopOnDamage();
      return false;
    }
  }
  return true;
}

// Walks back header by header along the back-links, checking that each link
// stays within the file and leads to a header of the promised size.
void KobFile::seekBackward(std::int64_t distance) {
  if (!hasBackLink) {
    // The file ends inside the end marker's back-link: walk from the start.
    std::int64_t target = totalReadBytes + distance;
    seekToFirstChunk();
    seekBy(target);
    return;
  }
  distance += bufferPos;
  totalReadBytes -= static_cast<std::uint32_t>(bufferPos);
  bufferPos = 0;
  while (distance < 0) {
    const std::uint32_t promisedSize = lastChunkSize;
    const long previousHeader = headerOffset - kHeaderSize - promisedSize;
    if (previousHeader < kFirstHeaderOffset) {
      stopOnDamage();
      return;
    }
    headerOffset = previousHeader;
    --chunkNumber;
    if (!readChunkHeader()) return;
    if (chunkSize != promisedSize || chunkDataSize > totalReadBytes) {
      stopOnDamage();
      return;
    }
    distance += chunkDataSize;
    totalReadBytes -= chunkDataSize;
    if (headerOffset == kFirstHeaderOffset && totalReadBytes != 0) {
      stopOnDamage();
      return;
    }
  }
  readChunkData();
  if (accessMode != IN) return;
  bufferPos += static_cast<int>(distance);
  totalReadBytes += static_cast<std::uint32_t>(distance);
}

// Walks forward header by header, skipping payloads unread; only the chunk
// landed in is decompressed, and not even that one when the target is its
// first byte.
void KobFile::seekForward(std::int64_t distance) {
  if (accessMode == END) return;
  const std::uint32_t rest =
      chunkDataSize - static_cast<std::uint32_t>(bufferPos);
  distance -= rest;
  totalReadBytes += rest;
  bufferPos = 0;
  for (;;) {
    if (!enterNextChunk() || accessMode == END) return;
    if (distance < std::int64_t{chunkDataSize}) break;
    distance -= chunkDataSize;
    totalReadBytes += chunkDataSize;
  }
  if (distance > 0) seekInsideChunk(distance);
}
