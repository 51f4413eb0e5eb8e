// SPDX-License-Identifier: GPL-2.0-or-later
//
// The packed format, read in one place and written in one place: the
// signature, chunk headers, payload expansion and chunk compression. Every
// reader, writer and tool goes through these functions, so none can disagree
// about a file.
//
//   file    = signature, chunk*, end marker
//   chunk   = header, payload
//   header  = dataSize (uint16, big-endian: uncompressed bytes)
//             payloadSize (uint16, big-endian: bytes that follow)
//             backLink (uint16, big-endian: payloadSize of the chunk
//                       before, 0 for the first)
//   end     = a header whose payloadSize is 0; nothing follows it
//
// The format's first description named the fields chunkDataSize,
// chunkSize and lastChunkSize; here, and everywhere in kob, they are the
// data size, the payload size and the back-link.

#ifndef KOB_FORMAT_H
#define KOB_FORMAT_H

#include <lzo/lzo1x.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "kob_damage.h"
#include "kob_limits.h"

namespace kob {

constexpr unsigned char kSignature[6] = {'K', 'O', 'B', 0x01, 0x00, 0x00};
// Bytes 0..3 identify a packed file; bytes 4 and 5 are not required.
constexpr std::size_t kSignatureTestLength = 4;
constexpr std::int64_t kFirstHeaderOffset = sizeof kSignature;
constexpr std::size_t kHeaderSize = 6;
constexpr std::uint32_t kMaxFieldValue = 0xFFFF;
static_assert(kLargestChunkSize == kMaxFieldValue);

// True when `count` bytes at `bytes` begin a packed file.
bool hasSignature(const unsigned char* bytes, std::size_t count);

// Stores bits 15..8 of `value`, then bits 7..0; higher bits are dropped.
inline void encodeUInt2(unsigned char* out, std::uint32_t value) {
  out[0] = static_cast<unsigned char>((value >> 8) & 0xFF);
  out[1] = static_cast<unsigned char>(value & 0xFF);
}

inline std::uint32_t decodeUInt2(const unsigned char* in) {
  return (std::uint32_t{in[0]} << 8) | in[1];
}

struct ChunkHeader {
  std::uint32_t dataSize = 0;
  std::uint32_t payloadSize = 0;  // 0: the end marker
  std::uint32_t backLink = 0;
  // False when the file ends inside the back-link, which only an end marker
  // may do: its data is complete without it.
  bool hasBackLink = true;

  bool isEndMarker() const { return payloadSize == 0; }
};

// Decodes the header among the `available` bytes at `bytes` and checks it
// against the chunk before it, whose payload has `previousPayloadSize`
// bytes. Returns CutShort, BrokenBackLink or None. Whether anything follows
// an end marker is for the caller to check: it needs the file.
Damage decodeHeader(const unsigned char* bytes, std::size_t available,
                    std::uint32_t previousPayloadSize, ChunkHeader& header);

// Expands a payload that must hold exactly `dataSize` bytes into `out`
// (room for `dataSize` bytes). Returns PayloadRejected, WrongExpandedSize
// or None.
Damage expandPayload(const unsigned char* payload, std::uint32_t payloadSize,
                     unsigned char* out, std::uint32_t dataSize);

// Expands only the start of a payload, up to at most `limit` bytes (less
// than the chunk's `dataSize`) into `out`; `produced` tells how many came
// out, all of them final. The decompressor stops before a copy that would
// cross the limit, so `produced` may fall short of `limit` by up to one
// match. Returns None, or the damage met before the limit: a payload that
// ends before `dataSize` is WrongExpandedSize.
Damage expandPrefix(const unsigned char* payload, std::uint32_t payloadSize,
                    unsigned char* out, std::uint32_t limit,
                    std::uint32_t& produced);

// Expands the chunk `header` describes into `out` (room for its dataSize
// bytes), at least its first `end` bytes: all of them, or with `partial`
// only so far and a little more, when that is less. `decoded` tells how many
// bytes of `out` are final. Returns the damage met, None when there was
// none.
Damage expandChunk(const unsigned char* payload, const ChunkHeader& header,
                   std::uint32_t end, bool partial, unsigned char* out,
                   std::uint32_t& decoded);

// The checksum a saved index keeps of a payload: the low 32 bits of its
// XXH3-64.
std::uint32_t payloadChecksum(const unsigned char* payload, std::size_t size);

// Writes a chunk header into `out`.
void encodeHeader(unsigned char* out, std::uint32_t dataSize,
                  std::uint32_t payloadSize, std::uint32_t backLink);

// Writes one chunk: its header, then its payload. With a payload size of 0
// this is the end marker. Returns false on a short write.
bool writeChunkRecord(std::FILE* file, std::uint32_t dataSize,
                      const unsigned char* payload, std::uint32_t payloadSize,
                      std::uint32_t backLink);

// Writes the signature. Returns false on a short write.
bool writeSignature(std::FILE* file);

// Work memory for one compression at a time, at any level.
struct WorkMemory {
  lzo_align_t area[(LZO1X_999_MEM_COMPRESS + sizeof(lzo_align_t) - 1) /
                   sizeof(lzo_align_t)];
};

// The calling thread's work memory, made on its first use and kept until the
// thread ends, so that writers in different threads never share one.
WorkMemory& threadWorkMemory();

// Initialises LZO once per process; any number of calls from any threads.
void initCompression();

// LZO's documented bound for data that does not compress.
inline std::size_t worstCaseCompressedSize(std::size_t length) {
  return length + length / 16 + 64 + 3;
}

// True for a chunk size the format can record: 1..65535.
inline bool validChunkSize(long size) {
  return size >= 1 && size <= kLargestChunkSize;
}

inline bool validLevel(int level) {
  return level >= kFastestLevel && level <= kBestLevel;
}

// Compresses `length` bytes at `level` into `scratch` (room for
// worstCaseCompressedSize(length)); `payloadSize` tells how many came out.
bool compressOnce(const unsigned char* data, std::uint32_t length, int level,
                  unsigned char* scratch, WorkMemory& work,
                  std::uint32_t& payloadSize);

// Compresses `length` bytes and hands the result to emit(dataSize, payload,
// payloadSize). A compressed form too large for the 16-bit size field,
// possible only for more than 61617 bytes that do not compress, becomes two
// chunks of half the data each. Returns false when the compressor or `emit`
// fails.
template <class Emit>
bool compressChunk(const unsigned char* data, std::uint32_t length, int level,
                   unsigned char* scratch, WorkMemory& work, Emit&& emit) {
  std::uint32_t payloadSize = 0;
  if (!compressOnce(data, length, level, scratch, work, payloadSize)) {
    return false;
  }
  if (payloadSize > kMaxFieldValue) {
    // A half never exceeds 32768 bytes, whose worst case fits the field.
    const std::uint32_t firstHalf = length / 2;
    return compressChunk(data, firstHalf, level, scratch, work, emit) &&
           compressChunk(data + firstHalf, length - firstHalf, level, scratch,
                         work, emit);
  }
  return emit(length, static_cast<const unsigned char*>(scratch), payloadSize);
}

}  // namespace kob

#endif  // KOB_FORMAT_H
