// SPDX-License-Identifier: GPL-2.0-or-later
#include "index/member_seals.h"

#include <algorithm>

namespace kob {

void MemberSeals::enter(const WalkedMember& member) {
  if (!keepAll) members.clear();
  members.push_back(member);
  if (checksStream()) {
    stream.start(member.start + kFirstHeaderOffset, member.firstChunk);
  }
}

void MemberSeals::pass(std::int64_t offset, const ChunkHeader& header) {
  if (checksStream()) stream.pass(offset, header);
}

void MemberSeals::payload(std::int64_t offset, std::uint32_t checksum) {
  if (checksStream()) stream.payload(offset, checksum);
}

std::uint64_t MemberSeals::sealSize(std::uint64_t records) const {
  return entered() && current().sealed() ? sealTrailerSize(records) : 0;
}

Failure MemberSeals::end(std::int64_t offset, ChunkHeader& header,
                         Failure failure, std::vector<unsigned char> seal,
                         std::uint64_t records, std::uint64_t dataSize) {
  const WalkedMember member = entered() ? current() : WalkedMember();
  if (!member.sealed()) {
    // Trailers only where the flags announce them; a seal among them not
    // announced is a seal whose flag was lost.
    if (failure.ok() && member.flags == 0 && header.trailerBytes > 0) {
      failure = Failure::ofDamage(Damage::DataAfterEnd);
    } else if (failure.ok() && header.sealBytes > 0) {
      failure = Failure::ofDamage(Damage::TrailerDamaged);
    }
    header.sealBytes = 0;
    return failure;
  }
  // Sealed: its trailer is there whole, last, and the member's own.
  if (failure.isDamage() || !header.hasBackLink || header.sealBytes == 0 ||
      seal.size() != header.sealBytes) {
    return failure.error != 0 ? failure : Failure::ofDamage(Damage::TrailerDamaged);
  }
  if (failure.failed()) return failure;
  MemberEnd walked;
  walked.start = member.start;
  walked.endMarker = offset;
  walked.lastPayload = header.backLink;
  walked.trailerBytes = header.trailerBytes;
  walked.records = records;
  walked.dataSize = dataSize;
  SealFooter footer;
  std::unique_ptr<SavedIndex> checkedSeal =
      openSeal(std::move(seal), member.flags, footer, &walked);
  if (!checkedSeal) return Failure::ofDamage(Damage::TrailerDamaged);
  if (!keepAll) {
    stream.pass(offset, header);  // the end marker is its last record
    return stream.compare(*checkedSeal, member.start, member.position);
  }
  SealedMember kept;
  kept.start = member.start;
  kept.dataStart = member.position;
  kept.firstChunk = member.firstChunk;
  kept.trailerBytes = header.trailerBytes;
  kept.sealBytes = header.sealBytes;
  kept.records = std::move(checkedSeal);
  // A member read again (the walk met damage past it, and goes on from
  // there once more) is checked again, and kept once.
  if (seals.memberAt(member.start + kFirstHeaderOffset) == nullptr) {
    seals.add(std::move(kept));
  }
  return {};
}

const WalkedMember* MemberSeals::memberOf(std::int64_t offset) const {
  auto after = std::upper_bound(
      members.begin(), members.end(), offset,
      [](std::int64_t o, const WalkedMember& m) { return o < m.start; });
  return after == members.begin() ? nullptr : &*(after - 1);
}

void MemberSeals::forget() {
  members.clear();
  seals = SealSet();
  stream = SealCheck();
}

std::size_t MemberSeals::heldBytes() const {
  return members.capacity() * sizeof(WalkedMember) + seals.heldBytes();
}

}  // namespace kob
