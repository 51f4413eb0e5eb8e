// SPDX-License-Identifier: GPL-2.0-or-later
//
// The cursor of read/chunk_reader.h: one reader's place in a packed file,
// moving from chunk to chunk and decompressing the current one.

#include <algorithm>
#include <cerrno>

#include "format/codec.h"
#include "index/saved_index.h"
#include "read/chunk_check.h"
#include "read/chunk_reader.h"

namespace kob {
namespace {

bool sameSizes(const ChunkHeader& header, const ChunkEntry& entry) {
  return header.dataSize == entry.dataSize &&
         header.payloadSize == entry.payloadSize;
}

}  // namespace

// ---------------------------------------------------------------------------
// Moving from chunk to chunk

ChunkCursor::ChunkCursor(ChunkReader& aReader)
    : reader(aReader), window(*aReader.from, aReader.takeStreamStart()) {}

Failure ChunkCursor::start() {
  relearned = false;
  chunksReadOn = 0;
  return stepTo(kFirstHeaderOffset, 0, 0, 0);
}

Failure ChunkCursor::visit(const ChunkEntry& chunk, std::size_t ahead) {
  relearned = false;
  chunksReadOn = 0;
  ChunkHeader header;
  Failure failure = readHeaderAt(window, chunk.headerOffset, chunk.backLink,
                                 ahead, header);
  if (failure.ok()) {
    ChunkReader::Guard guard(reader);
    if (!reader.index.agrees(chunk.headerOffset, header)) {
      failure = Failure::ofDamage(Damage::HeaderUnlikeSeal);
    }
  }
  if (failure.failed()) {
    current = chunk;
    where = State::AtHeader;
    return here(failure);
  }
  current = chunk;
  where = header.endsData() ? State::AtEnd : State::AtHeader;
  decodedLength = 0;
  return {};
}

Failure ChunkCursor::land(std::uint64_t position) {
  relearned = false;
  return landAt(position);
}

Failure ChunkCursor::advance() {
  relearned = false;
  for (;;) {
    const Failure failure = nextChunk();
    if (failure.failed() || where == State::AtEnd || current.dataSize > 0) {
      return failure;
    }
    // A verified index knows the chunks without data up to the next with
    // data: it lands there without reading them (at the end, for none).
    if (jumpsOverEmpty()) return landAtData(current.position);
  }
}

bool ChunkCursor::jumpsOverEmpty() {
  ChunkReader::Guard guard(reader);
  return reader.index.savedVerified();
}

bool ChunkCursor::landsOnData() {
  ChunkReader::Guard guard(reader);
  return reader.index.savedVerified() && reader.index.frontier().position > 0;
}

Failure ChunkCursor::next() {
  relearned = false;
  return nextChunk();
}

Failure ChunkCursor::nextChunk() {
  if (where == State::AtEnd) return {};
  if (current.dataSize == 0 && where == State::AtHeader && !current.joinsNext) {
    // Nothing to serve, but its payload must expand to nothing.
    const Failure failure = decode(0, false);
    if (failure.failed()) return failure;
  }
  return stepTo(current.nextOffset(), current.header().linkForNext(),
                current.position + current.dataSize, current.number + 1);
}

// Reads the header at `offset`, reached by reading on, and makes it the
// current chunk (or the end).
Failure ChunkCursor::stepTo(std::int64_t offset,
                            std::uint32_t previousPayloadSize,
                            std::uint64_t position, std::uint64_t number) {
  ++chunksReadOn;
  ChunkHeader header;
  ChunkEntry known;
  bool agreed = true;
  Failure failure =
      readOn(offset, previousPayloadSize, position, header, known, agreed);
  if (failure.failed()) {
    if (failure.chunk < 0) {
      failure.chunk = static_cast<std::int64_t>(number);
      failure.fileOffset = offset;
      failure.position = static_cast<std::int64_t>(position);
    }
    return failure;
  }
  if (!agreed) return relearnAndLand(position);
  setChunk(offset, position, number, header);
  current.hasChecksum = known.hasChecksum;
  current.checksum = known.checksum;
  if (header.endsData()) where = State::AtEnd;
  return {};
}

// At the frontier the header is learned; elsewhere it is read, and must
// say what the index learned of that place.
Failure ChunkCursor::readOn(std::int64_t offset,
                            std::uint32_t previousPayloadSize,
                            std::uint64_t position, ChunkHeader& header,
                            ChunkEntry& known, bool& agreed) {
  {
    ChunkReader::Guard guard(reader);
    const ChunkIndex::Frontier& frontier = reader.index.frontier();
    if (offset == frontier.headerOffset &&
        frontier.state != ChunkIndex::Frontier::Ended) {
      return reader.index.learnNext(window, readAhead(), header);
    }
  }
  const Failure failure =
      readHeaderAt(window, offset, previousPayloadSize, readAhead(), header);
  if (failure.error != 0) return failure;
  ChunkReader::Guard guard(reader);
  if (failure.isDamage()) {
    // Damage where the walk found a sound header: the file changed. Where
    // seals know every chunk, damage.
    agreed = reader.index.sealed() ||
             offset >= reader.index.frontier().headerOffset;
    return agreed ? failure : Failure();
  }
  agreed = reader.index.agrees(offset, header, &known);
  if (!agreed && reader.index.sealed()) {
    agreed = true;
    return Failure::ofDamage(Damage::HeaderUnlikeSeal);
  }
  // Read on from a chunk whose place is known, it is where it is.
  if (agreed) reader.index.passedUnderHint(offset, position, header);
  return failure;
}

Failure ChunkCursor::landAt(std::uint64_t position) {
  chunksReadOn = 0;
  // The first chunk is found at once, unless a verified index knows where
  // the first with data is (and there is data: else the first header is
  // where position 0 stands, as after opening).
  if (position == 0 && !landsOnData()) {
    return stepTo(kFirstHeaderOffset, 0, 0, 0);
  }
  return landAtData(position);
}

Failure ChunkCursor::landAtData(std::uint64_t position) {
  chunksReadOn = 0;
  ChunkIndex::Location found;
  ChunkIndex::Frontier frontier;
  Failure failure;
  {
    ChunkReader::Guard guard(reader);
    // The shared walk window may hold bytes from long ago.
    if (reader.walkWindow) reader.walkWindow->discard();
    failure = reader.index.locate(position, walker(), found);
    // A chunk from a saved index's last block: the block is first checked
    // in the file. Unlike the file, the index is gone and the walk finds
    // the chunk; a failed read is met again when the payload is read.
    bool sound = true;
    if (failure.ok() && !found.atEnd &&
        reader.index.confirmTail(&found.chunk, walker(), sound).ok() &&
        !sound) {
      failure = reader.index.locate(position, walker(), found);
    }
    frontier = reader.index.frontier();
  }
  if (failure.failed()) return failure;
  if (found.atEnd) {
    enterEnd(frontier);
    return {};
  }
  const ChunkEntry& entry = found.chunk;
  // The header, its payload and the next header, in one read.
  ReadWindow::Bytes bytes;
  if (const int error =
          window.fetch(entry.headerOffset,
                       kHeaderSize + entry.payloadSize + kHeaderSize, 0, bytes)) {
    current = entry;
    where = State::AtHeader;
    return here(Failure::ofError(error));
  }
  ChunkHeader header;
  if (decodeHeader(bytes.data, bytes.size, entry.backLink, header) !=
          Damage::None ||
      !sameSizes(header, entry)) {
    if (reader.sealed()) {
      current = entry;
      where = State::AtHeader;
      return here(Failure::ofDamage(Damage::HeaderUnlikeSeal));
    }
    return relearnAndLand(position);
  }
  current = entry;
  where = State::AtHeader;
  decodedLength = 0;
  return {};
}

// The file changed under the reader: what the index learned is forgotten,
// and the walk learns the file afresh, once a call.
Failure ChunkCursor::relearnAndLand(std::uint64_t position) {
  if (relearned) {
    Failure failure = here(Failure::ofError(EIO));  // it keeps changing
    return failure;
  }
  relearned = true;
  {
    ChunkReader::Guard guard(reader);
    reader.index.forget();
  }
  return landAt(position);
}

// An unverified index disagreed with the file at the current chunk: it is
// forgotten, and the walk goes up to this chunk, which must stand where
// the index put it.
Failure ChunkCursor::dropHint() {
  ChunkIndex::Frontier frontier;
  Failure failure;
  {
    ChunkReader::Guard guard(reader);
    if (reader.index.hasSaved()) reader.index.forget();
    if (reader.walkWindow) reader.walkWindow->discard();
    failure = reader.index.walkTo(current.headerOffset, walker());
    frontier = reader.index.frontier();
  }
  current.hasChecksum = false;
  if (failure.failed()) return failure;
  if (frontier.headerOffset != current.headerOffset ||
      frontier.position != current.position) {
    return here(Failure::ofError(EIO));  // the index led elsewhere
  }
  current.number = frontier.chunksPassed;
  return {};
}

void ChunkCursor::setChunk(std::int64_t offset, std::uint64_t position,
                           std::uint64_t number, const ChunkHeader& header) {
  current = ChunkEntry{offset,
                       position,
                       number,
                       static_cast<std::uint16_t>(header.dataSize),
                       static_cast<std::uint16_t>(header.payloadSize),
                       static_cast<std::uint16_t>(header.backLink)};
  current.joinsNext = header.joinsNext;
  current.trailerBytes = header.trailerBytes;
  current.sealBytes = header.sealBytes;
  where = State::AtHeader;
  decodedLength = 0;
}

void ChunkCursor::enterEnd(const ChunkIndex::Frontier& frontier) {
  current = ChunkEntry{frontier.headerOffset,
                       frontier.position,
                       frontier.chunksPassed,
                       0,
                       0,
                       static_cast<std::uint16_t>(frontier.previousPayloadSize)};
  where = State::AtEnd;
  decodedLength = 0;
}

Failure ChunkCursor::here(Failure failure) const {
  if (failure.chunk < 0) {
    failure.chunk = static_cast<std::int64_t>(current.number);
    failure.fileOffset = current.headerOffset;
    failure.position = static_cast<std::int64_t>(current.position);
  }
  return failure;
}

// ---------------------------------------------------------------------------
// Decompressing

Failure ChunkCursor::payload(const unsigned char*& bytes) {
  return fetchPayload(bytes);
}

Failure ChunkCursor::confirmFirst() {
  if (where == State::Decoded || !reader.sealed()) return {};
  bool fromSeal = false;
  return takeRecord(fromSeal);
}


// A chunk without its record: met before the seals were taken up (the
// first, as a reader opens), or a chunk of a sealed member that the walk
// learned, whose seal the walk checks first when it has not yet passed it.
Failure ChunkCursor::takeRecord(bool& fromSeal) {
  ChunkEntry record;
  bool found = false;
  Failure failure;
  {
    ChunkReader::Guard guard(reader);
    if (reader.sealed()) {
      found = true;
      if (!reader.index.agrees(current.headerOffset, current.header(), &record)) {
        failure = Failure::ofDamage(Damage::HeaderUnlikeSeal);
      }
    } else {
      failure = reader.index.sealRecord(current, walker(), record, found);
    }
  }
  if (failure.failed()) return failure.chunk >= 0 ? failure : here(failure);
  if (!found || !record.hasChecksum) return {};
  if (record.dataSize != current.dataSize ||
      record.payloadSize != current.payloadSize ||
      record.backLink != current.backLink) {
    return here(Failure::ofDamage(Damage::HeaderUnlikeSeal));
  }
  current.hasChecksum = true;
  current.checksum = record.checksum;
  fromSeal = true;
  return {};
}

Failure ChunkCursor::fetchPayload(const unsigned char*& payload) {
  bool fromSeal = reader.sealed();
  if (!current.hasChecksum && reader.seekable()) {
    const Failure failure = takeRecord(fromSeal);
    if (failure.failed()) return failure;
  }
  if (current.hasChecksum && !fromSeal) {
    // Its checksum comes from a saved index's last block only once the
    // block has been checked in the file.
    bool sound = true;
    Failure failure;
    {
      ChunkReader::Guard guard(reader);
      failure = reader.index.confirmTail(&current, walker(), sound);
    }
    if (failure.failed()) return here(failure);
    if (!sound) {
      failure = dropHint();
      if (failure.failed()) return failure;
      return fetchPayload(payload);
    }
  }
  // Read whole and checked whenever it is read, even when only its start
  // is decoded; the next header comes in the same read.
  ChunkClaim claim;
  claim.offset = current.headerOffset;
  claim.hasChecksum = current.hasChecksum;
  claim.checksum = current.checksum;
  claim.ahead = readAhead();
  const Failure failure =
      readChunkPayload(window, claim, current.header(), payload);
  if (failure.ok() && reader.index.checksStream()) {
    // A stream's payload, compared with its seal when the trailer comes.
    reader.index.notePayload(current.headerOffset,
                             payloadChecksum(payload, current.payloadSize));
  }
  if (failure.damage != Damage::ChecksumMismatch) {
    return failure.failed() ? here(failure) : failure;
  }
  // A seal is the file's own: unlike it is damage, unless the file was
  // rewritten since it was opened.
  if (fromSeal) {
    return here(reader.changedSinceIndexed()
                    ? Failure::ofError(ESTALE)
                    : Failure::ofDamage(Damage::PayloadUnlikeSeal));
  }
  // Rewritten since the index was read.
  if (reader.taken == IndexState::Valid && reader.changedSinceIndexed()) {
    return here(Failure::ofError(ESTALE));
  }
  // Changed where no time shows: believed only from a verified index that
  // is whole, every block and its last against the file, as a scan from the
  // start would find it.
  bool whole = false;
  if (reader.taken == IndexState::Valid) {
    ChunkReader::Guard guard(reader);
    whole = reader.index.savedIsWhole() &&
            reader.index.confirmTail(nullptr, walker(), whole).ok() && whole;
  }
  if (whole) return here(Failure::ofDamage(Damage::ChecksumMismatch));
  // A hint, or a broken index, that disagrees with the file: dropped, and
  // this chunk read as a walk finds it.
  const Failure dropped = dropHint();
  if (dropped.failed()) return dropped;
  return fetchPayload(payload);
}

Failure ChunkCursor::decode(std::uint32_t end, bool partial) {
  if (where == State::Decoded && decodedLength >= end) return {};
  const unsigned char* payload = nullptr;
  Failure failure = fetchPayload(payload);
  if (failure.failed()) return failure;
  if (bufferCapacity < current.dataSize || !buffer) {
    bufferCapacity = std::max<std::uint32_t>(current.dataSize, 1);
    buffer = std::make_unique_for_overwrite<unsigned char[]>(bufferCapacity);
  }
  const Damage damage =
      expandChunk(payload, current.header(), end,
                  partial && where == State::AtHeader, buffer.get(),
                  decodedLength);
  if (damage != Damage::None) return here(Failure::ofDamage(damage));
  where = State::Decoded;
  return {};
}

Failure ChunkCursor::decodeInto(unsigned char* out) {
  const unsigned char* payload = nullptr;
  Failure failure = fetchPayload(payload);
  if (failure.failed()) return failure;
  const Damage damage =
      expandPayload(payload, current.payloadSize, out, current.dataSize);
  if (damage != Damage::None) return here(Failure::ofDamage(damage));
  where = State::Decoded;
  decodedLength = 0;
  return {};
}

}  // namespace kob
