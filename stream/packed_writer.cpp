#include "packed_writer.h"

#include <algorithm>
#include <cstring>

#include "format.h"

namespace kob {

PackedWriter::PackedWriter(std::FILE* aFile, int chunkSize)
    : file(aFile),
      bufferSize(static_cast<std::uint32_t>(chunkSize)),
      buffer(std::make_unique_for_overwrite<unsigned char[]>(bufferSize)),
      compressedBuffer(std::make_unique_for_overwrite<unsigned char[]>(
          worstCaseCompressedSize(bufferSize))) {
  initCompression();
  if (std::fwrite(kSignature, 1, sizeof kSignature, file.get()) !=
      sizeof kSignature) {
    errorSeen = true;
  }
}

PackedWriter::~PackedWriter() { close(); }

unsigned int PackedWriter::write(const char* buf, unsigned int len) {
  unsigned int written = 0;
  while (written < len) {
    const std::uint32_t bytes = std::min(bufferSize - bufferPos, len - written);
    std::memcpy(buffer.get() + bufferPos, buf + written, bytes);
    bufferPos += bytes;
    written += bytes;
    if (bufferPos >= bufferSize) writeChunkData();
  }
  return written;
}

int PackedWriter::put(int c) {
  if (bufferPos >= bufferSize) writeChunkData();
  buffer[bufferPos++] = static_cast<unsigned char>(c);
  return c;
}

void PackedWriter::writeChunkData() {
  if (bufferPos == 0 || !file) return;
  const bool compressed = compressChunk(
      buffer.get(), bufferPos, compressedBuffer.get(), threadWorkMemory(),
      [this](std::uint32_t dataSize, const unsigned char* payload,
             std::uint32_t payloadSize) {
        if (!writeChunkRecord(file.get(), dataSize, payload, payloadSize,
                              lastChunkSize)) {
          errorSeen = true;
        }
        lastChunkSize = payloadSize;
        return true;
      });
  if (!compressed) errorSeen = true;
  bufferPos = 0;
}

bool PackedWriter::hasError() const {
  return errorSeen || (file && std::ferror(file.get()));
}

int PackedWriter::close() {
  if (!file) return 0;
  writeChunkData();
  if (!writeChunkRecord(file.get(), 0, nullptr, 0, lastChunkSize)) {
    errorSeen = true;
  }
  bool failed = hasError() || std::fflush(file.get()) != 0;
  if (std::fclose(file.release()) != 0) failed = true;
  return failed ? -1 : 0;
}

}  // namespace kob
