// SPDX-License-Identifier: GPL-2.0-or-later
#include "index/saved_index.h"

#include <fcntl.h>
#include <lzo/lzoconf.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "common/io.h"
#include "common/unique_fd.h"
#include "format/codec.h"
#include "format/format.h"
#include "format/index_format.h"
#include "kob_index.h"
#include "kob_names.h"
#include "kob_open.h"
#include "source/source.h"

namespace kob {
namespace {

std::uint64_t get64(const unsigned char* in) { return getBigEndian<8>(in); }
std::uint32_t get32(const unsigned char* in) {
  return static_cast<std::uint32_t>(getBigEndian<4>(in));
}

constexpr std::size_t kPreamble = kIndexPreamble;
constexpr std::size_t kIdentity = kIndexIdentity;
constexpr std::size_t kRecord = kIndexRecord;
constexpr std::size_t kMilestone = kIndexMilestone;
constexpr std::size_t kSum = kIndexSum;
constexpr const unsigned char* kMagic = kIndexMagic;

// What identifies the packed file an index describes, as `version` keeps
// it.
void putIdentity(unsigned char* out, const struct stat& file, int version) {
  putIndexedFile(out, indexedFileOf(Identity::ofLocal(file)), version);
}

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

// Opens the index at `path` as readers may trust it: a regular file, not
// a link, owned by `packed`'s owner or root, written by nobody else.
UniqueFd openTrusted(const std::string& path, const struct stat& packed,
                     struct stat& info, IndexState& state) {
  // Whatever sits under the index's name is opened without waiting (a FIFO
  // there must not hold up opening the packed file), and a link there is
  // not followed (anyone who may write the folder could plant one).
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK |
                                       O_NOCTTY | O_NOFOLLOW));
  state = IndexState::Valid;
  if (fd.get() < 0) {
    state = errno == ENOENT ? IndexState::Missing : IndexState::Unusable;
  } else if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
             (info.st_uid != packed.st_uid && info.st_uid != 0) ||
             (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    state = IndexState::Unusable;
  }
  return state == IndexState::Valid ? std::move(fd) : UniqueFd();
}

// Learns the saved records into `built`; false when they do not chain as a
// packed file's headers do, do not fill the file, or list a chunk that
// cannot be (a chunk without data whose payload is not the end code alone,
// a chunk with data whose payload is too small to hold any).
bool rebuild(const unsigned char* records, std::uint64_t count,
             std::int64_t fileSize, ChunkIndex& built) {
  built.reserve(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    const unsigned char* record = records + kHeaderSize * i;
    ChunkHeader header;
    if (decodeHeader(record, kHeaderSize, built.frontier().previousPayloadSize,
                     header) != Damage::None ||
        header.isEndMarker() != (i + 1 == count)) {
      return false;
    }
    if (header.isEndMarker()) break;
    if (!couldBe(header)) return false;
    built.pass(header);
  }
  // The end marker ends the file (its back-link may be cut off).
  const std::int64_t after = fileSize - built.frontier().headerOffset;
  if (after < 4 || after > static_cast<std::int64_t>(kHeaderSize)) {
    return false;
  }
  built.assumeEnd();
  return true;
}

}  // namespace

IndexedFile indexedFileOf(const Identity& identity) {
  IndexedFile indexed;
  indexed.device = identity.device;
  indexed.inode = identity.inode;
  indexed.size = static_cast<std::uint64_t>(identity.size);
  indexed.modifiedSeconds = static_cast<std::uint64_t>(identity.modifiedSeconds);
  indexed.modifiedNanoseconds = identity.modifiedNanoseconds;
  indexed.changedSeconds = static_cast<std::uint64_t>(identity.changedSeconds);
  indexed.changedNanoseconds = identity.changedNanoseconds;
  return indexed;
}

