// SPDX-License-Identifier: GPL-2.0-or-later
#include "format/seal_format.h"

#include <xxhash.h>

#include <cstring>
#include <memory>

#include "common/big_endian.h"

namespace kob {
namespace {

constexpr unsigned char kSealMagic[4] = {'K', 'O', 'B', kSealKind};

struct StateDeleter {
  void operator()(XXH3_state_t* state) const { XXH3_freeState(state); }
};

}  // namespace

bool decodeTrailerHead(const unsigned char* bytes, std::size_t available,
                       TrailerHead& head) {
  if (available < kTrailerHeadSize || std::memcmp(bytes, kSignature, 3) != 0 ||
      bytes[3] < 'A' || bytes[3] > 'Z') {
    return false;
  }
  head.kind = bytes[3];
  head.length = getBigEndian<8>(bytes + 4);
  return head.length >= kTrailerHeadSize;
}

bool decodeSealFooter(const unsigned char* bytes, SealFooter& footer) {
  if (std::memcmp(bytes + kSealFooterSize - sizeof kSealMagic, kSealMagic,
                  sizeof kSealMagic) != 0) {
    return false;
  }
  footer.records = getBigEndian<8>(bytes);
  footer.dataSize = getBigEndian<8>(bytes + 8);
  footer.trailerLength = getBigEndian<8>(bytes + 16);
  footer.memberLength = getBigEndian<8>(bytes + 24);
  footer.checksum = getBigEndian<8>(bytes + 32);
  // Counts checked against each other before anything is held for them:
  // no more records than a member of its length holds, so that their
  // size cannot overflow (a file of 2^62 bytes is beyond any file system).
  if (footer.memberLength > (std::uint64_t{1} << 62)) return false;
  const std::uint64_t chunkBytes = footer.memberLength - footer.trailerLength;
  return footer.records >= 1 && footer.trailerLength < footer.memberLength &&
         chunkBytes >= sizeof kSignature + kHeaderSize &&
         footer.records <= mostRecords(static_cast<std::int64_t>(chunkBytes)) &&
         footer.trailerLength == sealTrailerSize(footer.records);
}

bool checkSealTrailer(const unsigned char* trailer, const SealFooter& footer,
                      std::uint32_t flags) {
  const std::size_t summed =
      static_cast<std::size_t>(footer.trailerLength) - kSealFooterSize + 32;
  TrailerHead head;
  return XXH3_64bits(trailer, summed) == footer.checksum &&
         decodeTrailerHead(trailer, kSealHeadSize, head) &&
         head.kind == kSealKind && head.length == footer.trailerLength &&
         decodeUInt2(trailer + kTrailerHeadSize) == flags &&
         (flags & kSealedFlag) != 0 &&
         decodeUInt2(trailer + kTrailerHeadSize + 2) == 0;
}

bool writeSealTrailer(const RecordsEncoder& records, std::uint32_t flags,
                      std::uint64_t dataSize, std::uint64_t chunkBytes,
                      const RecordsEncoder::Sink& sink) {
  std::unique_ptr<XXH3_state_t, StateDeleter> state(XXH3_createState());
  if (!state) return false;
  XXH3_64bits_reset(state.get());
  const RecordsEncoder::Sink summed = [&](const unsigned char* bytes,
                                          std::size_t size) {
    XXH3_64bits_update(state.get(), bytes, size);
    return sink(bytes, size);
  };
  const std::uint64_t length = sealTrailerSize(records.count());
  unsigned char head[kSealHeadSize];
  std::memcpy(head, kSealMagic, sizeof kSealMagic);
  putBigEndian<8>(head + 4, length);
  encodeUInt2(head + kTrailerHeadSize, flags);
  encodeUInt2(head + kTrailerHeadSize + 2, 0);
  unsigned char footer[kSealFooterSize];
  putBigEndian<8>(footer, records.count());
  putBigEndian<8>(footer + 8, dataSize);
  putBigEndian<8>(footer + 16, length);
  putBigEndian<8>(footer + 24, chunkBytes + length);
  if (!summed(head, sizeof head) ||
      !records.write(head, sizeof head, summed) || !summed(footer, 32)) {
    return false;
  }
  putBigEndian<8>(footer + 32, XXH3_64bits_digest(state.get()));
  std::memcpy(footer + 40, kSealMagic, sizeof kSealMagic);
  return sink(footer + 32, kSealFooterSize - 32);
}

}  // namespace kob
