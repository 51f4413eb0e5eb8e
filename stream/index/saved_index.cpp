// SPDX-License-Identifier: GPL-2.0-or-later
//
// A version 2 saved index, read a block at a time (see saved_index.h; the
// loader is index/load_index.cpp).

#include "index/saved_index.h"

#include <xxhash.h>

#include <algorithm>
#include <cstring>

#include "format/codec.h"
#include "format/format.h"

namespace kob {
namespace {

std::uint64_t get64(const unsigned char* in) { return getBigEndian<8>(in); }
std::uint32_t get16(const unsigned char* in) {
  return static_cast<std::uint32_t>(in[0]) << 8 | in[1];
}

// Bytes from a record's header to the next header in the file: the header
// and its payload, or for the end of a member that another follows, the
// header and the next member's signature.
std::int64_t recordSpan(const unsigned char* record) {
  const std::uint32_t payloadSize = get16(record + 2);
  return static_cast<std::int64_t>(kHeaderSize +
                                   (payloadSize == 0 ? kMemberGap : payloadSize));
}

// Bytes a chunk without data takes in the file: its header and the end
// code, its only possible payload.
constexpr std::int64_t kEmptyChunkBytes =
    static_cast<std::int64_t>(kHeaderSize + kEmptyPayloadSize);
// Bytes of a block's records and its checksum, all but the last block.
constexpr std::size_t kBlockBytes = kIndexRecord * kBlockRecords + kIndexSum;

// Whether a chunk with this header could be sound.
bool couldBe(const ChunkHeader& header) {
  return header.dataSize == 0 ? header.payloadSize == kEmptyPayloadSize
                              : header.payloadSize >= kSmallestDataPayload;
}

std::uint32_t emptyChecksum() {
  static const std::uint32_t checksum =
      payloadChecksum(kEmptyPayload, kEmptyPayloadSize);
  return checksum;
}

}  // namespace

std::unique_ptr<SavedIndex> SavedIndex::openRecords(
    std::unique_ptr<Source> source, const RecordsLayout& layout,
    std::vector<unsigned char> first, bool verified) {
  // The count and the size agree with each other and with the packed file
  // before anything is held for them.
  if (layout.count == 0 || layout.count > mostRecords(layout.chunkBytes) ||
      layout.size != layout.before + recordsSize(layout.count) ||
      first.size() < layout.before ||
      (!source && first.size() < layout.size)) {
    return nullptr;
  }
  std::unique_ptr<SavedIndex> index(new SavedIndex());
  index->source = std::move(source);
  index->isVerified = verified;
  index->records = layout.count;
  index->indexBytes = layout.size;
  index->before = layout.before;
  index->packedSize = layout.chunkBytes;
  index->trailersAfter = layout.trailersAfter;
  index->early = std::move(first);
  if (!index->readHead()) return nullptr;
  // The last block says where the data ends: it is read and checked now,
  // and trusted once the chain of milestones reaches it and the file's
  // own headers agree with it.
  const std::uint64_t last = index->blockCount() - 1;
  std::vector<unsigned char> scratch;
  const unsigned char* bytes = nullptr;
  std::uint64_t until = last + 1;
  if (!index->blockBytes(last, until, scratch, bytes) ||
      !index->check(last, bytes)) {
    return nullptr;
  }
  index->keep(last, bytes);
  return index;
}

// The milestones and their checksum, read in pieces as they arrive: an
// index that claims more than it sends costs what it sent.
bool SavedIndex::readHead() {
  const std::uint64_t blocks = kob::blockCount(records);
  XXH3_state_t* state = XXH3_createState();
  if (state == nullptr) return false;
  XXH3_64bits_reset(state);
  XXH3_64bits_update(state, early.data(), before);
  std::vector<unsigned char> scratch;
  constexpr std::uint64_t kPerRead = kReadAhead / kIndexMilestone;
  bool sound = true;
  for (std::uint64_t done = 0; sound && done < blocks;) {
    std::uint64_t batch = std::min(kPerRead, blocks - done);
    const std::uint64_t at = before + kIndexMilestone * done;
    const std::uint64_t inEarly =
        at < early.size() ? (early.size() - at) / kIndexMilestone : 0;
    const unsigned char* bytes = early.data() + std::min<std::uint64_t>(at, early.size());
    if (inEarly > 0) {
      batch = std::min(batch, inEarly);
    } else {
      int error = 0;
      scratch.resize(kIndexMilestone * batch);
      if (!readExactly(*source, static_cast<std::int64_t>(at), scratch.data(),
                       scratch.size(), error)) {
        sound = false;
        break;
      }
      bytes = scratch.data();
    }
    XXH3_64bits_update(state, bytes, kIndexMilestone * batch);
    for (std::uint64_t k = 0; k < batch; ++k) {
      const unsigned char* milestone = bytes + kIndexMilestone * k;
      const Milestone next{static_cast<std::int64_t>(get64(milestone)),
                           get64(milestone + 8)};
      // In file order: each block at least its records' headers further on.
      const bool inOrder =
          milestones.empty()
              ? next.offset == kFirstHeaderOffset && next.position == 0
              : next.offset >= milestones.back().offset +
                                   static_cast<std::int64_t>(kHeaderSize *
                                                             kBlockRecords) &&
                    next.position >= milestones.back().position &&
                    next.offset < packedSize;
      if (!inOrder) {
        sound = false;
        break;
      }
      milestones.push_back(next);
    }
    done += batch;
  }
  const std::uint64_t sumAt = before + kIndexMilestone * blocks;
  unsigned char sum[kIndexSum];
  if (sound && sumAt + kIndexSum <= early.size()) {
    std::memcpy(sum, early.data() + sumAt, kIndexSum);
  } else if (sound) {
    int error = 0;
    sound = readExactly(*source, static_cast<std::int64_t>(sumAt), sum,
                        kIndexSum, error);
  }
  sound = sound && get64(sum) == XXH3_64bits_digest(state);
  XXH3_freeState(state);
  milestones.shrink_to_fit();
  blocksAt = static_cast<std::int64_t>(sumAt + kIndexSum);
  return sound;
}

std::uint64_t SavedIndex::recordsIn(std::uint64_t block) const {
  return std::min(kBlockRecords, records - block * kBlockRecords);
}

std::int64_t SavedIndex::blockAt(std::uint64_t block) const {
  return blocksAt + static_cast<std::int64_t>(kBlockBytes * block);
}

bool SavedIndex::allEmpty(std::uint64_t block) const {
  return block + 1 < blockCount() &&
         milestones[block + 1].position == milestones[block].position;
}

bool SavedIndex::blockBytes(std::uint64_t from, std::uint64_t& until,
                            std::vector<unsigned char>& scratch,
                            const unsigned char*& bytes) {
  until = std::min({until, blockCount(),
                    from + std::max<std::uint64_t>(1, kReadAhead / kBlockBytes)});
  // Where the block before `block` ends.
  const auto endOf = [this](std::uint64_t block) {
    return std::min<std::uint64_t>(static_cast<std::uint64_t>(blockAt(block)),
                                   indexBytes);
  };
  const auto start = static_cast<std::uint64_t>(blockAt(from));
  if (endOf(from + 1) <= early.size()) {
    // Served from what came first, as far as it goes.
    while (until > from + 1 && endOf(until) > early.size()) --until;
    bytes = early.data() + start;
    return true;
  }
  scratch.resize(endOf(until) - start);
  int error = 0;
  if (!readExactly(*source, static_cast<std::int64_t>(start), scratch.data(),
                   scratch.size(), error)) {
    return false;
  }
  bytes = scratch.data();
  return true;
}

bool SavedIndex::check(std::uint64_t number, const unsigned char* bytes) {
  const std::uint64_t first = number * kBlockRecords;
  const std::uint64_t count = recordsIn(number);
  if (get64(bytes + kIndexRecord * count) !=
      XXH3_64bits(bytes, kIndexRecord * count)) {
    return false;
  }
  std::int64_t offset = milestones[number].offset;
  std::uint64_t position = milestones[number].position;
  std::uint32_t previous = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    const unsigned char* record = bytes + kIndexRecord * i;
    // The first record's back-link leads into the block before: the file's
    // own header is checked against it where a reader meets it.
    if (i == 0) previous = get16(record + 4);
    ChunkHeader header;
    const bool last = first + i + 1 == records;
    if (decodeHeader(record, kHeaderSize, previous, header) != Damage::None ||
        (last && !header.isEndMarker())) {
      return false;
    }
    if (!last && header.isEndMarker()) {
      // The end of a member that another follows: no data, nothing stored.
      if (header.dataSize != 0 ||
          getBigEndian<4>(record + kHeaderSize) != payloadChecksum(nullptr, 0)) {
        return false;
      }
      previous = 0;
      offset += recordSpan(record);
      continue;
    }
    if (last) {
      // The end marker ends the file (its back-link may be cut off there),
      // or stands whole before the trailers.
      const std::int64_t after = packedSize - offset;
      if (trailersAfter ? after < static_cast<std::int64_t>(kHeaderSize)
                        : after < 4 || after > static_cast<std::int64_t>(kHeaderSize)) {
        return false;
      }
      sizeOfData = position;
      endMarkerOffset = offset;
      lastPayload = header.backLink;
    } else if (!couldBe(header) ||
               (header.dataSize == 0 &&
                getBigEndian<4>(record + kHeaderSize) != emptyChecksum())) {
      return false;
    }
    previous = header.payloadSize;
    offset += static_cast<std::int64_t>(kHeaderSize + header.payloadSize);
    position += header.dataSize;
  }
  // The block ends where the next begins.
  return number + 1 == blockCount() ||
         (offset == milestones[number + 1].offset &&
          position == milestones[number + 1].position);
}

