// SPDX-License-Identifier: GPL-2.0-or-later
#include "index/chunk_index.h"

#include <algorithm>
#include <cerrno>

#include "format/seal_format.h"
#include "index/member_seals.h"
#include "index/saved_index.h"
#include "index/seal_set.h"

namespace kob {

ChunkIndex::ChunkIndex(bool aKeepEntries)
    : keepEntries(aKeepEntries),
      walked(std::make_unique<MemberSeals>(aKeepEntries)) {}
ChunkIndex::~ChunkIndex() = default;
ChunkIndex::ChunkIndex(ChunkIndex&&) noexcept = default;
ChunkIndex& ChunkIndex::operator=(ChunkIndex&&) noexcept = default;

Failure ChunkIndex::locate(std::uint64_t position, ReadWindow& window,
                           Location& where) {
  where = Location();
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
    if (position < front.position && seals) {
      if (seals->find(position, where.chunk)) return {};
      return frontierFailure(Failure::ofDamage(Damage::TrailerDamaged));
    }
    if (position < front.position && saved) {
      if (!saved->find(position, where.chunk)) {
        // The index is not what it must be: walk the file instead.
        forget(Dropped::Broken);
        continue;
      }
      if (!isHint()) return {};
      bool sound = true;
      const Failure failure = prove(where.chunk.headerOffset, window, sound);
      if (failure.failed() || sound) return failure;
      continue;  // the hint is gone: walk the file
    }
    if (position < front.position) {
      if (!keepEntries) {
        // A stream's index keeps only its last chunk: the others are gone.
        if (!haveLast || position < last.position) {
          return frontierFailure(Failure::ofError(ESPIPE));
        }
        where.chunk = last;
        return {};
      }
      const Run& run = *(std::upper_bound(runs.begin(), runs.end(), position,
                                          [](std::uint64_t p, const Run& r) {
                                            return p < r.firstPosition;
                                          }) -
                         1);
      where.chunk =
          entryAt(run.firstEntry + (position - run.firstPosition) / run.dataSize);
      return {};
    }
    if (front.state == Frontier::Damaged) {
      return frontierFailure(Failure::ofDamage(front.damage));
    }
    bool confirmed = false;
    const Failure failure = confirmEnd(window, confirmed);
    if (failure.failed()) return failure;
    if (confirmed) {
      where.atEnd = true;
      return {};
    }
    // The end marker was not where the saved index said: the index has
    // been forgotten, and the walk starts again from the first header.
  }
}

Failure ChunkIndex::learnNext(ReadWindow& window, std::size_t ahead,
                              ChunkHeader& header) {
  front.state = Frontier::Open;
  front.damage = Damage::None;
  if (!walked->entered()) {
    // The first member's flags, from the file's signature, read with the
    // first header.
    ReadWindow::Bytes signature;
    if (const int error = window.fetch(0, sizeof kSignature + kHeaderSize,
                                       ahead, signature)) {
      return frontierFailure(Failure::ofError(error));
    }
    walked->enter({0, signatureFlags(signature.data, signature.size), 0, 0});
  }
  const std::uint64_t records = front.chunksPassed - walked->current().firstChunk + 1;
  SealCapture seal;
  seal.size = walked->sealSize(records);
  Failure failure = readHeaderAt(window, front.headerOffset,
                                 front.previousPayloadSize, ahead, header,
                                 seal.size > 0 ? &seal : nullptr);
  const bool trailers = failure.damage == Damage::DataAfterEnd ||
                        (failure.damage == Damage::CutShort && header.trailerBytes > 0);
  if (header.isEndMarker() && failure.error == 0 &&
      (failure.ok() || trailers)) {
    failure = walked->end(front.headerOffset, header, failure,
                          std::move(seal.bytes), records,
                          front.position - walked->current().position);
    // A stream's chunk unlike its record is named where it stands.
    if (failure.isDamage() && failure.chunk >= 0) {
      front.state = Frontier::Damaged;
      front.damage = failure.damage;
      return failure;
    }
  }
  if (failure.isDamage()) {
    front.state = Frontier::Damaged;
    front.damage = failure.damage;
  }
  if (failure.damage == Damage::CutShort && front.chunksPassed > 0 &&
      window.endsBefore(front.headerOffset)) {
    // The file ends inside the chunk before: that chunk is cut short, not
    // a header the file never reached.
    Failure cut = failure;
    cut.chunk = static_cast<std::int64_t>(front.chunksPassed - 1);
    cut.fileOffset = front.headerOffset -
                     static_cast<std::int64_t>(kHeaderSize +
                                               front.previousPayloadSize);
    cut.position =
        static_cast<std::int64_t>(front.position - front.previousDataSize);
    return cut;
  }
  if (failure.failed()) return frontierFailure(failure);
  if (header.endsData()) {
    front.state = Frontier::Ended;
    return {};
  }
  pass(header);
  return {};
}

