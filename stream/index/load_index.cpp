// SPDX-License-Identifier: GPL-2.0-or-later
//
// The one loader of saved indexes, for every source (see saved_index.h),
// and the states `kob -l` reports.

#include <fcntl.h>
#include <lzo/lzoconf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "format/codec.h"
#include "format/format.h"
#include "format/index_format.h"
#include "index/saved_index.h"
#include "kob_index.h"
#include "kob_names.h"
#include "kob_open.h"
#include "source/read_window.h"
#include "source/source.h"

namespace kob {
namespace {

std::uint64_t get64(const unsigned char* in) { return getBigEndian<8>(in); }

bool isVersion(const std::vector<unsigned char>& first, unsigned char version) {
  return first.size() >= 8 &&
         std::memcmp(first.data(), kIndexMagic, sizeof kIndexMagic) == 0 &&
         first[4] == version && first[5] == 0 && first[6] == 0 && first[7] == 0;
}

// Whether a local index with this status may be read for the packed file
// `packed`: nobody but its owner may write it, and its owner is the packed
// file's, root, or whoever reads (who chose it, or made it): never another
// user, who could plant one.
bool mayTrust(const struct stat& status, const Identity& packed) {
  const bool owned = status.st_uid == 0 || status.st_uid == geteuid() ||
                     (packed.local && status.st_uid == packed.owner);
  return owned && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// How the preamble of a `version` index (its identity at `identity`) names
// the packed file `packed`: as it is (Valid, only for a local file and a
// local index), another file of its size (Unverified), or another (Stale).
IndexState named(const unsigned char* identity, int version,
                 const Identity& packed, bool indexLocal) {
  const IndexedFile indexed = getIndexedFile(identity, version);
  if (indexed.size != static_cast<std::uint64_t>(packed.size)) {
    return IndexState::Stale;
  }
  if (!packed.local || !indexLocal) return IndexState::Unverified;
  const IndexedFile now = indexedFileOf(packed);
  const bool same =
      indexed.device == now.device && indexed.inode == now.inode &&
      indexed.modifiedSeconds == now.modifiedSeconds &&
      indexed.modifiedNanoseconds == now.modifiedNanoseconds &&
      (version < 2 || (indexed.changedSeconds == now.changedSeconds &&
                       indexed.changedNanoseconds == now.changedNanoseconds));
  return same ? IndexState::Valid : IndexState::Unverified;
}

// Whether a chunk with this header could be sound.
bool couldBe(const ChunkHeader& header) {
  return header.dataSize == 0 ? header.payloadSize == kEmptyPayloadSize
                              : header.payloadSize >= kSmallestDataPayload;
}

// Version 1: the headers, learned into `built` as they arrive; false when
// the index is cut short, its sum is wrong, or its headers do not chain as
// a packed file's do, do not fill the file, or list a chunk that cannot be.
bool readVersion1(Source& source, std::uint64_t size,
                  const std::vector<unsigned char>& first,
                  std::int64_t packedSize, ChunkIndex& built) {
  const std::uint64_t count = get64(first.data() + kVersion1CountAt);
  if (count == 0 || count > mostRecords(packedSize) ||
      size != kVersion1Preamble + count * kHeaderSize + kVersion1Sum) {
    return false;
  }
  lzo_uint32_t sum = lzo_adler32(1, first.data(), kVersion1Preamble);
  std::vector<unsigned char> scratch;
  constexpr std::uint64_t kPerRead = kReadAhead / kHeaderSize;
  for (std::uint64_t done = 0; done < count;) {
    const std::uint64_t at = kVersion1Preamble + kHeaderSize * done;
    std::uint64_t batch = std::min(kPerRead, count - done);
    const std::uint64_t inEarly =
        at < first.size() ? (first.size() - at) / kHeaderSize : 0;
    const unsigned char* bytes = first.data() + std::min<std::uint64_t>(at, first.size());
    if (inEarly > 0) {
      batch = std::min(batch, inEarly);
    } else {
      int error = 0;
      scratch.resize(kHeaderSize * batch);
      if (!readExactly(source, static_cast<std::int64_t>(at), scratch.data(),
                       scratch.size(), error)) {
        return false;
      }
      bytes = scratch.data();
    }
    sum = lzo_adler32(sum, bytes, static_cast<lzo_uint>(kHeaderSize * batch));
    for (std::uint64_t i = 0; i < batch; ++i) {
      ChunkHeader header;
      const bool last = done + i + 1 == count;
      if (decodeHeader(bytes + kHeaderSize * i, kHeaderSize,
                       built.frontier().previousPayloadSize,
                       header) != Damage::None ||
          header.isEndMarker() != last) {
        return false;
      }
      if (last) break;
      if (!couldBe(header)) return false;
      built.pass(header);
    }
    done += batch;
  }
  unsigned char stored[kVersion1Sum];
  int error = 0;
  if (!readExactly(source, static_cast<std::int64_t>(size - kVersion1Sum),
                   stored, sizeof stored, error) ||
      getBigEndian<4>(stored) != sum) {
    return false;
  }
  // The end marker ends the file (its back-link may be cut off).
  const std::int64_t after = packedSize - built.frontier().headerOffset;
  if (after < 4 || after > static_cast<std::int64_t>(kHeaderSize)) return false;
  built.assumeEnd();
  return true;
}

// What an index is opened with: never a link, never a FIFO waited for,
// nothing but a regular file (or an object elsewhere), nothing read yet.
OpenRules indexRules() {
  OpenRules rules;
  rules.needSeek = true;
  rules.followLinks = false;
  rules.regularOnly = true;
  rules.testSignature = false;
  return rules;
}

}  // namespace

// A version 2 index: its records section follows its preamble.
std::unique_ptr<SavedIndex> SavedIndex::open(std::unique_ptr<Source> source,
                                             std::uint64_t indexSize,
                                             std::vector<unsigned char> first,
                                             std::int64_t packedSize,
                                             bool verified) {
  if (first.size() < kIndexPreamble) return nullptr;
  RecordsLayout layout;
  layout.count = getBigEndian<8>(first.data() + kIndexCountAt);
  layout.before = kIndexPreamble;
  layout.size = indexSize;
  layout.chunkBytes = packedSize;
  return openRecords(std::move(source), layout, std::move(first), verified);
}

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

IndexState loadIndex(Source& packed, const std::string& indexName,
                     ChunkIndex& index, bool* withChecksums, const S3Options& s3) {
  if (withChecksums != nullptr) *withChecksums = false;
  if (indexName.empty() || !packed.seekable()) return IndexState::Missing;
  const Identity described = packed.identity();
  if (described.size < 0) return IndexState::Missing;
  OpenRules rules = indexRules();
  rules.caFile = packed.caFile();
  rules.s3 = s3;
  OpenedFile opened = openFile(indexName, rules);
  if (!opened.ok()) {
    return opened.failure().error == ENOENT ? IndexState::Missing
                                            : IndexState::Unusable;
  }
  const struct stat* status = opened.localStatus();
  if (status != nullptr && !mayTrust(*status, described)) {
    return IndexState::Unusable;
  }
  std::unique_ptr<Source> source = opened.takeSource();
  const std::int64_t size = source->identity().size;
  if (size < static_cast<std::int64_t>(kVersion1Preamble)) {
    return IndexState::Unusable;
  }
  // One read brings the preamble, the milestones of most indexes, and
  // small indexes whole.
  std::vector<unsigned char> first(static_cast<std::size_t>(
      std::min<std::int64_t>(size, static_cast<std::int64_t>(kReadAhead))));
  int error = 0;
  if (!readExactly(*source, 0, first.data(), first.size(), error)) {
    return IndexState::Unusable;
  }
  const bool indexLocal = status != nullptr;
  if (isVersion(first, 1)) {
    const IndexState state = named(first.data() + 8, 1, described, indexLocal);
    if (state == IndexState::Stale) return state;
    ChunkIndex built;
    if (!readVersion1(*source, static_cast<std::uint64_t>(size), first,
                      described.size, built)) {
      return IndexState::Unusable;
    }
    // A hint without checksums would serve a position only once every
    // header before it had been read (see ChunkIndex::prove): it gives
    // nothing a walk does not.
    if (state == IndexState::Valid) index.adopt(std::move(built));
    return state;
  }
  if (!isVersion(first, 2) || first.size() < kIndexPreamble) {
    return IndexState::Unusable;
  }
  const IndexState state = named(first.data() + 8, 2, described, indexLocal);
  if (state == IndexState::Stale) return state;
  std::unique_ptr<SavedIndex> saved =
      SavedIndex::open(std::move(source), static_cast<std::uint64_t>(size),
                       std::move(first), described.size,
                       state == IndexState::Valid);
  if (!saved) return IndexState::Unusable;
  index.adopt(std::move(saved));
  if (withChecksums != nullptr) *withChecksums = true;
  return state;
}

IndexState checkedIndexState(Source& packed, const std::string& indexName) {
  ChunkIndex index;
  bool withChecksums = false;
  const IndexState state = loadIndex(packed, indexName, index, &withChecksums);
  // A reader checks each block of a version 2 index as it comes to it; the
  // state of the index is that of all of them.
  const bool taken =
      state == IndexState::Valid || state == IndexState::Unverified;
  if (!taken || !withChecksums) return state;
  if (!index.savedIsWhole()) return IndexState::Unusable;
  // Its last block, which no milestone checks, against the file.
  ReadWindow window(packed);
  bool sound = true;
  if (index.confirmTail(nullptr, window, sound).failed()) {
    return IndexState::Unusable;
  }
  if (sound) return state;
  return state == IndexState::Unverified &&
                 index.savedDropped() == ChunkIndex::Dropped::Disagreed
             ? IndexState::Stale
             : IndexState::Unusable;
}

IndexState indexState(const std::string& name, const IndexChoice& choice) {
  OpenRules rules;
  rules.needSeek = true;
  OpenedFile file = openFile(name, rules);
  if (!file.ok()) return IndexState::Missing;
  const std::string indexName =
      choice.where == IndexChoice::Where::At     ? choice.name
      : choice.where == IndexChoice::Where::None ? std::string()
                                                  : file.indexName();
  std::unique_ptr<Source> source = file.takeSource();
  return checkedIndexState(*source, indexName);
}

IndexState indexState(const std::string& packedPath, int packedFd) {
  OpenRules rules;
  rules.needSeek = true;
  rules.testSignature = false;
  OpenedFile file = openFile(fcntl(packedFd, F_DUPFD_CLOEXEC, 0), rules);
  if (!file.ok()) return IndexState::Missing;
  std::unique_ptr<Source> source = file.takeSource();
  return checkedIndexState(*source, indexPathFor(packedPath));
}

bool isIndexOf(const std::string& packedPath, int packedFd) {
  struct stat packed;
  if (fstat(packedFd, &packed) != 0) return false;
  OpenedFile opened = openFile(indexPathFor(packedPath), indexRules());
  unsigned char preamble[24];
  int error = 0;
  return opened.ok() && opened.source() != nullptr &&
         readExactly(*opened.source(), 0, preamble, sizeof preamble, error) &&
         std::memcmp(preamble, kIndexMagic, sizeof kIndexMagic) == 0 &&
         get64(preamble + 8) == static_cast<std::uint64_t>(packed.st_dev) &&
         get64(preamble + 16) == static_cast<std::uint64_t>(packed.st_ino);
}

}  // namespace kob
