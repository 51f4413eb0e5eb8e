// SPDX-License-Identifier: GPL-2.0-or-later
#include "format/codec.h"

#include <xxhash.h>

#include <algorithm>
#include <memory>

#include "format/lzo_decoder.h"

namespace kob {

Damage expandPayload(const unsigned char* payload, std::uint32_t payloadSize,
                     unsigned char* out, std::uint32_t dataSize) {
  unsigned char none;  // somewhere to point for a chunk without data
  std::size_t produced = dataSize;
  switch (decompressLzo1x(payload, payloadSize, out ? out : &none, &produced)) {
    case LZO_E_OK:
      return produced == dataSize ? Damage::None : Damage::WrongExpandedSize;
    case LZO_E_OUTPUT_OVERRUN:
      return Damage::WrongExpandedSize;
    default:
      return Damage::PayloadRejected;
  }
}

Damage expandPrefix(const unsigned char* payload, std::uint32_t payloadSize,
                    unsigned char* out, std::uint32_t limit,
                    std::uint32_t& produced) {
  std::size_t length = limit;
  const int result = decompressLzo1x(payload, payloadSize, out, &length);
  produced = static_cast<std::uint32_t>(std::min<std::size_t>(length, limit));
  switch (result) {
    case LZO_E_OUTPUT_OVERRUN:
      return Damage::None;  // stopped at the limit, as asked
    case LZO_E_OK:
      return Damage::WrongExpandedSize;  // ended before the chunk's size
    default:
      produced = 0;
      return Damage::PayloadRejected;
  }
}

Damage expandChunk(const unsigned char* payload, const ChunkHeader& header,
                   std::uint32_t end, bool partial, unsigned char* out,
                   std::uint32_t& decoded) {
  // Matches often run across the last byte wanted: decoding a little
  // further makes a second decode rare.
  constexpr std::uint32_t kMargin = 64;
  decoded = 0;
  if (partial && end + kMargin < header.dataSize) {
    const Damage damage =
        expandPrefix(payload, header.payloadSize, out, end + kMargin, decoded);
    if (damage != Damage::None || decoded >= end) return damage;
  }
  const Damage damage =
      expandPayload(payload, header.payloadSize, out, header.dataSize);
  if (damage == Damage::None) decoded = header.dataSize;
  return damage;
}

std::uint32_t payloadChecksum(const unsigned char* payload, std::size_t size) {
  return static_cast<std::uint32_t>(XXH3_64bits(payload, size));
}

bool expandAny(const unsigned char* payload, std::uint32_t payloadSize,
               unsigned char* out, std::size_t room, std::size_t& produced) {
  produced = room;
  return decompressLzo1x(payload, payloadSize, out, &produced) == LZO_E_OK;
}

bool compressOnce(const unsigned char* data, std::uint32_t length, int level,
                  unsigned char* scratch, WorkMemory& work,
                  std::uint32_t& payloadSize) {
  static_assert(sizeof(WorkMemory) >= LZO1X_1_MEM_COMPRESS);
  lzo_uint produced = 0;
  int result = LZO_E_ERROR;
  if (level == kDefaultLevel) {
    // LZO1X-999's own entry point, whose bytes every packed file written
    // with the defaults has.
    result = lzo1x_999_compress(data, length, scratch, &produced, work.area);
  } else if (level > 6) {
    result = lzo1x_999_compress_level(data, length, scratch, &produced,
                                      work.area, nullptr, 0, nullptr, level);
  } else {
    result = lzo1x_1_compress(data, length, scratch, &produced, work.area);
  }
  payloadSize = static_cast<std::uint32_t>(produced);
  return result == LZO_E_OK;
}

WorkMemory& threadWorkMemory() {
  // 458752 bytes: made only in threads that compress.
  thread_local std::unique_ptr<WorkMemory> memory;
  if (!memory) memory = std::make_unique_for_overwrite<WorkMemory>();
  return *memory;
}

void initCompression() {
  static const int result = lzo_init();
  static_cast<void>(result);
}

}  // namespace kob