void ChunkIndex::pass(const ChunkHeader& header) {
  const auto payloadSize = static_cast<std::uint16_t>(header.payloadSize);
  if (!header.isEndMarker()) walked->pass(front.headerOffset, header);
  // A chunk without data can be neither sought nor read into, so it costs
  // no memory of its own: a file of millions of them stays small.
  if (header.dataSize == 0) {
    // A chunk without data, or the end of a member that another follows.
    if (keepEntries) {
      ++pending.chunksSoFar;
      pending.bytes += static_cast<std::int64_t>(header.span());
      pending.lastPayloadSize = static_cast<std::uint16_t>(header.linkForNext());
    }
  } else if (!keepEntries) {
    last = ChunkEntry{front.headerOffset,
                      front.position,
                      front.chunksPassed,
                      static_cast<std::uint16_t>(header.dataSize),
                      payloadSize,
                      static_cast<std::uint16_t>(header.backLink)};
    haveLast = true;
  } else {
    const std::uint64_t entry = entryCount();
    if (pending.bytes > 0) {
      const std::uint64_t before = gaps.empty() ? 0 : gaps.back().chunksSoFar;
      gaps.push_back({entry, before + pending.chunksSoFar, pending.bytes,
                      pending.lastPayloadSize});
      pending = Gap{0, 0, 0, 0};
    }
    if (entry % kMilestoneEvery == 0) milestones.push_back(front.headerOffset);
    if (runs.empty() || runs.back().dataSize != header.dataSize) {
      runs.push_back({entry, front.position, header.dataSize});
    }
    payloads.push_back(payloadSize);
  }
  front.headerOffset += static_cast<std::int64_t>(header.span());
  front.position += header.dataSize;
  front.previousPayloadSize = header.linkForNext();
  front.previousDataSize = header.dataSize;
  ++front.chunksPassed;
  if (header.joinsNext) {
    walked->enter({front.headerOffset - static_cast<std::int64_t>(kMemberGap),
                   header.nextFlags, front.chunksPassed, front.position});
  }
}

ChunkEntry ChunkIndex::entryAt(std::uint64_t entry) const {
  const Run& run = *(std::upper_bound(runs.begin(), runs.end(), entry,
                                      [](std::uint64_t e, const Run& r) {
                                        return e < r.firstEntry;
                                      }) -
                     1);
  auto gapAfter = std::upper_bound(
      gaps.begin(), gaps.end(), entry,
      [](std::uint64_t e, const Gap& g) { return e < g.beforeEntry; });
  const bool gapBefore =
      gapAfter != gaps.begin() && (gapAfter - 1)->beforeEntry == entry;
  ChunkEntry found;
  found.headerOffset = headerOffsetOf(entry);
  found.position = run.firstPosition + (entry - run.firstEntry) * run.dataSize;
  found.number =
      entry + (gapAfter == gaps.begin() ? 0 : (gapAfter - 1)->chunksSoFar);
  found.dataSize = static_cast<std::uint16_t>(run.dataSize);
  found.payloadSize = payloads[entry];
  found.backLink = static_cast<std::uint16_t>(
      gapBefore   ? (gapAfter - 1)->lastPayloadSize
      : entry > 0 ? payloads[entry - 1]
                  : 0);
  return found;
}

std::int64_t ChunkIndex::headerOffsetOf(std::uint64_t entry) const {
  const std::uint64_t from = entry / kMilestoneEvery * kMilestoneEvery;
  std::int64_t offset = milestones[entry / kMilestoneEvery];
  for (std::uint64_t j = from; j < entry; ++j) {
    offset += static_cast<std::int64_t>(kHeaderSize + payloads[j]);
  }
  // Chunks without data between the milestone and the entry.
  for (auto gap = std::upper_bound(
           gaps.begin(), gaps.end(), from,
           [](std::uint64_t e, const Gap& g) { return e < g.beforeEntry; });
       gap != gaps.end() && gap->beforeEntry <= entry; ++gap) {
    offset += gap->bytes;
  }
  return offset;
}

std::uint64_t ChunkIndex::firstEntryFrom(std::int64_t offset) const {
  auto milestone = std::upper_bound(milestones.begin(), milestones.end(),
                                    offset);
  if (milestone == milestones.begin()) return 0;
  std::uint64_t entry =
      static_cast<std::uint64_t>(milestone - 1 - milestones.begin()) *
      kMilestoneEvery;
  std::int64_t at = *(milestone - 1);
  auto gap = std::upper_bound(
      gaps.begin(), gaps.end(), entry,
      [](std::uint64_t e, const Gap& g) { return e < g.beforeEntry; });
  while (entry < entryCount() && at < offset) {
    at += static_cast<std::int64_t>(kHeaderSize + payloads[entry]);
    ++entry;
    if (gap != gaps.end() && gap->beforeEntry == entry) at += (gap++)->bytes;
  }
  return entry;
}