// Sums the records of the blocks before `number`, from where the chain was
// last known to hold: their offsets and positions must add up to each
// milestone, so that a block's place in the file is the one its records
// before give it, not merely what its milestone claims.
bool SavedIndex::chainTo(std::uint64_t number) {
  std::vector<unsigned char> scratch;
  while (chained < number) {
    const std::uint64_t k = chained;
    const Milestone& from = milestones[k];
    const Milestone& to = milestones[k + 1];
    if (allEmpty(k)) {
      // Chunks without data alone: each the end code behind a header.
      if (to.offset - from.offset != kEmptyChunkBytes *
                                         static_cast<std::int64_t>(kBlockRecords)) {
        return false;
      }
      ++chained;
      continue;
    }
    const unsigned char* bytes = nullptr;
    std::uint64_t until = number;
    auto found = held.find(k);
    if (found != held.end()) {
      bytes = found->second.data;
      until = k + 1;
    } else if (!blockBytes(k, until, scratch, bytes)) {
      return false;
    }
    for (std::uint64_t j = k; j < until; ++j) {
      const unsigned char* block = bytes + kBlockBytes * (j - k);
      std::int64_t offset = milestones[j].offset;
      std::uint64_t position = milestones[j].position;
      for (std::uint64_t i = 0; i < kBlockRecords; ++i) {
        const unsigned char* record = block + kIndexRecord * i;
        position += get16(record);
        offset += recordSpan(record);
      }
      if (offset != milestones[j + 1].offset ||
          position != milestones[j + 1].position) {
        return false;
      }
      ++chained;
    }
  }
  return true;
}

