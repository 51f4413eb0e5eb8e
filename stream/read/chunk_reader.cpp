// SPDX-License-Identifier: GPL-2.0-or-later
#include "read/chunk_reader.h"

#include <cerrno>
#include <cstring>

#include "index/saved_index.h"
#include "index/seal_set.h"

namespace kob {
ChunkReader::ChunkReader(std::unique_ptr<Source> source,
                         std::vector<unsigned char> consumed, bool aShared)
    : from(std::move(source)),
      streamStart(std::move(consumed)),
      shared(aShared && from->seekable()),
      index(from->seekable()) {
  if (shared) walkWindow = std::make_unique<ReadWindow>(*from);
  if (from->seekable()) indexedAs = from->identity();
}

std::vector<unsigned char> ChunkReader::takeStreamStart() {
  // A shared reader reads a file that can seek: it has no stream's bytes.
  return shared ? std::vector<unsigned char>() : std::move(streamStart);
}

IndexState ChunkReader::takeUpIndex(const std::string& indexName,
                                    std::uint32_t flags, bool* withChecksums,
                                    const S3Options& s3) {
  if (withChecksums != nullptr) *withChecksums = false;
  if (!from->seekable()) return IndexState::Missing;
  Guard guard(*this);
  indexedAs = from->identity();
  // A sealed file is its own index: its seals are read from its end, and
  // an index beside it is not read.
  if ((flags & kSealedFlag) != 0) {
    unsigned char signature[sizeof kSignature];
    std::memcpy(signature, kSignature, sizeof signature);
    encodeUInt2(signature + kFlagsAt, flags);
    std::unique_ptr<SealSet> seals = SealSet::fromTail(*from, signature);
    if (seals && seals->coversFile()) {
      index.adopt(std::move(seals));
      sealedFile = true;
      if (withChecksums != nullptr) *withChecksums = true;
    }
    return IndexState::Missing;
  }
  if (indexName.empty() || flags != 0) return IndexState::Missing;
  taken = loadIndex(*from, indexName, index, withChecksums, s3);
  return taken;
}



IndexState ChunkReader::indexState() {
  Guard guard(*this);
  switch (index.savedDropped()) {
    case ChunkIndex::Dropped::Disagreed:
      return IndexState::Stale;
    case ChunkIndex::Dropped::Broken:
      return IndexState::Unusable;
    case ChunkIndex::Dropped::No:
      break;
  }
  return taken;
}

// A file elsewhere fails a read when the object changed; a payload that no
// longer matches means the same.
bool ChunkReader::changedSinceIndexed() const {
  return !from->identity().same(indexedAs);
}

Failure ChunkReader::dataSize(std::uint64_t& size) {
  if (!from->seekable()) return Failure::ofError(ESPIPE);
  Guard guard(*this);
  if (!walkWindow) walkWindow = std::make_unique<ReadWindow>(*from);
  walkWindow->discard();
  ChunkIndex::Location found;
  const Failure failure = index.locate(UINT64_MAX, *walkWindow, found);
  size = index.frontier().position;
  return failure;
}

bool ChunkReader::knownAt(std::int64_t offset, ChunkEntry& chunk) {
  Guard guard(*this);
  return index.knownAt(offset, chunk);
}

ChunkIndex::Frontier ChunkReader::frontier() {
  Guard guard(*this);
  return index.frontier();
}

std::size_t ChunkReader::heldBytes() {
  Guard guard(*this);
  return index.heldBytes() + (walkWindow ? walkWindow->heldBytes() : 0);
}

}  // namespace kob
