// SPDX-License-Identifier: GPL-2.0-or-later
//
// Salvage: every intact chunk of a damaged packed file, with each lost
// chunk's data as zeros so that the data after it keeps its position.
// Every chunk is read as every reader reads it (read/chunk_check.h); only
// what is done with the damage differs.
//
// By a saved index that matches the file, every chunk's place and size is
// known, and each is taken or lost on its own. By one that is only a hint,
// the chunks are placed by it while the file agrees, and read as without
// an index from the first disagreement on. Without, the chunks are read in
// file order: past a header that cannot be read, the bytes after it are
// searched for where chunks start again (salvage/search.h), the chunks
// whose headers still read are counted back from there, and the stretch
// before them is one loss, taken to be chunks of the writer's chunk size
// (the largest data size met), as the writer makes every chunk but the
// last.

#include <algorithm>
#include <cerrno>
#include <memory>

#include "common/big_endian.h"
#include "format/codec.h"
#include "format/format.h"
#include "read/chunk_check.h"
#include "salvage/output.h"
#include "salvage/salvage.h"
#include "salvage/search.h"
#include "source/read_window.h"

namespace kob {
namespace {

// The data size of a chunk whose payload is lost, followed by the chunk
// `next`, in a file whose largest chunk taken so far holds `largest` bytes
// (0: none yet). The header's own size is only a claim: the writer makes
// every chunk but the last at its chunk size, so a chunk with data after
// it is a chunk of that size, and the claim is believed only where it
// agrees with it. Returns whether `size` is known rather than inferred.
bool lostSize(const ChunkHeader& header, const ChunkHeader& next,
              std::uint32_t largest, std::uint32_t& size) {
  // A chunk without data is written as the end code alone:
  // there is nothing to lose.
  if (header.dataSize == 0 && header.payloadSize <= kEmptyPayloadSize) {
    size = 0;
    return true;
  }
  if (next.isEndMarker()) {
    // Nothing after it moves with its size; a size beyond any chunk's met
    // is the header's damage.
    const bool believable = largest == 0 || header.dataSize <= largest;
    size = believable ? header.dataSize : largest;
    return believable;
  }
  if (largest > 0) {
    size = largest;
    return header.dataSize == largest;
  }
  // No chunk taken yet: the next one is no larger than a chunk of the
  // writer's chunk size, and is one unless it is the last.
  size = std::max(header.dataSize, next.dataSize);
  return header.dataSize == next.dataSize;
}

bool sameSizes(const ChunkHeader& header, const ChunkEntry& entry) {
  return header.dataSize == entry.dataSize &&
         header.payloadSize == entry.payloadSize;
}

class Salvage {
 public:
  Salvage(std::unique_ptr<Source> aSource, std::int64_t aFileSize,
          std::FILE* output, const std::function<void(const Loss&)>& onLoss)
      : source(std::move(aSource)),
        window(*source),
        fileSize(aFileSize),
        data(std::make_unique_for_overwrite<unsigned char[]>(kMaxFieldValue)),
        out(output, onLoss),
        search(window, fileSize, data.get()) {}

  // Where reading goes on: the header at `offset`, the chunk numbered
  // `number`, following a payload of `previous` bytes when `linkKnown`.
  struct Place {
    std::int64_t offset = kFirstHeaderOffset;
    bool linkKnown = true;
    std::uint32_t previous = 0;
    std::uint64_t number = 0;
  };

  // Reads chunk after chunk from `from` to the end marker.
  void walk(Place from);
  // Places the chunks by `index`: `verified` one that describes the file,
  // else a hint given up at its first disagreement with the file. Returns
  // whether it placed every one.
  bool byIndex(SavedIndex& index, bool verified, bool seal);

  RecoveryReport& report() { return out.report(); }