bool SavedIndex::chainToEnd() { return block(blockCount() - 1) != nullptr; }

bool SavedIndex::settleTail(ChunkHeader& before) {
  before = ChunkHeader();
  before.payloadSize = 0;
  const std::uint64_t last = blockCount() - 1;
  if (!chainToEnd()) return false;
  if (last == 0) return true;
  if (allEmpty(last - 1)) {
    before.payloadSize = kEmptyPayloadSize;
    return true;
  }
  const Block* previous = block(last - 1);
  if (previous == nullptr) return false;
  const unsigned char* record =
      previous->data + kIndexRecord * (kBlockRecords - 1);
  before.dataSize = get16(record);
  before.payloadSize = get16(record + 2);
  return true;
}

bool SavedIndex::tailRecord(std::uint64_t i, ChunkEntry& chunk) const {
  const std::uint64_t last = blockCount() - 1;
  const auto found = held.find(last);
  if (found == held.end() || i >= recordsIn(last)) return false;
  chunk = entry(last, i, found->second.data + kIndexRecord * i, 0, 0);
  return true;
}

const SavedIndex::Block* SavedIndex::block(std::uint64_t number) {
  if (number >= blockCount() || !chainTo(number)) return nullptr;
  auto found = held.find(number);
  if (found != held.end()) return &found->second;
  std::vector<unsigned char> scratch;
  const unsigned char* bytes = nullptr;
  std::uint64_t until = number + 1;
  if (!blockBytes(number, until, scratch, bytes) || !check(number, bytes)) {
    return nullptr;
  }
  return &keep(number, bytes);
}

