// SPDX-License-Identifier: GPL-2.0-or-later
#include "format/format.h"

#include <algorithm>
#include <cstring>

namespace kob {

std::uint64_t ChunkHeader::span() const {
  return kHeaderSize + (joinsNext ? trailerBytes + kMemberGap : payloadSize);
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

std::uint32_t signatureFlags(const unsigned char* bytes, std::size_t count) {
  return count >= sizeof kSignature ? decodeUInt2(bytes + kFlagsAt) : 0;
}

bool writeSignature(std::FILE* file, std::uint32_t flags) {
  unsigned char signature[sizeof kSignature];
  std::memcpy(signature, kSignature, sizeof kSignature);
  encodeUInt2(signature + kFlagsAt, flags);
  return std::fwrite(signature, 1, sizeof signature, file) == sizeof signature;
}

}  // namespace kob