 private:
  // Writes the chunk whose payload of `payloadSize` expanded to `size`
  // bytes in `data`.
  void take(std::uint32_t size, std::uint32_t payloadSize);
  // Whether the header after the chunk `header` at `offset` chains to it;
  // that header in `next`.
  bool nextChains(std::int64_t offset, const ChunkHeader& header,
                  ChunkHeader& next);
  // Past the header at `place` that cannot be read (`why`): where chunks
  // start again, the stretch before lost. False when nothing after it
  // can be read.
  bool resume(Place& place, const Failure& why);
  // Whether the stretch from `place` to the chunk at `next` is one chunk
  // whose header alone is damaged: the header at `next` links back to a
  // payload that fills it, and that payload expands whole. It is then taken,
  // the header's damage (`why`) told, and `place` moved on to `next`.
  bool takeWhole(Place& place, std::int64_t next, const Failure& why);
  // How many chunks of the writer's size a stretch of `bytes` whose headers
  // are gone is taken to hold, chunks starting again at `found`.
  std::uint64_t chunksIn(std::int64_t bytes, const ChunkSearch::Found& found,
                         std::uint32_t writerSize) const;
  void fail(const Failure& failure) { out.report().failure = failure; }
  // Tells of damage (`why`) that lost nothing, met at the chunk numbered
  // `chunk` whose header is at `offset`.
  void tellWithoutLoss(Loss::Kind kind, std::uint64_t chunk, std::int64_t offset,
              const Failure& why);
  // Whether the `gap` bytes before a chunk whose back-link is `backLink`
  // could hold no chunk with data.
  static bool holdsNoChunk(std::int64_t gap, std::uint32_t backLink);

