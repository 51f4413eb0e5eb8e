// SPDX-License-Identifier: GPL-2.0-or-later
//
// A chunk's payload: expanded (whole or in part) by the decoder of
// format/lzo_decoder.h, the only caller it has, and compressed by LZO's
// compressors at the levels of kob_limits.h. Each payload is one LZO1X
// stream on its own, with no state carried from one chunk to the next.

#ifndef KOB_FORMAT_CODEC_H
#define KOB_FORMAT_CODEC_H

#include <lzo/lzo1x.h>

#include <cstddef>
#include <cstdint>

#include "format/format.h"
#include "kob_damage.h"
#include "kob_limits.h"

namespace kob {

// The payload of a chunk without data: LZO1X's end code alone.
constexpr unsigned char kEmptyPayload[] = {0x11, 0x00, 0x00};
constexpr std::uint32_t kEmptyPayloadSize = sizeof kEmptyPayload;
// The smallest payload that holds data: a literal run of one byte and the
// end code.
constexpr std::uint32_t kSmallestDataPayload = 5;

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

// Expands a payload of at most 65535 bytes into `out` (room for `room`
// bytes) whatever its header says. Returns: whether it is a whole LZO1X
// stream that fits; `produced` tells how many bytes came out.
bool expandAny(const unsigned char* payload, std::uint32_t payloadSize,
               unsigned char* out, std::size_t room, std::size_t& produced);

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

#endif  // KOB_FORMAT_CODEC_H
