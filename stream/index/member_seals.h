// SPDX-License-Identifier: GPL-2.0-or-later
//
// The members a walk meets, one after another, and the seals of those that
// are sealed: each checked when the walk reaches the member's end marker,
// before a chunk of it is served. On a file that can seek the checked
// seals are kept, and every chunk read is checked against its record; on a
// stream, what passed is kept instead (SealCheck) and compared with the
// trailer when it comes, so that the reader fails at the end, naming the
// first chunk unlike its record.
//
// What a member's flags allow after its end marker: none, nothing but the
// next member's signature; the seal, its trailer last among the trailers;
// others only, trailers stepped over unread.

#ifndef KOB_INDEX_MEMBER_SEALS_H
#define KOB_INDEX_MEMBER_SEALS_H

#include <cstdint>
#include <vector>

#include "format/format.h"
#include "index/seal_set.h"
#include "kob_failure.h"

namespace kob {

// A member, as the walk entered it.
struct WalkedMember {
  std::int64_t start = 0;        // its signature's offset
  std::uint32_t flags = 0;       // its signature's flags
  std::uint64_t firstChunk = 0;  // the number of its first chunk
  std::uint64_t position = 0;    // of its first byte in the data
  bool sealed() const { return (flags & kSealedFlag) != 0; }
};

class MemberSeals {
 public:
  // A stream keeps the member it reads only.
  explicit MemberSeals(bool keepAll) : keepAll(keepAll) {}

  // The walk enters `member`.
  void enter(const WalkedMember& member);
  bool entered() const { return !members.empty(); }
  const WalkedMember& current() const { return members.back(); }

  // A chunk's header passes at `offset`, and its payload's checksum when
  // it is read: what a stream's check compares.
  void pass(std::int64_t offset, const ChunkHeader& header);
  void payload(std::int64_t offset, std::uint32_t checksum);
  bool checksStream() const { return !keepAll && entered() && current().sealed(); }

  // The size the seal's trailer of the current member must have, now that
  // its end marker is the `records`th record: 0 when it has no seal.
  std::uint64_t sealSize(std::uint64_t records) const;

  // Judges what follows the current member's end marker at `offset` (its
  // trailers, as `header` says; `failure` what reading them met), with
  // `seal` the seal's trailer when it was captured; `records` and
  // `dataSize` are the member's. Returns the damage named at the end
  // marker (DataAfterEnd: trailers its flags do not allow; TrailerDamaged:
  // a seal missing, cut short or not the member's, or one its flags do not
  // announce, whose flag was lost), or a stream's first chunk unlike its
  // record. `header` then says a seal only for a member sealed.
  Failure end(std::int64_t offset, ChunkHeader& header, Failure failure,
              std::vector<unsigned char> seal, std::uint64_t records,
              std::uint64_t dataSize);

  // The member holding the header at `offset`; null when the walk has not
  // met it.
  const WalkedMember* memberOf(std::int64_t offset) const;
  // The checked seals, of members whose end the walk passed.
  SealSet& checked() { return seals; }

  void forget();
  std::size_t heldBytes() const;

 private:
  bool keepAll;
  std::vector<WalkedMember> members;
  SealSet seals;
  SealCheck stream;
};

}  // namespace kob

#endif  // KOB_INDEX_MEMBER_SEALS_H
