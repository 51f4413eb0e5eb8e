// SPDX-License-Identifier: GPL-2.0-or-later
//
// The chunk index and the seals (index/seal_set.h): adopting those that
// cover a file, and finding a chunk's record in its member's seal when a
// walk learned the file.

#include "index/chunk_index.h"
#include "index/member_seals.h"
#include "index/seal_set.h"

namespace kob {

void ChunkIndex::adopt(std::unique_ptr<SealSet> set) {
  forget();
  front.headerOffset = set->endOffset();
  front.position = set->dataSize();
  front.previousPayloadSize = set->lastPayloadSize();
  front.chunksPassed = set->chunkCount();
  seals = std::move(set);
  assumeEnd();
}

Failure ChunkIndex::sealRecord(const ChunkEntry& chunk, ReadWindow& window,
                               ChunkEntry& record, bool& found) {
  found = false;
  const WalkedMember* member = walked->memberOf(chunk.headerOffset);
  if (member == nullptr || !member->sealed()) return {};
  // The walk checks the member's seal when it passes its end marker.
  while (walked->checked().memberAt(chunk.headerOffset) == nullptr) {
    if (front.state == Frontier::Ended) {
      return frontierFailure(Failure::ofDamage(Damage::TrailerDamaged));
    }
    ChunkHeader header;
    const Failure failure =
        learnNext(window, window.source().walkReadSize(), header);
    if (failure.failed()) return failure;
  }
  bool there = false;
  if (!walked->checked().at(chunk.headerOffset, record, there) || !there) {
    return Failure::ofDamage(Damage::HeaderUnlikeSeal);
  }
  found = true;
  return {};
}

bool ChunkIndex::knownAt(std::int64_t offset, ChunkEntry& chunk) {
  bool found = false;
  return seals && seals->at(offset, chunk, found) && found;
}

bool ChunkIndex::checksStream() const { return walked->checksStream(); }

void ChunkIndex::notePayload(std::int64_t offset, std::uint32_t checksum) {
  walked->payload(offset, checksum);
}

}  // namespace kob
