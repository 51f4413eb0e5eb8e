// SPDX-License-Identifier: GPL-2.0-or-later
#include "format.h"

#include <xxhash.h>

#include <algorithm>
#include <memory>

#include "lzo_decoder.h"

namespace kob {

const char* describe(Damage damage) {
  switch (damage) {
    case Damage::None:
      return "no damage";
    case Damage::CutShort:
      return "cut short by the end of the file";
    case Damage::PayloadRejected:
      return "payload rejected by the decompressor";
    case Damage::WrongExpandedSize:
      return "payload does not expand to its stated size";
    case Damage::DataAfterEnd:
      return "data after the end marker";
    case Damage::BrokenBackLink:
      return "back-link does not match the chunk before";
    case Damage::ChecksumMismatch:
      return "payload does not match its checksum in the saved index";
  }
  return "unknown damage";
}

bool hasSignature(const unsigned char* bytes, std::size_t count) {
  return count >= kSignatureTestLength &&
         std::equal(bytes, bytes + kSignatureTestLength, kSignature);
}

Damage decodeHeader(const unsigned char* bytes, std::size_t available,
                    std::uint32_t previousPayloadSize, ChunkHeader& header) {
  if (available < 4) return Damage::CutShort;
  header.dataSize = decodeUInt2(bytes);
  header.payloadSize = decodeUInt2(bytes + 2);
  header.hasBackLink = available >= kHeaderSize;
  if (!header.hasBackLink) {
    header.backLink = previousPayloadSize;
    return header.isEndMarker() ? Damage::None : Damage::CutShort;
  }
  header.backLink = decodeUInt2(bytes + 4);
  return header.backLink == previousPayloadSize ? Damage::None
                                                : Damage::BrokenBackLink;
}

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

void encodeHeader(unsigned char* out, std::uint32_t dataSize,
                  std::uint32_t payloadSize, std::uint32_t backLink) {
  encodeUInt2(out, dataSize);
  encodeUInt2(out + 2, payloadSize);
  encodeUInt2(out + 4, backLink);
}

bool writeChunkRecord(std::FILE* file, std::uint32_t dataSize,
                      const unsigned char* payload, std::uint32_t payloadSize,
                      std::uint32_t backLink) {
  unsigned char header[kHeaderSize];
  encodeHeader(header, dataSize, payloadSize, backLink);
  return std::fwrite(header, 1, sizeof header, file) == sizeof header &&
         (payloadSize == 0 ||
          std::fwrite(payload, 1, payloadSize, file) == payloadSize);
}

bool writeSignature(std::FILE* file) {
  return std::fwrite(kSignature, 1, sizeof kSignature, file) ==
         sizeof kSignature;
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
