// SPDX-License-Identifier: GPL-2.0-or-later
//
// A saved index held against the file's own headers (see chunk_index.h):
// its last block, which no milestone after it checks, before a chunk or
// the end of the data is taken from it; and under a hint, every header
// from the first up to a chunk it gives, before that chunk is served.

#include <limits>

#include "index/chunk_index.h"
#include "index/saved_index.h"

namespace kob {

Failure ChunkIndex::confirmEnd(ReadWindow& window, bool& confirmed) {
  confirmed = true;
  if (endMarkerChecked) return {};
  if (isHint()) {
    // The size of the data a hint gives is a sum like any position.
    const Failure failure =
        prove(std::numeric_limits<std::int64_t>::max(), window, confirmed);
    if (failure.ok() && confirmed) endMarkerChecked = true;
    return failure;
  }
  // The end a saved index says is trusted once its last block agrees with
  // the file.
  bool sound = true;
  const Failure tail = confirmTail(nullptr, window, sound);
  if (tail.failed()) return frontierFailure(tail);
  if (!sound) {
    confirmed = false;
    return {};
  }
  ChunkHeader header;
  const Failure failure = readHeaderAt(window, front.headerOffset,
                                       front.previousPayloadSize, 0, header);
  if (failure.error != 0) return frontierFailure(failure);
  if (seals) {
    // The seals say where the data ends: an end marker unlike that is
    // damage, not a reason to walk.
    if (failure.isDamage()) return frontierFailure(failure);
    if (!agrees(front.headerOffset, header)) {
      return frontierFailure(Failure::ofDamage(Damage::HeaderUnlikeSeal));
    }
    endMarkerChecked = true;
    return {};
  }
  if (failure.isDamage() || !header.endsData()) {
    forget();
    confirmed = false;
    return {};
  }
  endMarkerChecked = true;
  return {};
}

bool ChunkIndex::isHint() const { return saved && !saved->verified(); }

Failure ChunkIndex::prove(std::int64_t offset, ReadWindow& window,
                          bool& sound) {
  sound = true;
  while (proved.state == Frontier::Open && proved.headerOffset <= offset) {
    ChunkEntry record;
    if (!saved->record(proved.chunksPassed, record)) {
      forget(Dropped::Broken);
      sound = false;
      return {};
    }
    ChunkHeader header;
    Failure failure =
        readHeaderAt(window, proved.headerOffset, proved.previousPayloadSize,
                     window.source().walkReadSize(), header);
    if (failure.error != 0) {
      failure.chunk = static_cast<std::int64_t>(proved.chunksPassed);
      failure.fileOffset = proved.headerOffset;
      failure.position = static_cast<std::int64_t>(proved.position);
      return failure;
    }
    // Damage where the index has a sound header disagrees with it too:
    // the walk that follows meets it as it would without an index.
    if (failure.isDamage() || header.dataSize != record.dataSize ||
        header.payloadSize != record.payloadSize ||
        header.joinsNext != record.joinsNext) {
      forget();
      sound = false;
      return {};
    }
    if (header.endsData()) {
      if (proved.headerOffset != saved->endOffset() ||
          proved.position != saved->dataSize()) {
        forget(Dropped::Broken);
        sound = false;
        return {};
      }
      proved.state = Frontier::Ended;
      break;
    }
    proved.headerOffset += static_cast<std::int64_t>(header.span());
    proved.position += header.dataSize;
    proved.previousPayloadSize = header.linkForNext();
    ++proved.chunksPassed;
  }
  return {};
}

void ChunkIndex::passedUnderHint(std::int64_t offset, std::uint64_t position,
                                 const ChunkHeader& header) {
  if (!isHint() || proved.state != Frontier::Open ||
      offset != proved.headerOffset || position != proved.position ||
      header.endsData()) {
    return;
  }
  proved.headerOffset += static_cast<std::int64_t>(header.span());
  proved.position += header.dataSize;
  proved.previousPayloadSize = header.linkForNext();
  ++proved.chunksPassed;
}

Failure ChunkIndex::confirmTail(const ChunkEntry* chunk, ReadWindow& window,
                                bool& sound) {
  sound = true;
  if (!saved || tailChecked ||
      (chunk != nullptr && chunk->number < saved->tailNumber())) {
    return {};
  }
  ChunkHeader before;
  if (!saved->settleTail(before)) {
    forget(Dropped::Broken);
    sound = false;
    return {};
  }
  std::int64_t offset = saved->tailOffset();
  std::uint64_t position = saved->tailPosition();
  std::uint32_t previous = before.payloadSize;
  for (std::uint64_t i = 0;; ++i) {
    ReadWindow::Bytes bytes;
    if (const int error = window.fetch(offset, kHeaderSize,
                                       window.source().walkReadSize(), bytes)) {
      Failure failure = Failure::ofError(error);
      failure.chunk = static_cast<std::int64_t>(saved->tailNumber() + i);
      failure.fileOffset = offset;
      failure.position = static_cast<std::int64_t>(position);
      return failure;
    }
    ChunkEntry record;
    ChunkHeader header;
    if (!saved->tailRecord(i, record) ||
        decodeHeader(bytes.data, bytes.size, previous, header) != Damage::None ||
        header.dataSize != record.dataSize ||
        header.payloadSize != record.payloadSize ||
        (header.hasBackLink && header.backLink != record.backLink)) {
      forget();  // the file does not read as the index says
      sound = false;
      return {};
    }
    if (header.isEndMarker() && record.joinsNext) {
      // The end of a member: the next one's signature must follow.
      ReadWindow::Bytes signature;
      if (window.fetch(offset + static_cast<std::int64_t>(kHeaderSize),
                       kSignatureTestLength, 0, signature) != 0 ||
          !hasSignature(signature.data, signature.size)) {
        forget();
        sound = false;
        return {};
      }
      header.joinsNext = true;
    } else if (header.isEndMarker()) {
      if (offset != saved->endOffset() || position != saved->dataSize()) {
        forget(Dropped::Broken);
        sound = false;
        return {};
      }
      break;
    }
    previous = header.linkForNext();
    offset += static_cast<std::int64_t>(header.span());
    position += header.dataSize;
  }
  tailChecked = true;
  return {};
}

}  // namespace kob