bool sameIdentity(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino &&
         a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

std::string indexPathFor(const std::string& packedPath) {
  return packedPath + ".kbi";
}

const char* describe(IndexState state) {
  switch (state) {
    case IndexState::Valid:
      return "valid";
    case IndexState::Unverified:
      return "unverified";
    case IndexState::Missing:
      return "none";
    case IndexState::Stale:
      return "stale";
    case IndexState::Unusable:
      return "unusable";
  }
  return "unusable";
}

namespace {

// Version 1: small enough to be read whole, and learned into `index`.
IndexState readVersion1(int fd, const struct stat& info,
                        const struct stat& packed, const unsigned char* preamble,
                        ChunkIndex& index) {
  unsigned char identity[kIdentity];
  putIdentity(identity, packed, 1);
  if (std::memcmp(preamble + 8, identity, kVersion1Identity) != 0) {
    return IndexState::Stale;
  }
  const std::uint64_t count = get64(preamble + kVersion1CountAt);
  if (count == 0 || count > mostRecords(packed.st_size) ||
      static_cast<std::uint64_t>(info.st_size) !=
          kVersion1Preamble + count * kHeaderSize + 4) {
    return IndexState::Unusable;
  }
  const auto size = static_cast<std::size_t>(info.st_size);
  std::unique_ptr<unsigned char[]> bytes;
  try {
    bytes = std::make_unique_for_overwrite<unsigned char[]>(size);
  } catch (const std::bad_alloc&) {
    return IndexState::Unusable;
  }
  ChunkIndex built;
  if (preadFully(fd, bytes.get(), size, 0) != static_cast<long>(size) ||
      std::memcmp(bytes.get(), preamble, kVersion1Preamble) != 0 ||
      get32(bytes.get() + size - 4) != lzo_adler32(1, bytes.get(), size - 4) ||
      !rebuild(bytes.get() + kVersion1Preamble, count,
               static_cast<std::int64_t>(packed.st_size), built)) {
    return IndexState::Unusable;
  }
  index.adopt(std::move(built));
  return IndexState::Valid;
}

bool readWhole(Source& source, std::int64_t offset, unsigned char* into,
               std::size_t count) {
  int error = 0;
  return source.readAt(offset, into, count, error) ==
         static_cast<std::int64_t>(count);
}

}  // namespace

std::unique_ptr<SavedIndex> SavedIndex::open(std::unique_ptr<Source> source,
                                             std::uint64_t indexSize,
                                             const unsigned char* preamble,
                                             const struct stat* packedHere,
                                             std::int64_t packedSize,
                                             IndexState& state) {
  state = IndexState::Unusable;
  if (std::memcmp(preamble, kMagic, sizeof kIndexMagic) != 0 || preamble[4] != 2 ||
      preamble[5] != 0 || preamble[6] != 0 || preamble[7] != 0) {
    return nullptr;
  }
  // A local file is known by its device, inode, size and times; one that
  // lies elsewhere by its size, the index's checksums doing the rest.
  unsigned char identity[kIdentity];
  if (packedHere != nullptr) putIdentity(identity, *packedHere, 2);
  if (packedHere != nullptr
          ? std::memcmp(preamble + 8, identity, kIdentity) != 0
          : get64(preamble + 24) != static_cast<std::uint64_t>(packedSize)) {
    state = IndexState::Stale;
    return nullptr;
  }
  // The count and the size agree with each other and with the packed file
  // before a byte is allocated for them.
  const std::uint64_t count = get64(preamble + kIndexCountAt);
  if (count == 0 || count > mostRecords(packedSize) ||
      indexSize != version2Size(count)) {
    return nullptr;
  }
  std::unique_ptr<SavedIndex> index(new SavedIndex());
  index->source = std::move(source);
  index->records = count;
  index->packedSize = packedSize;
  const std::uint64_t blocks = blockCount(count);
  const std::size_t head = kPreamble + kMilestone * blocks + kSum;
  // One read brings the milestones, and for a small index the blocks too.
  const std::size_t first = std::max<std::size_t>(
      head, std::min<std::uint64_t>(indexSize, kReadAhead));
  std::unique_ptr<unsigned char[]> bytes;
  try {
    bytes = std::make_unique_for_overwrite<unsigned char[]>(first);
    index->milestoneOffsets.resize(blocks);
    index->milestonePositions.resize(blocks);
    index->blocks.resize(blocks);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  if (!readWhole(*index->source, 0, bytes.get(), first) ||
      std::memcmp(bytes.get(), preamble, kPreamble) != 0 ||
      get64(bytes.get() + head - kSum) !=
          XXH3_64bits(bytes.get(), head - kSum)) {
    return nullptr;
  }
  for (std::uint64_t k = 0; k < blocks; ++k) {
    const unsigned char* milestone = bytes.get() + kPreamble + kMilestone * k;
    index->milestoneOffsets[k] = static_cast<std::int64_t>(get64(milestone));
    index->milestonePositions[k] = get64(milestone + 8);
    // In file order: each block at least its records' headers further on.
    if (k == 0 ? index->milestoneOffsets[0] != kFirstHeaderOffset ||
                     index->milestonePositions[0] != 0
               : index->milestoneOffsets[k] <
                         index->milestoneOffsets[k - 1] +
                             static_cast<std::int64_t>(kHeaderSize *
                                                       kBlockRecords) ||
                     index->milestonePositions[k] <
                         index->milestonePositions[k - 1] ||
                     index->milestoneOffsets[k] >= index->packedSize) {
      return nullptr;
    }
  }
  index->blocksAt = static_cast<std::int64_t>(head);
  // The blocks that came with the milestones are kept; the last block says
  // where the data ends, so it is read now if it did not come.
  const unsigned char* at = bytes.get() + head;
  for (std::uint64_t k = 0; k < blocks; ++k) {
    const std::size_t length =
        kRecord * std::min(kBlockRecords, count - k * kBlockRecords) + kSum;
    if (at + length > bytes.get() + first) break;
    auto checked = std::make_unique<Block>();
    if (!index->check(k, at, *checked)) return nullptr;
    index->blocks[k] = std::move(checked);
    at += length;
  }
  if (index->block(blocks - 1) == nullptr) return nullptr;
  state = IndexState::Valid;
  return index;
}

const SavedIndex::Block* SavedIndex::block(std::uint64_t number) {
  if (number >= blocks.size()) return nullptr;
  if (blocks[number]) return blocks[number].get();
  // Reading on asks for the blocks in turn: then many come in one read.
  const std::uint64_t wanted =
      number == lastRead + 1
          ? std::min<std::uint64_t>(blocks.size() - number,
                                    kReadAhead / (kRecord * kBlockRecords))
          : 1;
  std::uint64_t from = number;
  std::uint64_t until = number + wanted;
  while (until > from + 1 && blocks[until - 1]) --until;
  const auto recordsBefore = [this](std::uint64_t k) {
    return std::min(records, k * kBlockRecords);
  };
  const std::int64_t start =
      blocksAt + static_cast<std::int64_t>(kRecord * recordsBefore(from) +
                                           kSum * from);
  const std::size_t length =
      kRecord * (recordsBefore(until) - recordsBefore(from)) +
      kSum * (until - from);
  std::vector<unsigned char> bytes(length);
  if (!readWhole(*source, start, bytes.data(), length)) return nullptr;
  const unsigned char* at = bytes.data();
  for (std::uint64_t k = from; k < until; ++k) {
    if (blocks[k]) break;
    auto checked = std::make_unique<Block>();
    if (!check(k, at, *checked)) return nullptr;
    at += kRecord * checked->chunks.size() + kSum;
    blocks[k] = std::move(checked);
  }
  lastRead = until - 1;
  return blocks[number].get();
}

bool SavedIndex::check(std::uint64_t number, const unsigned char* bytes,
                       Block& into) {
  const std::uint64_t first = number * kBlockRecords;
  const std::uint64_t count = std::min(kBlockRecords, records - first);
  if (get64(bytes + kRecord * count) != XXH3_64bits(bytes, kRecord * count)) {
    return false;
  }
  std::int64_t offset = milestoneOffsets[number];
  std::uint64_t position = milestonePositions[number];
  into.chunks.reserve(count);
  std::uint32_t previous = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    const unsigned char* record = bytes + kRecord * i;
    ChunkHeader header;
    // The first record's back-link leads into the block before: the file's
    // own header is checked against it where a reader meets it.
    if (i == 0) previous = decodeUInt2(record + 4);
    const bool last = first + i + 1 == records;
    if (decodeHeader(record, kHeaderSize, previous, header) != Damage::None ||
        header.isEndMarker() != last) {
      return false;
    }
    ChunkEntry chunk;
    chunk.headerOffset = offset;
    chunk.position = position;
    chunk.number = first + i;
    chunk.dataSize = static_cast<std::uint16_t>(header.dataSize);
    chunk.payloadSize = static_cast<std::uint16_t>(header.payloadSize);
    chunk.backLink = static_cast<std::uint16_t>(header.backLink);
    chunk.hasChecksum = !last;
    chunk.checksum = get32(record + kHeaderSize);
    if (last) {
      // The end marker ends the file (its back-link may be cut off there).
      const std::int64_t after = packedSize - offset;
      if (after < 4 || after > static_cast<std::int64_t>(kHeaderSize)) {
        return false;
      }
      sizeOfData = position;
      endMarkerOffset = offset;
      lastPayload = header.backLink;
    } else if (!couldBe(header) ||
               (header.dataSize == 0 && chunk.checksum != emptyChecksum())) {
      return false;
    }
    into.chunks.push_back(chunk);
    previous = header.payloadSize;
    offset += static_cast<std::int64_t>(kHeaderSize + header.payloadSize);
    position += header.dataSize;
  }
  // The block ends where the next begins.
  return number + 1 == blocks.size() ||
         (offset == milestoneOffsets[number + 1] &&
          position == milestonePositions[number + 1]);
}

bool SavedIndex::checkAll() {
  for (std::uint64_t k = 0; k < blocks.size(); ++k) {
    if (block(k) == nullptr) return false;
  }
  return true;
}

bool SavedIndex::find(std::uint64_t position, ChunkEntry& chunk) {
  const auto after = std::upper_bound(milestonePositions.begin(),
                                      milestonePositions.end(), position);
  const Block* holding =
      block(static_cast<std::uint64_t>(after - milestonePositions.begin()) - 1);
  if (holding == nullptr) return false;
  for (const ChunkEntry& candidate : holding->chunks) {
    if (position >= candidate.position &&
        position - candidate.position < candidate.dataSize) {
      chunk = candidate;
      return true;
    }
  }
  return false;  // the milestones lead elsewhere: the index is wrong
}

bool SavedIndex::at(std::int64_t offset, ChunkEntry& chunk, bool& found) {
  found = false;
  const auto after = std::upper_bound(milestoneOffsets.begin(),
                                      milestoneOffsets.end(), offset);
  if (after == milestoneOffsets.begin()) return true;
  const Block* holding =
      block(static_cast<std::uint64_t>(after - milestoneOffsets.begin()) - 1);
  if (holding == nullptr) return false;
  for (const ChunkEntry& candidate : holding->chunks) {
    if (candidate.headerOffset == offset) {
      chunk = candidate;
      found = true;
      break;
    }
  }
  return true;
}

std::size_t SavedIndex::heldBytes() const {
  std::size_t held = milestoneOffsets.capacity() * sizeof(std::int64_t) +
                     milestonePositions.capacity() * sizeof(std::uint64_t) +
                     blocks.capacity() * sizeof blocks[0];
  for (const auto& b : blocks) {
    if (b) held += sizeof(Block) + b->chunks.capacity() * sizeof(ChunkEntry);
  }
  return held;
}

IndexState readSavedIndex(const std::string& indexPath, int packedFd,
                          ChunkIndex& index, bool* withChecksums) {
  struct stat packed;
  if (fstat(packedFd, &packed) != 0) return IndexState::Unusable;
  struct stat info;
  IndexState state = IndexState::Valid;
  UniqueFd fd = openTrusted(indexPath, packed, info, state);
  if (fd.get() < 0) return state;
  unsigned char preamble[kPreamble];
  const long got = preadFully(fd.get(), preamble, sizeof preamble, 0);
  if (got >= static_cast<long>(kVersion1Preamble) &&
      std::memcmp(preamble, kMagic, sizeof kIndexMagic) == 0 && preamble[4] == 1 &&
      preamble[5] == 0 && preamble[6] == 0 && preamble[7] == 0) {
    state = readVersion1(fd.get(), info, packed, preamble, index);
    if (withChecksums != nullptr) *withChecksums = false;
    return state;
  }
  if (got != static_cast<long>(kPreamble)) return IndexState::Unusable;
  std::unique_ptr<SavedIndex> saved = SavedIndex::open(
      std::make_unique<FileSource>(std::move(fd), true),
      static_cast<std::uint64_t>(info.st_size), preamble, &packed,
      static_cast<std::int64_t>(packed.st_size), state);
  if (saved) {
    index.adopt(std::move(saved));
    if (withChecksums != nullptr) *withChecksums = true;
  }
  return state;
}

IndexState readRemoteIndex(std::unique_ptr<Source> indexSource,
                           std::int64_t packedSize, ChunkIndex& index) {
  const std::int64_t size = indexSource ? indexSource->identity().size : -1;
  unsigned char preamble[kPreamble];
  if (size < static_cast<std::int64_t>(kPreamble) ||
      !readWhole(*indexSource, 0, preamble, sizeof preamble)) {
    return IndexState::Unusable;
  }
  IndexState state = IndexState::Valid;
  std::unique_ptr<SavedIndex> saved =
      SavedIndex::open(std::move(indexSource), static_cast<std::uint64_t>(size),
                       preamble, nullptr, packedSize, state);
  if (saved) index.adopt(std::move(saved));
  return state;
}

IndexState loadIndex(Source& packed, const std::string& indexName,
                     ChunkIndex& index, bool* withChecksums) {
  if (withChecksums != nullptr) *withChecksums = false;
  if (indexName.empty() || !packed.seekable()) return IndexState::Missing;
  if (auto* file = dynamic_cast<FileSource*>(&packed)) {
    if (isRemote(indexName)) return IndexState::Unusable;
    return readSavedIndex(indexName, file->descriptor(), index, withChecksums);
  }
  const Identity identity = packed.identity();
  if (identity.local || identity.size < 0) return IndexState::Missing;
  OpenRules rules;
  rules.needSeek = true;
  rules.followLinks = false;
  OpenedFile opened = openFile(indexName, rules);
  if (!opened.ok()) {
    return opened.failure().error == ENOENT ? IndexState::Missing
                                            : IndexState::Unusable;
  }
  if (withChecksums != nullptr) *withChecksums = true;
  return readRemoteIndex(opened.takeSource(), identity.size, index);
}

IndexState indexState(const std::string& name, const IndexChoice& choice) {
  OpenRules rules;
  rules.needSeek = true;
  OpenedFile file = openFile(name, rules);
  if (!file.ok()) return IndexState::Missing;
  const std::string indexName = file.indexName(choice);
  ChunkIndex index;
  bool withChecksums = false;
  std::unique_ptr<Source> source = file.takeSource();
  const IndexState state = loadIndex(*source, indexName, index, &withChecksums);
  // A reader checks each block of a version 2 index as it comes to it; the
  // state of the index is that of all of them.
  return state == IndexState::Valid && withChecksums && !index.savedIsWhole()
             ? IndexState::Unusable
             : state;
}

IndexState indexState(const std::string& packedPath, int packedFd) {
  ChunkIndex index;
  bool withChecksums = false;
  const IndexState state = readSavedIndex(indexPathFor(packedPath), packedFd,
                                          index, &withChecksums);
  return state == IndexState::Valid && withChecksums && !index.savedIsWhole()
             ? IndexState::Unusable
             : state;
}

bool isIndexOf(const std::string& packedPath, int packedFd) {
  struct stat packed;
  if (fstat(packedFd, &packed) != 0) return false;
  UniqueFd fd(::open(indexPathFor(packedPath).c_str(),
                     O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
  struct stat info;
  unsigned char preamble[24];
  return fd.get() >= 0 && fstat(fd.get(), &info) == 0 &&
         S_ISREG(info.st_mode) &&
         preadFully(fd.get(), preamble, sizeof preamble, 0) ==
             static_cast<long>(sizeof preamble) &&
         std::memcmp(preamble, kMagic, sizeof kIndexMagic) == 0 &&
         get64(preamble + 8) == static_cast<std::uint64_t>(packed.st_dev) &&
         get64(preamble + 16) == static_cast<std::uint64_t>(packed.st_ino);
}

}  // namespace kob