bool ChunkIndex::agrees(std::int64_t offset, const ChunkHeader& header,
                        ChunkEntry* known) {
  // A stream's index keeps only its last chunk: it cannot tell.
  if (offset > front.headerOffset || !keepEntries) return true;
  if (seals) {
    // Every header, the end markers among them, and the trailers after
    // each end marker, as its record says.
    ChunkEntry at;
    bool found = false;
    if (!seals->at(offset, at, found) || !found) return false;
    if (known != nullptr) *known = at;
    return header.dataSize == at.dataSize &&
           header.payloadSize == at.payloadSize &&
           header.backLink == at.backLink && header.joinsNext == at.joinsNext &&
           header.trailerBytes == at.trailerBytes &&
           header.sealBytes == at.sealBytes;
  }
  if (offset == front.headerOffset) {
    return front.state != Frontier::Ended || header.isEndMarker();
  }
  if (header.endsData()) return false;
  if (saved) {
    // Every header the file has is in a saved index.
    ChunkEntry at;
    bool found = false;
    if (!saved->at(offset, at, found)) {
      if (dropped == Dropped::No) dropped = Dropped::Broken;
      return false;
    }
    if (!found) return false;
    if (known != nullptr) *known = at;
    return header.dataSize == at.dataSize &&
           header.payloadSize == at.payloadSize &&
           header.backLink == at.backLink;
  }
  const std::uint64_t entry = firstEntryFrom(offset);
  const std::int64_t next =
      entry < entryCount() ? headerOffsetOf(entry) : front.headerOffset;
  if (next == offset && entry < entryCount()) {
    const ChunkEntry at = entryAt(entry);
    if (known != nullptr) *known = at;
    return header.dataSize == at.dataSize &&
           header.payloadSize == at.payloadSize &&
           header.backLink == at.backLink;
  }
  return header.dataSize == 0 &&
         offset + static_cast<std::int64_t>(header.span()) <= next;
}

void ChunkIndex::forget(Dropped why) {
  if (fromSaved && dropped == Dropped::No) dropped = why;
  fromSaved = false;
  tailChecked = false;
  seals.reset();
  walked->forget();
  saved.reset();
  payloads = {};
  runs = {};
  milestones = {};
  gaps = {};
  pending = Gap{0, 0, 0, 0};
  haveLast = false;
  front = Frontier();
  proved = Frontier();
  endMarkerChecked = true;
}

void ChunkIndex::assumeEnd() {
  front.state = Frontier::Ended;
  endMarkerChecked = false;
}

Failure ChunkIndex::walkTo(std::int64_t offset, ReadWindow& window) {
  while (front.state == Frontier::Open && front.headerOffset < offset) {
    ChunkHeader header;
    const Failure failure =
        learnNext(window, window.source().walkReadSize(), header);
    if (failure.failed()) return failure;
  }
  if (front.state == Frontier::Damaged && front.headerOffset < offset) {
    return frontierFailure(Failure::ofDamage(front.damage));
  }
  return {};
}

void ChunkIndex::adopt(std::unique_ptr<SavedIndex> index) {
  forget();
  fromSaved = true;
  dropped = Dropped::No;
  front.headerOffset = index->endOffset();
  front.position = index->dataSize();
  front.previousPayloadSize = index->lastPayloadSize();
  front.chunksPassed = index->chunkCount();
  saved = std::move(index);
  assumeEnd();
}

void ChunkIndex::adopt(ChunkIndex&& other) {
  saved = std::move(other.saved);
  payloads = std::move(other.payloads);
  runs = std::move(other.runs);
  milestones = std::move(other.milestones);
  gaps = std::move(other.gaps);
  pending = other.pending;
  front = other.front;
  endMarkerChecked = other.endMarkerChecked;
  fromSaved = true;
  dropped = Dropped::No;
}

std::size_t ChunkIndex::heldBytes() const {
  return (saved ? saved->heldBytes() : 0) + (seals ? seals->heldBytes() : 0) +
         walked->heldBytes() + payloads.capacity() * sizeof payloads[0] +
         runs.capacity() * sizeof(Run) +
         milestones.capacity() * sizeof milestones[0] +
         gaps.capacity() * sizeof(Gap);
}

std::unique_ptr<SavedIndex> ChunkIndex::releaseSaved() {
  if (saved && !saved->chainToEnd()) return nullptr;
  return std::move(saved);
}

bool ChunkIndex::savedIsWhole() { return saved && saved->checkAll(); }

bool ChunkIndex::savedVerified() const { return saved && saved->verified(); }

Failure ChunkIndex::frontierFailure(Failure failure) const {
  failure.chunk = static_cast<std::int64_t>(front.chunksPassed);
  failure.fileOffset = front.headerOffset;
  failure.position = static_cast<std::int64_t>(front.position);
  return failure;
}

}  // namespace kob
