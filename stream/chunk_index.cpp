#include "chunk_index.h"

#include <algorithm>

namespace kob {

HeaderRead readHeaderAt(ReadWindow& window, std::int64_t offset,
                        std::uint32_t previousPayloadSize, std::size_t ahead) {
  HeaderRead result;
  ReadWindow::Bytes bytes;
  if (window.fetch(offset, kHeaderSize, ahead, bytes) !=
      ReadWindow::Result::Ok) {
    return result;
  }
  result.damage =
      decodeHeader(bytes.data, bytes.size, previousPayloadSize, result.header);
  if (result.damage != Damage::None) {
    result.outcome = HeaderRead::Damaged;
    return result;
  }
  if (!result.header.isEndMarker()) {
    result.outcome = HeaderRead::Chunk;
    return result;
  }
  // Nothing may follow the end marker: a chunk whose payload size was
  // changed to 0 would otherwise end the data early without a word.
  ReadWindow::Bytes after;
  if (result.header.hasBackLink) {
    if (window.fetch(offset + static_cast<std::int64_t>(kHeaderSize), 1, 0,
                     after) != ReadWindow::Result::Ok) {
      return result;
    }
  }
  if (after.size > 0) {
    result.outcome = HeaderRead::Damaged;
    result.damage = Damage::DataAfterEnd;
  } else {
    result.outcome = HeaderRead::EndMarker;
  }
  return result;
}

const ChunkEntry* ChunkIndex::find(std::uint64_t position) const {
  auto after = std::upper_bound(
      entries.begin(), entries.end(), position,
      [](std::uint64_t p, const ChunkEntry& e) { return p < e.position; });
  if (after == entries.begin()) return nullptr;
  const ChunkEntry& entry = *(after - 1);
  return position < entry.position + entry.dataSize ? &entry : nullptr;
}

HeaderRead ChunkIndex::learnNext(ReadWindow& window, std::size_t ahead) {
  HeaderRead read = readHeaderAt(window, front.headerOffset,
                                 front.previousPayloadSize, ahead);
  switch (read.outcome) {
    case HeaderRead::ReadFailed:
      break;
    case HeaderRead::Damaged:
      front.state = Frontier::Damaged;
      front.damage = read.damage;
      break;
    case HeaderRead::EndMarker:
      front.state = Frontier::Ended;
      break;
    case HeaderRead::Chunk:
      if (observer) {
        observer(front.chunksPassed, front.headerOffset, front.position,
                 read.header);
      }
      pass(read.header);
      break;
  }
  return read;
}

void ChunkIndex::pass(const ChunkHeader& header) {
  // A chunk without data can be neither sought nor read into, so it costs
  // no memory: a file of millions of them stays small.
  if (header.dataSize > 0) {
    if (!keepEntries) entries.clear();
    entries.push_back({front.headerOffset, front.position,
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

bool ChunkIndex::learnUpTo(std::uint64_t position, ReadWindow& window) {
  while (front.state == Frontier::Open && front.position <= position) {
    if (learnNext(window, kWalkReadSize).outcome == HeaderRead::ReadFailed) {
      return false;
    }
  }
  return true;
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

ChunkIndex::EndCheck ChunkIndex::confirmEnd(ReadWindow& window) {
  if (endMarkerChecked) return EndCheck::Confirmed;
  const HeaderRead read =
      readHeaderAt(window, front.headerOffset, front.previousPayloadSize, 0);
  if (read.outcome == HeaderRead::ReadFailed) return EndCheck::ReadFailed;
  if (read.outcome != HeaderRead::EndMarker) {
    forget();
    return EndCheck::Forgotten;
  }
  endMarkerChecked = true;
  return EndCheck::Confirmed;
}

void ChunkIndex::adopt(ChunkIndex&& other) {
  entries = std::move(other.entries);
  front = other.front;
  endMarkerChecked = other.endMarkerChecked;
}

}  // namespace kob
