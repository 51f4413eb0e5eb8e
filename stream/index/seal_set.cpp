// SPDX-License-Identifier: GPL-2.0-or-later
#include "index/seal_set.h"

#include <algorithm>
#include <cstring>

#include "common/big_endian.h"
#include "format/seal_format.h"
#include "source/read_window.h"

namespace kob {
namespace {

// The file's last bytes, read once: the footer and the whole trailer of a
// file of up to some 6000 chunks (100 MB of data in chunks of 16 KiB).
constexpr std::size_t kTailRead = kReadAhead;
// Members chained back from the end at most: past that, a walk finds the
// others, as it finds a member the chain cannot reach.
constexpr std::size_t kMostChained = 1024;
// The smallest sealed member: its signature, an end marker, a trailer of
// one record.
const std::uint64_t kSmallestMember =
    sizeof kSignature + kHeaderSize + sealTrailerSize(1);

// The bytes [offset, offset + count) of the file: from its tail when they
// lie there, else read.
class Tail {
 public:
  explicit Tail(Source& aSource) : source(aSource) {}

  bool read(std::int64_t size) {
    start = std::max<std::int64_t>(0, size - static_cast<std::int64_t>(kTailRead));
    bytes.resize(static_cast<std::size_t>(size - start));
    int error = 0;
    return readExactly(source, start, bytes.data(), bytes.size(), error);
  }

  bool get(std::int64_t offset, std::size_t count, unsigned char* into) const {
    if (offset >= start) {
      std::memcpy(into, bytes.data() + (offset - start), count);
      return true;
    }
    const auto before = static_cast<std::size_t>(
        std::min<std::int64_t>(start - offset, static_cast<std::int64_t>(count)));
    int error = 0;
    if (!readExactly(source, offset, into, before, error)) return false;
    return before == count ||
           get(offset + static_cast<std::int64_t>(before), count - before,
               into + before);
  }