// A block in what came first is pointed to there; another is copied.
const SavedIndex::Block& SavedIndex::keep(std::uint64_t number,
                                          const unsigned char* bytes) {
  Block& kept = held[number];
  if (bytes >= early.data() && bytes < early.data() + early.size()) {
    kept.data = bytes;
  } else {
    kept.owned.assign(bytes, bytes + kIndexRecord * recordsIn(number));
    kept.data = kept.owned.data();
  }
  return kept;
}

ChunkEntry SavedIndex::entry(std::uint64_t number, std::uint64_t i,
                             const unsigned char* record, std::int64_t offset,
                             std::uint64_t position) const {
  ChunkEntry chunk;
  chunk.headerOffset = offset;
  chunk.position = position;
  chunk.number = number * kBlockRecords + i;
  chunk.dataSize = static_cast<std::uint16_t>(get16(record));
  chunk.payloadSize = static_cast<std::uint16_t>(get16(record + 2));
  chunk.backLink = static_cast<std::uint16_t>(get16(record + 4));
  chunk.hasChecksum = chunk.payloadSize > 0;
  chunk.joinsNext = chunk.payloadSize == 0 && number * kBlockRecords + i + 1 < records;
  chunk.checksum = static_cast<std::uint32_t>(getBigEndian<4>(record + kHeaderSize));
  return chunk;
}

bool SavedIndex::find(std::uint64_t position, ChunkEntry& chunk) {
  const auto after = std::upper_bound(
      milestones.begin(), milestones.end(), position,
      [](std::uint64_t p, const Milestone& m) { return p < m.position; });
  if (after == milestones.begin()) return false;
  const auto number = static_cast<std::uint64_t>(after - milestones.begin()) - 1;
  const Block* holding = block(number);
  if (holding == nullptr) return false;
  std::int64_t offset = milestones[number].offset;
  std::uint64_t at = milestones[number].position;
  for (std::uint64_t i = 0; i < recordsIn(number); ++i) {
    const unsigned char* record = holding->data + kIndexRecord * i;
    const std::uint32_t dataSize = get16(record);
    if (position - at < dataSize) {
      chunk = entry(number, i, record, offset, at);
      return true;
    }
    at += dataSize;
    offset += recordSpan(record);
  }
  return false;  // the milestones lead elsewhere: the index is wrong
}

