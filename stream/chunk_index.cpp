// SPDX-License-Identifier: GPL-2.0-or-later
#include "chunk_index.h"

#include <algorithm>
#include <cerrno>

namespace kob {

Failure readHeaderAt(ReadWindow& window, std::int64_t offset,
                     std::uint32_t previousPayloadSize, std::size_t ahead,
                     ChunkHeader& header) {
  ReadWindow::Bytes bytes;
  if (const int error = window.fetch(offset, kHeaderSize, ahead, bytes)) {
    return Failure::ofError(error);
  }
  const Damage damage =
      decodeHeader(bytes.data, bytes.size, previousPayloadSize, header);
  if (damage != Damage::None || !header.isEndMarker() || !header.hasBackLink) {
    return Failure::ofDamage(damage);
  }
  // Nothing may follow the end marker: a chunk whose payload size was
  // changed to 0 would otherwise end the data early without a word.
  ReadWindow::Bytes after;
  if (const int error = window.fetch(
          offset + static_cast<std::int64_t>(kHeaderSize), 1, 0, after)) {
    return Failure::ofError(error);
  }
  return Failure::ofDamage(after.size > 0 ? Damage::DataAfterEnd
                                          : Damage::None);
}

Failure ChunkIndex::locate(std::uint64_t position, ReadWindow& window,
                           const ChunkEntry*& found) {
  found = nullptr;
  if (front.state == Frontier::Damaged && front.position <= position) {
    // Read the damaged header again: the file may have been mended.
    ChunkHeader header;
    const Failure failure =
        learnNext(window, window.source().walkReadSize(), header);
    if (failure.failed()) return failure;
  }
  for (;;) {
    while (front.state == Frontier::Open && front.position <= position) {
      ChunkHeader header;
      const Failure failure =
          learnNext(window, window.source().walkReadSize(), header);
      if (failure.failed()) return failure;
    }
    if (position < front.position) {
      auto after = std::upper_bound(
          entries.begin(), entries.end(), position,
          [](std::uint64_t p, const ChunkEntry& e) { return p < e.position; });
      if (after != entries.begin() &&
          position < (after - 1)->position + (after - 1)->dataSize) {
        found = &*(after - 1);
        return {};
      }
      // A stream's index keeps only its last chunk: the others are gone.
      return frontierFailure(Failure::ofError(ESPIPE));
    }
    if (front.state == Frontier::Damaged) {
      return frontierFailure(Failure::ofDamage(front.damage));
    }
    bool confirmed = false;
    const Failure failure = confirmEnd(window, confirmed);
    if (failure.failed() || confirmed) return failure;
    // The end marker was not where the saved index said: the index has
    // been forgotten, and the walk starts again from the first header.
  }
}

Failure ChunkIndex::learnNext(ReadWindow& window, std::size_t ahead,
                              ChunkHeader& header) {
  front.state = Frontier::Open;
  front.damage = Damage::None;
  const Failure failure = readHeaderAt(window, front.headerOffset,
                                       front.previousPayloadSize, ahead,
                                       header);
  if (failure.isDamage()) {
    front.state = Frontier::Damaged;
    front.damage = failure.damage;
  }
  if (failure.failed()) return frontierFailure(failure);
  if (header.isEndMarker()) {
    front.state = Frontier::Ended;
    return {};
  }
  if (observer) {
    observer({front.headerOffset, front.position, front.chunksPassed,
              static_cast<std::uint16_t>(header.dataSize),
              static_cast<std::uint16_t>(header.payloadSize),
              static_cast<std::uint16_t>(header.backLink)});
  }
  pass(header);
  return {};
}

void ChunkIndex::pass(const ChunkHeader& header) {
  // A chunk without data can be neither sought nor read into, so it costs
  // no memory: a file of millions of them stays small.
  if (header.dataSize > 0) {
    if (!keepEntries) entries.clear();
    entries.push_back({front.headerOffset, front.position, front.chunksPassed,
                       static_cast<std::uint16_t>(header.dataSize),
                       static_cast<std::uint16_t>(header.payloadSize),
                       static_cast<std::uint16_t>(header.backLink)});
  }
  front.headerOffset += static_cast<std::int64_t>(kHeaderSize) +
                        static_cast<std::int64_t>(header.payloadSize);
  front.position += header.dataSize;
  front.previousPayloadSize = header.payloadSize;
  ++front.chunksPassed;
}

bool ChunkIndex::agrees(std::int64_t offset, const ChunkHeader& header) const {
  // A stream's index keeps only its last chunk: it cannot tell.
  if (offset > front.headerOffset || !keepEntries) return true;
  if (offset == front.headerOffset) {
    return front.state != Frontier::Ended || header.isEndMarker();
  }
  if (header.isEndMarker()) return false;
  auto at = std::lower_bound(
      entries.begin(), entries.end(), offset,
      [](const ChunkEntry& e, std::int64_t o) { return e.headerOffset < o; });
  if (at != entries.end() && at->headerOffset == offset) {
    return header.dataSize == at->dataSize &&
           header.payloadSize == at->payloadSize &&
           header.backLink == at->backLink;
  }
  const std::int64_t next =
      at != entries.end() ? at->headerOffset : front.headerOffset;
  return header.dataSize == 0 &&
         offset + static_cast<std::int64_t>(kHeaderSize + header.payloadSize) <=
             next;
}

Failure ChunkIndex::confirmEnd(ReadWindow& window, bool& confirmed) {
  confirmed = true;
  if (endMarkerChecked) return {};
  ChunkHeader header;
  const Failure failure = readHeaderAt(window, front.headerOffset,
                                       front.previousPayloadSize, 0, header);
  if (failure.error != 0) return frontierFailure(failure);
  if (failure.isDamage() || !header.isEndMarker()) {
    forget();
    confirmed = false;
    return {};
  }
  endMarkerChecked = true;
  return {};
}

void ChunkIndex::forget() {
  entries = std::vector<ChunkEntry>();
  front = Frontier();
  endMarkerChecked = true;
}

void ChunkIndex::assumeEnd() {
  front.state = Frontier::Ended;
  endMarkerChecked = false;
}

void ChunkIndex::adopt(ChunkIndex&& other) {
  entries = std::move(other.entries);
  front = other.front;
  endMarkerChecked = other.endMarkerChecked;
}

Failure ChunkIndex::frontierFailure(Failure failure) const {
  failure.chunk = static_cast<std::int64_t>(front.chunksPassed);
  failure.fileOffset = front.headerOffset;
  failure.position = static_cast<std::int64_t>(front.position);
  return failure;
}

}  // namespace kob
