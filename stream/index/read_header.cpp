// SPDX-License-Identifier: GPL-2.0-or-later
#include "index/read_header.h"

#include <algorithm>
#include <cstdint>

#include "format/seal_format.h"

namespace kob {

namespace {

// Takes the `length` bytes at `offset` into `out`, as they arrive.
int capture(ReadWindow& window, std::int64_t offset, std::uint64_t length,
            std::vector<unsigned char>& out) {
  out.clear();
  while (out.size() < length) {
    ReadWindow::Bytes bytes;
    const std::size_t piece = static_cast<std::size_t>(
        std::min<std::uint64_t>(length - out.size(), kReadAhead));
    if (const int error = window.fetch(
            offset + static_cast<std::int64_t>(out.size()), piece, 0, bytes)) {
      return error;
    }
    if (bytes.size < piece) return 0;  // cut short: the caller sees it
    out.insert(out.end(), bytes.data, bytes.data + bytes.size);
  }
  return 0;
}

}  // namespace

Failure readHeaderAt(ReadWindow& window, std::int64_t offset,
                     std::uint32_t previousPayloadSize, std::size_t ahead,
                     ChunkHeader& header, SealCapture* seal) {
  ReadWindow::Bytes bytes;
  if (const int error = window.fetch(offset, kHeaderSize, ahead, bytes)) {
    return Failure::ofError(error);
  }
  const Damage damage =
      decodeHeader(bytes.data, bytes.size, previousPayloadSize, header);
  if (damage != Damage::None || !header.isEndMarker() || !header.hasBackLink) {
    return Failure::ofDamage(damage);
  }
  // Nothing may follow the end marker but trailers and another member's
  // signature: a chunk whose payload size was changed to 0 would otherwise
  // end the data early without a word.
  std::int64_t after = offset + static_cast<std::int64_t>(kHeaderSize);
  for (;;) {
    ReadWindow::Bytes next;
    if (const int error = window.fetch(after, kTrailerHeadSize, 0, next)) {
      return Failure::ofError(error);
    }
    if (next.size == 0) {
      // A trailer stepped over must be there whole.
      return Failure::ofDamage(header.trailerBytes > 0 && window.endsBefore(after)
                                   ? Damage::CutShort
                                   : Damage::None);
    }
    if (hasSignature(next.data, next.size)) {
      header.joinsNext = true;
      header.nextFlags = signatureFlags(next.data, next.size);
      return {};
    }
    TrailerHead trailer;
    if (!decodeTrailerHead(next.data, next.size, trailer) ||
        trailer.length > static_cast<std::uint64_t>(INT64_MAX - after)) {
      return Failure::ofDamage(Damage::DataAfterEnd);
    }
    header.sealBytes = trailer.kind == kSealKind ? trailer.length : 0;
    if (seal != nullptr && header.sealBytes == seal->size) {
      if (const int error = capture(window, after, trailer.length, seal->bytes)) {
        return Failure::ofError(error);
      }
    }
    header.trailerBytes += trailer.length;
    after += static_cast<std::int64_t>(trailer.length);
  }
}

}  // namespace kob