bool SavedIndex::record(std::uint64_t number, ChunkEntry& chunk) {
  if (number >= records) return false;
  const std::uint64_t k = number / kBlockRecords;
  if (allEmpty(k)) {
    // Known from its milestones: the end code behind a header.
    if (!chainTo(k + 1)) return false;
    chunk = ChunkEntry();
    chunk.number = number;
    chunk.payloadSize = static_cast<std::uint16_t>(kEmptyPayloadSize);
    chunk.hasChecksum = true;
    chunk.checksum = emptyChecksum();
    return true;
  }
  const unsigned char* bytes = recordBytes(number);
  if (bytes == nullptr) return false;
  chunk = entry(k, number % kBlockRecords, bytes, 0, 0);
  return true;
}

// A chunk in a block of chunks without data alone, known from its
// milestones: nothing of it is read or held.
bool SavedIndex::emptyChunkAt(std::uint64_t number, std::int64_t offset,
                              ChunkEntry& chunk, bool& found) {
  if (!chainTo(number + 1)) return false;
  const std::int64_t into = offset - milestones[number].offset;
  if (into % kEmptyChunkBytes != 0) return true;
  const auto i = static_cast<std::uint64_t>(into / kEmptyChunkBytes);
  std::uint32_t backLink = kEmptyPayloadSize;
  if (i == 0 && number > 0 && !allEmpty(number - 1)) {
    const Block* before = block(number - 1);
    if (before == nullptr) return false;
    backLink = get16(before->data +
                     kIndexRecord * (recordsIn(number - 1) - 1) + 2);
  } else if (i == 0 && number == 0) {
    backLink = 0;
  }
  chunk = ChunkEntry{offset,
                     milestones[number].position,
                     number * kBlockRecords + i,
                     0,
                     static_cast<std::uint16_t>(kEmptyPayloadSize),
                     static_cast<std::uint16_t>(backLink),
                     true,
                     emptyChecksum()};
  found = true;
  return true;
}

bool SavedIndex::at(std::int64_t offset, ChunkEntry& chunk, bool& found) {
  found = false;
  const auto after = std::upper_bound(
      milestones.begin(), milestones.end(), offset,
      [](std::int64_t o, const Milestone& m) { return o < m.offset; });
  if (after == milestones.begin()) return true;
  const auto number = static_cast<std::uint64_t>(after - milestones.begin()) - 1;
  if (allEmpty(number)) return emptyChunkAt(number, offset, chunk, found);
  const Block* holding = block(number);
  if (holding == nullptr) return false;
  std::int64_t at = milestones[number].offset;
  std::uint64_t position = milestones[number].position;
  for (std::uint64_t i = 0; i < recordsIn(number) && at <= offset; ++i) {
    const unsigned char* record = holding->data + kIndexRecord * i;
    if (at == offset) {
      chunk = entry(number, i, record, at, position);
      found = true;
      break;
    }
    position += get16(record);
    at += recordSpan(record);
  }
  return true;
}

const unsigned char* SavedIndex::recordBytes(std::uint64_t i) {
  if (i >= records) return nullptr;
  const Block* holding = block(i / kBlockRecords);
  return holding == nullptr ? nullptr
                            : holding->data + kIndexRecord * (i % kBlockRecords);
}

bool SavedIndex::checkAll() {
  std::vector<unsigned char> scratch;
  for (std::uint64_t k = 0; k < blockCount();) {
    const unsigned char* bytes = nullptr;
    std::uint64_t until = blockCount();
    if (!blockBytes(k, until, scratch, bytes)) return false;
    for (std::uint64_t j = k; j < until; ++j) {
      if (!check(j, bytes + kBlockBytes * (j - k))) return false;
    }
    k = until;
  }
  return chainToEnd();
}

std::size_t SavedIndex::heldBytes() const {
  std::size_t bytes = milestones.capacity() * sizeof(Milestone) +
                      early.capacity() + held.bucket_count() * sizeof(void*);
  for (const auto& [number, block] : held) {
    bytes += sizeof(number) + sizeof(block) + block.owned.capacity() +
             2 * sizeof(void*);
  }
  return bytes;
}

}  // namespace kob