  std::unique_ptr<Source> source;
  ReadWindow window;
  std::int64_t fileSize;
  std::unique_ptr<unsigned char[]> data;
  SalvageOutput out;
  ChunkSearch search;
  // The writer's chunk size, as far as the chunks taken tell, and the
  // bytes their headers and payloads take.
  std::uint32_t largest = 0;
  std::uint64_t recordBytes = 0;
  std::uint64_t records = 0;
};

void Salvage::tellWithoutLoss(Loss::Kind kind, std::uint64_t chunk,
                     std::int64_t offset, const Failure& why) {
  Loss damage;
  damage.kind = kind;
  damage.chunk = chunk;
  damage.fileOffset = offset;
  damage.why = why;
  out.tellWithoutLoss(damage);
}

bool Salvage::holdsNoChunk(std::int64_t gap, std::uint32_t backLink) {
  // Before the first chunk of a member (a back-link of 0) stand the end
  // marker of the member before and this one's signature, whatever became
  // of them.
  const std::int64_t seam =
      backLink == 0 ? static_cast<std::int64_t>(kHeaderSize + kMemberGap) : 0;
  return gap - seam <
         static_cast<std::int64_t>(kHeaderSize + kSmallestDataPayload);
}

void Salvage::take(std::uint32_t size, std::uint32_t payloadSize) {
  out.put(data.get(), size);
  if (size == 0) return;
  largest = std::max(largest, size);
  recordBytes += kHeaderSize + payloadSize;
  ++records;
}

bool Salvage::nextChains(std::int64_t offset, const ChunkHeader& header,
                         ChunkHeader& next) {
  ReadWindow::Bytes bytes;
  return window.fetch(offset + static_cast<std::int64_t>(kHeaderSize +
                                                         header.payloadSize),
                      kHeaderSize, 0, bytes) == 0 &&
         decodeHeader(bytes.data, bytes.size, header.payloadSize, next) ==
             Damage::None;
}

void Salvage::walk(Place place) {
  while (!out.failed()) {
    ChunkClaim claim;
    claim.offset = place.offset;
    claim.linkKnown = place.linkKnown;
    claim.previousPayloadSize = place.previous;
    claim.ahead = kReadAhead;
    CheckedChunk chunk;
    const Failure why = fetchChunk(window, claim, data.get(), chunk);
    if (why.error != 0) return fail(why);
    const ChunkHeader& header = chunk.header;
    if (chunk.headerSound && header.endsData()) return;
    if (chunk.headerSound && header.joinsNext) {
      // Another member follows: its data goes on from here.
      place.offset += static_cast<std::int64_t>(header.span());
      place.linkKnown = true;
      place.previous = header.linkForNext();
      ++place.number;
      continue;
    }
    ChunkHeader following;
    if (chunk.headerSound &&
        (why.ok() || nextChains(place.offset, header, following))) {
      // A header that chains: its chunk is taken, or lost. A payload that
      // expands whole to another size than its header says is the header's
      // damage: it is taken at the size it holds.
      std::size_t holds = 0;
      if (why.ok()) {
        take(header.dataSize, header.payloadSize);
      } else if (chunk.payload != nullptr &&
                 expandAny(chunk.payload, header.payloadSize, data.get(),
                           kMaxFieldValue, holds)) {
        tellWithoutLoss(Loss::Kind::HeaderMended, place.number, place.offset, why);
        take(static_cast<std::uint32_t>(holds), header.payloadSize);
      } else {
        Loss loss;
        std::uint32_t size = 0;
        loss.lengthKnown = lostSize(header, following, largest, size);
        if (size > 0 || !loss.lengthKnown) {
          loss.chunk = place.number;
          loss.fileOffset = place.offset;
          loss.length = size;
          loss.why = why;
          out.lose(loss);
        }
      }
      place.offset += static_cast<std::int64_t>(kHeaderSize + header.payloadSize);
      place.linkKnown = true;
      place.previous = header.payloadSize;
      ++place.number;
      continue;
    }
    // A header that cannot be trusted, or whose payload size leads nowhere.
    if (!resume(place, why)) return;
  }
}

bool Salvage::resume(Place& place, const Failure& why) {
  ChunkSearch::Found found;
  Failure failure = search.next(place.offset + 1, largest, found);
  if (failure.failed()) {
    fail(failure);
    return false;
  }
  if (found.offset < 0) {
    // An end marker with bytes after it that hold no chunk ended the data;
    // anything else leaves the rest of the data gone, at a size nobody can
    // tell.
    if (why.damage == Damage::DataAfterEnd) return false;
    Loss loss;
    loss.chunk = place.number;
    loss.fileOffset = place.offset;
    loss.lengthKnown = false;
    loss.toTheEnd = true;
    loss.why = why;
    out.lose(loss);
    return false;
  }
  // The chunks whose headers still read are walked to again, and lost one
  // by one at their own sizes; the stretch before them is one loss.
  std::int64_t chained = found.offset;
  failure = search.earliestChained(place.offset, found.offset, chained);
  if (failure.failed()) {
    fail(failure);
    return false;
  }
  if (takeWhole(place, chained, why)) return !out.failed();
  ReadWindow::Bytes after;
  if (const int error = window.fetch(chained, kHeaderSize, 0, after)) {
    fail(Failure::ofError(error));
    return false;
  }
  if (after.size == kHeaderSize &&
      holdsNoChunk(chained - place.offset, decodeUInt2(after.data + 4))) {
    // Damage between two chunks that hides none: a member's seam, or
    // bytes too few for one.
    tellWithoutLoss(Loss::Kind::Passed, place.number, place.offset, why);
    place.offset = chained;
    place.linkKnown = false;
    return !out.failed();
  }
  const std::uint32_t writerSize =
      largest > 0 ? largest : found.last ? 0 : found.header.dataSize;
  Loss loss;
  loss.chunk = place.number;
  loss.fileOffset = place.offset;
  loss.chunks = chunksIn(chained - place.offset, found, writerSize);
  loss.length = loss.chunks * writerSize;
  loss.lengthKnown = false;
  loss.why = why;
  out.lose(loss);
  place.offset = chained;
  place.linkKnown = false;
  place.previous = 0;
  place.number += loss.chunks;
  return !out.failed();
}

bool Salvage::takeWhole(Place& place, std::int64_t next, const Failure& why) {
  const std::int64_t payloadAt =
      place.offset + static_cast<std::int64_t>(kHeaderSize);
  const std::int64_t length = next - payloadAt;
  if (length < static_cast<std::int64_t>(kEmptyPayloadSize) ||
      length > static_cast<std::int64_t>(kMaxFieldValue)) {
    return false;
  }
  const auto payloadSize = static_cast<std::uint32_t>(length);
  ReadWindow::Bytes bytes;
  std::size_t holds = 0;
  if (window.fetch(payloadAt, payloadSize + kHeaderSize, 0, bytes) != 0 ||
      bytes.size < payloadSize + kHeaderSize ||
      decodeUInt2(bytes.data + payloadSize + 4) != payloadSize ||
      !expandAny(bytes.data, payloadSize, data.get(), kMaxFieldValue, holds)) {
    return false;
  }
  tellWithoutLoss(Loss::Kind::HeaderMended, place.number, place.offset, why);
  take(static_cast<std::uint32_t>(holds), payloadSize);
  place.offset = next;
  place.linkKnown = true;
  place.previous = payloadSize;
  ++place.number;
  return true;
}

std::uint64_t Salvage::chunksIn(std::int64_t bytes,
                                const ChunkSearch::Found& found,
                                std::uint32_t writerSize) const {
  const auto length = static_cast<std::uint64_t>(bytes);
  // A single chunk of the writer's size at its largest: one header was hit,
  // the most common damage of all.
  const std::uint64_t oneChunk =
      kHeaderSize + std::min<std::uint64_t>(kMaxFieldValue,
                                            worstCaseCompressedSize(writerSize));
  if (writerSize == 0 || length <= oneChunk) return 1;
  // Else as many as the chunks met take on average would fill.
  const std::uint64_t average =
      records > 0 ? recordBytes / records : kHeaderSize + found.header.payloadSize;
  return std::max<std::uint64_t>(1, (length + average / 2) / average);
}

bool Salvage::byIndex(SavedIndex& index, bool verified, bool seal) {
  // Where the walk goes on when the index is given up: after the last chunk
  // it placed.
  Place after;
  while (!out.failed() && out.written() < index.dataSize()) {
    ChunkEntry entry;
    if (!index.find(out.written(), entry)) {
      walk(after);  // the index is wrong about the file
      return false;
    }
    ChunkClaim claim;
    claim.offset = entry.headerOffset;
    claim.previousPayloadSize = entry.backLink;
    claim.hasChecksum = entry.hasChecksum;
    claim.checksum = entry.checksum;
    claim.ahead = kReadAhead;
    CheckedChunk chunk;
    Failure why = fetchChunk(window, claim, data.get(), chunk);
    if (why.error != 0) {
      fail(why);
      return false;
    }
    const bool agrees = chunk.headerSound && sameSizes(chunk.header, entry);
    if (!verified && (!agrees || why.failed())) {
      // A hint and the file disagree: the file is read as it is.
      walk(after);
      return false;
    }
    // What is wrong with the header, should its payload prove whole.
    const Failure headerDamage =
        why.failed() ? why : Failure::ofDamage(Damage::WrongExpandedSize);
    if (!agrees && why.ok()) why = Failure::ofDamage(Damage::CutShort);
    if (!agrees && entry.hasChecksum) {
      // The header alone may be damaged: a payload where the index places
      // it that is what it says is the chunk.
      const unsigned char* payload = nullptr;
      why = readChunkPayload(window, claim, entry.header(), payload);
      if (why.error != 0) {
        fail(why);
        return false;
      }
      if (why.ok()) {
        why = Failure::ofDamage(
            expandPayload(payload, entry.payloadSize, data.get(), entry.dataSize));
      }
      if (why.ok()) {
        tellWithoutLoss(Loss::Kind::HeaderMended, entry.number, entry.headerOffset,
               headerDamage);
      }
    }
    if (why.ok()) {
      take(entry.dataSize, entry.payloadSize);
    } else {
      // Checked against the file's own seal, not an index beside it.
      if (seal && why.damage == Damage::ChecksumMismatch) {
        why.damage = Damage::PayloadUnlikeSeal;
      }
      Loss loss;
      loss.chunk = entry.number;
      loss.fileOffset = entry.headerOffset;
      loss.length = entry.dataSize;
      loss.why = why;
      out.lose(loss);
    }
    after.offset = entry.headerOffset +
                   static_cast<std::int64_t>(kHeaderSize + entry.payloadSize);
    after.previous = entry.payloadSize;
    after.number = entry.number + 1;
  }
  return true;
}

}  // namespace

RecoveryReport salvagePacked(std::unique_ptr<Source> source, std::int64_t size,
                             SalvageIndex index, std::FILE* output,
                             const std::function<void(const Loss&)>& onLoss) {
  Salvage salvage(std::move(source), size, output, onLoss);
  bool placed = false;
  if (index.saved) {
    placed = salvage.byIndex(*index.saved, index.state == IndexState::Valid,
                             index.seal);
  } else {
    salvage.walk({});
  }
  RecoveryReport report = salvage.report();
  report.usedIndex = placed;
  if (report.failure.ok() && std::fflush(output) != 0) {
    report.failure = Failure::ofError(errno, Failure::Action::Writing);
  }
  return report;
}

}  // namespace kob
