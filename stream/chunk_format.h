// The packed format's constants, and the one piece of code that turns data
// into chunks on disk, shared by KobFile's writer and the parallel packer.

#ifndef KOB_CHUNK_FORMAT_H
#define KOB_CHUNK_FORMAT_H

#include <lzo/lzo1x.h>

#include <cstdint>
#include <cstdio>

#include "coding.h"

namespace kob {

constexpr unsigned char kSignature[6] = {'K', 'O', 'B', 0x01, 0x00, 0x00};
// Bytes 0..3 identify a packed file; bytes 4 and 5 are not required.
constexpr int kSignatureTestLength = 4;
constexpr long kFirstHeaderOffset = sizeof kSignature;
constexpr long kHeaderSize = 6;
constexpr std::uint32_t kMaxFieldValue = 0xFFFF;

// Work memory for one compression at a time.
struct WorkMemory {
  lzo_align_t area[(LZO1X_999_MEM_COMPRESS + sizeof(lzo_align_t) - 1) /
                   sizeof(lzo_align_t)];
};

// LZO's documented bound for data that does not compress.
inline std::size_t worstCaseCompressedSize(std::size_t length) {
  return length + length / 16 + 64 + 3;
}

// Compresses `length` bytes into `scratch` (room for the worst case of
// `length`) and hands the result to emit(dataSize, payload, payloadSize).
// A compressed form too large for the 16-bit size field, possible only for
// more than 61617 bytes that do not compress, becomes two chunks of half the
// data each. Returns false when the compressor or `emit` fails.
template <class Emit>
bool compressChunk(const unsigned char* data, std::uint32_t length,
                   unsigned char* scratch, WorkMemory& work, Emit&& emit) {
  lzo_uint payloadSize = 0;
  if (lzo1x_999_compress(data, length, scratch, &payloadSize, work.area) !=
      LZO_E_OK) {
    return false;
  }
  if (payloadSize > kMaxFieldValue) {
    // A half never exceeds 32768 bytes, whose worst case fits the field.
    const std::uint32_t firstHalf = length / 2;
    return compressChunk(data, firstHalf, scratch, work, emit) &&
           compressChunk(data + firstHalf, length - firstHalf, scratch, work,
                         emit);
  }
  return emit(length, static_cast<const unsigned char*>(scratch),
              static_cast<std::uint32_t>(payloadSize));
}

// Writes one chunk: its header, then its payload. With a payload size of 0
// this is the end marker. Returns false on a short write.
inline bool writeChunkRecord(std::FILE* file, std::uint32_t dataSize,
                             const unsigned char* payload,
                             std::uint32_t payloadSize,
                             std::uint32_t backLink) {
  unsigned char header[kHeaderSize];
  encodeUInt2(header, dataSize);
  encodeUInt2(header + 2, payloadSize);
  encodeUInt2(header + 4, backLink);
  return std::fwrite(header, 1, sizeof header, file) == sizeof header &&
         (payloadSize == 0 ||
          std::fwrite(payload, 1, payloadSize, file) == payloadSize);
}

}  // namespace kob

#endif  // KOB_CHUNK_FORMAT_H