 private:
  Source& source;
  std::int64_t start = 0;
  std::vector<unsigned char> bytes;
};

}  // namespace

std::unique_ptr<SavedIndex> openSeal(std::vector<unsigned char> trailer,
                                     std::uint32_t flags, SealFooter& footer,
                                     const MemberEnd* end) {
  if (trailer.size() < kSealFooterSize ||
      !decodeSealFooter(trailer.data() + trailer.size() - kSealFooterSize,
                        footer) ||
      footer.trailerLength != trailer.size() ||
      !checkSealTrailer(trailer.data(), footer, flags)) {
    return nullptr;
  }
  if (end != nullptr &&
      (footer.memberLength !=
           static_cast<std::uint64_t>(end->endMarker - end->start) +
               kHeaderSize + end->trailerBytes ||
       footer.records != end->records || footer.dataSize != end->dataSize)) {
    return nullptr;
  }
  SavedIndex::RecordsLayout layout;
  layout.count = footer.records;
  layout.before = kSealHeadSize;
  layout.size = kSealHeadSize + recordsSize(footer.records);
  layout.chunkBytes =
      static_cast<std::int64_t>(footer.memberLength - footer.trailerLength);
  layout.trailersAfter = true;
  std::unique_ptr<SavedIndex> records =
      SavedIndex::openRecords(nullptr, layout, std::move(trailer), true);
  if (!records || records->dataSize() != footer.dataSize ||
      (end != nullptr &&
       (records->endOffset() != end->endMarker - end->start ||
        records->lastPayloadSize() != end->lastPayload))) {
    return nullptr;
  }
  return records;
}

std::unique_ptr<SealSet> SealSet::fromTail(Source& source,
                                           const unsigned char* first) {
  const std::int64_t size = source.identity().size;
  Tail tail(source);
  if (size < static_cast<std::int64_t>(kSmallestMember) || !tail.read(size)) {
    return nullptr;
  }
  ReadWindow window(source);
  std::vector<SealedMember> found;  // from the last
  std::uint32_t followingFlags = 0;
  std::int64_t end = size;
  while (end >= static_cast<std::int64_t>(kSmallestMember) &&
         found.size() < kMostChained) {
    unsigned char last[kSealFooterSize];
    SealFooter footer;
    if (!tail.get(end - static_cast<std::int64_t>(kSealFooterSize),
                  kSealFooterSize, last) ||
        !decodeSealFooter(last, footer) ||
        footer.memberLength > static_cast<std::uint64_t>(end)) {
      break;
    }
    // Nothing is held for the trailer before its length is known to fit.
    const std::int64_t start = end - static_cast<std::int64_t>(footer.memberLength);
    unsigned char signature[sizeof kSignature];
    if (start == 0) std::memcpy(signature, first, sizeof signature);
    std::vector<unsigned char> trailer(footer.trailerLength);
    if ((start > 0 && !tail.get(start, sizeof signature, signature)) ||
        !hasSignature(signature, sizeof signature) ||
        !tail.get(end - static_cast<std::int64_t>(footer.trailerLength),
                  trailer.size(), trailer.data())) {
      break;
    }
    const std::uint32_t flags = signatureFlags(signature, sizeof signature);
    SealedMember member;
    member.start = start;
    member.sealBytes = footer.trailerLength;
    member.records = openSeal(std::move(trailer), flags, footer, nullptr);
    if (!member.records) break;
    // The records end where the seal begins, their end marker right
    // before it; or, with trailers of other kinds between, the end marker
    // stands where the records say, whole, and its trailers reach this
    // footer. The member found before, if any, begins after them.
    const std::int64_t endMarker = start + member.records->endOffset();
    member.trailerBytes = footer.trailerLength;
    if (endMarker + static_cast<std::int64_t>(kHeaderSize + footer.trailerLength) != end) {
      ChunkHeader header;
      if (readHeaderAt(window, endMarker, member.records->lastPayloadSize(), 0,
                       header)
              .failed() ||
          !header.isEndMarker() || header.sealBytes != footer.trailerLength ||
          endMarker + static_cast<std::int64_t>(kHeaderSize + header.trailerBytes) !=
              end ||
          header.joinsNext != !found.empty() ||
          (header.joinsNext && header.nextFlags != followingFlags)) {
        break;
      }
      member.trailerBytes = header.trailerBytes;
    }
    followingFlags = flags;
    found.push_back(std::move(member));
    end = start;
  }
  if (found.empty()) return nullptr;
  auto set = std::make_unique<SealSet>();
  set->covers = end == 0;
  std::reverse(found.begin(), found.end());
  std::uint64_t dataStart = 0;
  std::uint64_t firstChunk = 0;
  for (SealedMember& member : found) {
    member.dataStart = dataStart;
    member.firstChunk = firstChunk;
    dataStart += member.records->dataSize();
    firstChunk += member.records->recordCount();
    set->add(std::move(member));
  }
  return set;
}

const SealedMember* SealSet::memberAt(std::int64_t offset) const {
  auto after = std::upper_bound(
      members.begin(), members.end(), offset,
      [](std::int64_t o, const SealedMember& m) { return o < m.start; });
  if (after == members.begin()) return nullptr;
  const SealedMember& member = *(after - 1);
  return offset - member.start <= member.records->endOffset() ? &member : nullptr;
}

ChunkEntry SealSet::shifted(const SealedMember& member, std::size_t i,
                            ChunkEntry chunk) const {
  chunk.headerOffset += member.start;
  chunk.position += member.dataStart;
  chunk.number += member.firstChunk;
  if (chunk.payloadSize == 0) {
    chunk.hasChecksum = false;
    chunk.joinsNext = i + 1 < members.size();
    chunk.trailerBytes = member.trailerBytes;
    chunk.sealBytes = member.sealBytes;
  }
  return chunk;
}

bool SealSet::find(std::uint64_t position, ChunkEntry& chunk) {
  auto after = std::upper_bound(
      members.begin(), members.end(), position,
      [](std::uint64_t p, const SealedMember& m) { return p < m.dataStart; });
  // Members without data share their start with the next: the last of
  // them before `position` holds it, or none does.
  while (after != members.begin()) {
    const SealedMember& member = *(after - 1);
    if (position - member.dataStart < member.records->dataSize()) {
      if (!member.records->find(position - member.dataStart, chunk)) return false;
      chunk = shifted(member, static_cast<std::size_t>(after - 1 - members.begin()),
                      chunk);
      return true;
    }
    --after;
  }
  return false;
}

bool SealSet::at(std::int64_t offset, ChunkEntry& chunk, bool& found) {
  found = false;
  const SealedMember* member = memberAt(offset);
  if (member == nullptr) return true;
  if (!member->records->at(offset - member->start, chunk, found)) return false;
  if (found) chunk = shifted(*member, static_cast<std::size_t>(member - members.data()), chunk);
  return true;
}

std::uint64_t SealSet::dataSize() const {
  return last().dataStart + last().records->dataSize();
}

std::int64_t SealSet::endOffset() const {
  return last().start + last().records->endOffset();
}

std::uint64_t SealSet::chunkCount() const {
  return last().firstChunk + last().records->chunkCount();
}

std::uint32_t SealSet::lastPayloadSize() const {
  return last().records->lastPayloadSize();
}

std::unique_ptr<SavedIndex> SealSet::releaseWhole() {
  if (!covers || members.size() != 1) return nullptr;
  return std::move(members.front().records);
}

std::size_t SealSet::heldBytes() const {
  std::size_t bytes = members.capacity() * sizeof(SealedMember);
  for (const SealedMember& member : members) bytes += member.records->heldBytes();
  return bytes;
}

// ---------------------------------------------------------------------------
// A member read as a stream

void SealCheck::start(std::int64_t firstHeader, std::uint64_t aFirstChunk) {
  kept.clear();
  checksummed.clear();
  lastOffset = firstHeader - 1;
  firstChunk = aFirstChunk;
}

void SealCheck::pass(std::int64_t offset, const ChunkHeader& header) {
  // A header read again (a forward seek lands where the walk passed) is
  // kept once.
  if (offset <= lastOffset) return;
  lastOffset = offset;
  unsigned char record[kIndexRecord] = {};
  encodeHeader(record, header.dataSize, header.payloadSize, header.backLink);
  kept.insert(kept.end(), record, record + kIndexRecord);
  checksummed.push_back(false);
}

void SealCheck::payload(std::int64_t offset, std::uint32_t checksum) {
  if (offset != lastOffset || checksummed.empty()) return;
  putBigEndian<4>(kept.data() + kept.size() - 4, checksum);
  checksummed.back() = true;
}

Failure SealCheck::compare(SavedIndex& seal, std::int64_t memberStart,
                           std::uint64_t dataStart) const {
  std::int64_t offset = memberStart + kFirstHeaderOffset;
  std::uint64_t position = dataStart;
  const std::uint64_t count = checksummed.size();
  for (std::uint64_t i = 0; i < count; ++i) {
    const unsigned char* mine = kept.data() + kIndexRecord * i;
    const unsigned char* record = seal.recordBytes(i);
    Damage damage = Damage::None;
    if (record == nullptr || std::memcmp(mine, record, kHeaderSize) != 0) {
      damage = Damage::HeaderUnlikeSeal;
    } else if (checksummed[i] &&
               std::memcmp(mine + kHeaderSize, record + kHeaderSize, 4) != 0) {
      damage = Damage::PayloadUnlikeSeal;
    }
    if (damage != Damage::None) {
      Failure failure = Failure::ofDamage(damage);
      failure.chunk = static_cast<std::int64_t>(firstChunk + i);
      failure.fileOffset = offset;
      failure.position = static_cast<std::int64_t>(position);
      return failure;
    }
    offset += static_cast<std::int64_t>(kHeaderSize + decodeUInt2(mine + 2));
    position += decodeUInt2(mine);
  }
  return {};
}

}  // namespace kob
