// SPDX-License-Identifier: GPL-2.0-or-later
#include "salvage/search.h"

#include <algorithm>

#include "common/big_endian.h"
#include "format/codec.h"

namespace kob {

static_assert(kSearchWindow >= 2 * kLargestRecord,
              "most of every window must be offsets tested");

ChunkSearch::ChunkSearch(ReadWindow& aWindow, std::int64_t& aFileSize,
                         unsigned char* aScratch)
    : window(aWindow),
      fileSize(aFileSize),
      scratch(aScratch),
      windowSize(std::max(kSearchWindow, aWindow.source().walkReadSize())) {}

Failure ChunkSearch::next(std::int64_t from, std::uint32_t largest,
                          Found& found) {
  found = Found();
  std::int64_t at = from;
  while (at < fileSize) {
    const auto wanted = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(windowSize),
                               fileSize - at));
    ReadWindow::Bytes bytes;
    if (const int error = window.fetch(at, wanted, 0, bytes)) {
      return Failure::ofError(error);
    }
    // A file that has shrunk since its size was taken ends where its bytes
    // do: no offset is read again for want of bytes that are not there.
    if (bytes.size < wanted) fileSize = at + static_cast<std::int64_t>(bytes.size);
    const std::int64_t start = at;
    const std::int64_t end = at + static_cast<std::int64_t>(bytes.size);
    const bool reachesEnd = end >= fileSize;
    // Offsets whose largest chunk lies whole in the window; the rest are
    // tested in the next, unless the file ends first.
    const std::int64_t last =
        reachesEnd ? end - 1 : end - static_cast<std::int64_t>(kLargestRecord);
    for (; at <= last; ++at) {
      if (couldStart(at, bytes.data + (at - start),
                     static_cast<std::size_t>(end - at), largest, found)) {
        return {};
      }
    }
    if (reachesEnd) break;
  }
  return {};
}

bool ChunkSearch::couldStart(std::int64_t at, const unsigned char* bytes,
                             std::size_t available, std::uint32_t largest,
                             Found& found) {
  // A chunk holding data has a whole header, and a payload that holds a
  // byte at least and no more than its data could ever compress to.
  if (available < kHeaderSize) return false;
  ChunkHeader header;
  decodeHeader(bytes, kHeaderSize, decodeUInt2(bytes + 4), header);
  if (header.dataSize == 0 || header.payloadSize < kSmallestDataPayload ||
      (largest > 0 && header.dataSize > largest) ||
      header.payloadSize > worstCaseCompressedSize(header.dataSize)) {
    return false;
  }
  // The header after it: at least an end marker cut inside its back-link.
  const std::size_t after = kHeaderSize + header.payloadSize;
  constexpr std::size_t kShortestEnd = kHeaderSize - 2;
  if (available < after + kShortestEnd) return false;
  ChunkHeader next;
  if (decodeHeader(bytes + after, std::min(kHeaderSize, available - after),
                   header.payloadSize, next) != Damage::None ||
      expandPayload(bytes + kHeaderSize, header.payloadSize, scratch,
                    header.dataSize) != Damage::None) {
    return false;
  }
  found.offset = at;
  found.header = header;
  found.last = next.isEndMarker();
  return true;
}

const unsigned char* ChunkSearch::headerBefore(std::int64_t floor,
                                               std::int64_t at, int& error) {
  error = 0;
  if (at < floor || at + static_cast<std::int64_t>(kHeaderSize) > fileSize) {
    return nullptr;
  }
  const std::int64_t end = at + static_cast<std::int64_t>(kHeaderSize);
  if (at < spanStart || end > spanStart + static_cast<std::int64_t>(spanSize)) {
    // Back along the links the next headers lie before this one: the
    // window ends here.
    spanStart = std::max(floor, end - static_cast<std::int64_t>(windowSize));
    ReadWindow::Bytes bytes;
    error = window.fetch(spanStart, static_cast<std::size_t>(end - spanStart),
                         0, bytes);
    spanData = bytes.data;
    spanSize = error == 0 ? bytes.size : 0;
    if (error != 0 ||
        spanStart + static_cast<std::int64_t>(spanSize) < end) {
      spanSize = 0;
      return nullptr;
    }
  }
  return spanData + (at - spanStart);
}

Failure ChunkSearch::earliestChained(std::int64_t floor, std::int64_t offset,
                                     std::int64_t& earliest) {
  earliest = offset;
  spanSize = 0;  // what the window held may have been replaced since
  int error = 0;
  for (;;) {
    const unsigned char* here = headerBefore(floor, earliest, error);
    if (here == nullptr) break;
    const std::int64_t before =
        earliest - static_cast<std::int64_t>(kHeaderSize + decodeUInt2(here + 4));
    if (before <= floor) break;
    const unsigned char* there = headerBefore(floor, before, error);
    if (there == nullptr) break;
    // It must end where the later one starts, and have a payload.
    const std::uint32_t payloadSize = decodeUInt2(there + 2);
    if (payloadSize < kEmptyPayloadSize ||
        before + static_cast<std::int64_t>(kHeaderSize + payloadSize) !=
            earliest) {
      break;
    }
    earliest = before;
  }
  return error != 0 ? Failure::ofError(error) : Failure();
}

}  // namespace kob
