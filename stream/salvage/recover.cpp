// SPDX-License-Identifier: GPL-2.0-or-later
//
// Salvage: every intact chunk of a damaged packed file, with each lost
// chunk's data as zeros so that the data after it keeps its position.
//
// With a saved index that matches the file, every chunk's place and size
// is known, and each is taken or lost on its own. Without one, the chunks
// are read in file order; past a header that cannot be read, the file is
// searched byte by byte for the next header that could be a chunk's (its
// payload expands to its stated size, and the header after it chains to
// it or ends the file), and the chunks lost between are counted back from
// there along the back-links; what cannot be counted is taken to be
// chunks of the writer's chunk size (the largest data size met), as the
// writer makes every chunk but the last.

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include "format/codec.h"
#include "format/format.h"
#include "index/saved_index.h"
#include "kob_recover.h"
#include "source/read_window.h"
#include "source/source.h"

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
  const bool last = next.isEndMarker();
  if (last) {
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

class Salvage {
 public:
  Salvage(std::unique_ptr<Source> aSource, std::int64_t aFileSize,
          std::FILE* anOutput, const std::function<void(const Loss&)>& anOnLoss)
      : source(std::move(aSource)),
        window(*source),
        fileSize(aFileSize),
        output(anOutput),
        onLoss(anOnLoss),
        data(kMaxFieldValue) {}

  RecoveryReport byIndex(SavedIndex& index);
  RecoveryReport byWalking();

 private:
  // Reads and checks the chunk whose header is at `offset` (following a
  // payload of `previous` bytes; `checkLink` false when that is not known)
  // into `data`; the failure that makes it lost.
  Failure take(std::int64_t offset, std::uint32_t previous, bool checkLink,
               ChunkHeader& header, const std::uint32_t* checksum = nullptr);
  // Whether a chunk could start at `offset`: its header, its payload
  // expanding to its size, and the header after it chaining to it.
  bool couldStart(std::int64_t offset, std::uint32_t largest);
  // Whether the header after the chunk at `offset` chains to it; that
  // header in `next`.
  bool nextChains(std::int64_t offset, const ChunkHeader& header,
                  ChunkHeader& next);
  // Whether the payload of the chunk at `offset` expands whole, to some
  // size (`holds`) other than its header says.
  bool expandsWhole(std::int64_t offset, const ChunkHeader& header,
                    std::uint32_t& holds);
  bool put(const unsigned char* bytes, std::size_t count);
  bool zeros(std::uint64_t count);
  void lose(std::uint64_t number, std::int64_t offset, std::uint64_t length,
            bool known, const Failure& why);

  std::unique_ptr<Source> source;
  ReadWindow window;
  std::int64_t fileSize;
  std::FILE* output;
  const std::function<void(const Loss&)>& onLoss;
  std::vector<unsigned char> data;
  RecoveryReport report;
};

Failure Salvage::take(std::int64_t offset, std::uint32_t previous,
                      bool checkLink, ChunkHeader& header,
                      const std::uint32_t* checksum) {
  ReadWindow::Bytes bytes;
  if (const int error = window.fetch(offset, kHeaderSize, kReadAhead, bytes)) {
    return Failure::ofError(error);
  }
  Damage damage = decodeHeader(bytes.data, bytes.size, previous, header);
  if (!checkLink && damage == Damage::BrokenBackLink) damage = Damage::None;
  if (damage != Damage::None) return Failure::ofDamage(damage);
  if (header.isEndMarker()) return {};
  if (const int error =
          window.fetch(offset + static_cast<std::int64_t>(kHeaderSize),
                       header.payloadSize, kReadAhead, bytes)) {
    return Failure::ofError(error);
  }
  if (bytes.size < header.payloadSize) return Failure::ofDamage(Damage::CutShort);
  if (checksum != nullptr &&
      payloadChecksum(bytes.data, header.payloadSize) != *checksum) {
    return Failure::ofDamage(Damage::ChecksumMismatch);
  }
  return Failure::ofDamage(expandPayload(bytes.data, header.payloadSize,
                                         data.data(), header.dataSize));
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

bool Salvage::expandsWhole(std::int64_t offset, const ChunkHeader& header,
                           std::uint32_t& holds) {
  ReadWindow::Bytes bytes;
  if (window.fetch(offset + static_cast<std::int64_t>(kHeaderSize),
                   header.payloadSize, 0, bytes) != 0 ||
      bytes.size < header.payloadSize) {
    return false;
  }
  std::size_t produced = 0;
  if (!expandAny(bytes.data, header.payloadSize, data.data(), data.size(),
                 produced)) {
    return false;
  }
  holds = static_cast<std::uint32_t>(produced);
  return true;
}

bool Salvage::couldStart(std::int64_t offset, std::uint32_t largest) {
  ReadWindow::Bytes bytes;
  if (window.fetch(offset, kHeaderSize, kReadAhead, bytes) != 0 ||
      bytes.size < kHeaderSize) {
    return false;
  }
  ChunkHeader header;
  // The back-link leads into the damage: it is not checked.
  decodeHeader(bytes.data, kHeaderSize, decodeUInt2(bytes.data + 4), header);
  if (header.isEndMarker() || header.dataSize == 0 ||
      header.dataSize > std::max<std::uint32_t>(largest, 1) ||
      header.payloadSize < kSmallestDataPayload ||
      offset + static_cast<std::int64_t>(2 * kHeaderSize + header.payloadSize) >
          fileSize + 2) {
    return false;
  }
  const std::int64_t next =
      offset + static_cast<std::int64_t>(kHeaderSize + header.payloadSize);
  ChunkHeader after;
  if (window.fetch(next, kHeaderSize, 0, bytes) != 0 ||
      decodeHeader(bytes.data, bytes.size, header.payloadSize, after) !=
          Damage::None) {
    return false;
  }
  ChunkHeader again;
  return take(offset, 0, false, again).ok();
}

bool Salvage::put(const unsigned char* bytes, std::size_t count) {
  if (count > 0 && std::fwrite(bytes, 1, count, output) != count) {
    report.failure = Failure::ofError(errno != 0 ? errno : EIO,
                                      Failure::Action::Writing);
    return false;
  }
  report.dataWritten += count;
  return true;
}

bool Salvage::zeros(std::uint64_t count) {
  std::vector<unsigned char> nothing(std::min<std::uint64_t>(count, 1 << 16));
  while (count > 0) {
    const auto n = static_cast<std::size_t>(
        std::min<std::uint64_t>(count, nothing.size()));
    if (!put(nothing.data(), n)) return false;
    count -= n;
  }
  return true;
}

void Salvage::lose(std::uint64_t number, std::int64_t offset,
                   std::uint64_t length, bool known, const Failure& why) {
  Loss loss;
  loss.chunk = number;
  loss.fileOffset = offset;
  loss.position = report.dataWritten;
  loss.length = length;
  loss.lengthKnown = known;
  loss.why = why;
  ++report.losses;
  report.bytesLost += length;
  if (onLoss) onLoss(loss);
}

RecoveryReport Salvage::byIndex(SavedIndex& index) {
  std::uint64_t number = 0;
  std::uint64_t position = 0;
  while (position < index.dataSize() && report.failure.ok()) {
    ChunkEntry chunk;
    if (!index.find(position, chunk)) break;
    // Chunks without data before it hold nothing to lose.
    number = chunk.number;
    ChunkHeader header;
    const Failure why = take(chunk.headerOffset, chunk.backLink, true, header,
                             chunk.hasChecksum ? &chunk.checksum : nullptr);
    const bool same = header.dataSize == chunk.dataSize &&
                      header.payloadSize == chunk.payloadSize;
    if (why.ok() && same) {
      put(data.data(), chunk.dataSize);
    } else {
      lose(number, chunk.headerOffset, chunk.dataSize, true,
           why.ok() ? Failure::ofDamage(Damage::CutShort) : why);
      zeros(chunk.dataSize);
    }
    position += chunk.dataSize;
  }
  return report;
}

RecoveryReport Salvage::byWalking() {
  std::int64_t offset = kFirstHeaderOffset;
  std::uint32_t previous = 0;
  std::uint64_t number = 0;
  std::uint32_t largest = 0;
  while (report.failure.ok()) {
    ChunkHeader header;
    const Failure why = take(offset, previous, true, header);
    if (why.error != 0) {
      report.failure = why;
      break;
    }
    if (why.ok() && header.isEndMarker()) break;
    const bool payloadFailed = why.damage == Damage::PayloadRejected ||
                               why.damage == Damage::WrongExpandedSize;
    // A payload that fails behind a header whose next header does not
    // chain to it: the header's payload size is what is damaged.
    ChunkHeader following;
    if (why.ok() || (payloadFailed && nextChains(offset, header, following))) {
      // A header that chains: its chunk is taken, or lost; a size the
      // payload does not expand to may be the header's damage, so the
      // payload is asked what it holds.
      std::uint32_t holds = header.dataSize;
      const bool taken = why.ok() || expandsWhole(offset, header, holds);
      if (taken) {
        put(data.data(), holds);
        largest = std::max(largest, holds);
      } else {
        std::uint32_t size = 0;
        const bool known = lostSize(header, following, largest, size);
        if (size > 0 || !known) {
          lose(number, offset, size, known, why);
          zeros(size);
        }
      }
      offset += static_cast<std::int64_t>(kHeaderSize + header.payloadSize);
      previous = header.payloadSize;
      ++number;
      continue;
    }
    // A header that cannot be trusted: find where chunks start again.
    std::int64_t next = offset + 1;
    while (next + static_cast<std::int64_t>(kHeaderSize) <= fileSize &&
           !couldStart(next, largest)) {
      ++next;
    }
    if (next + static_cast<std::int64_t>(kHeaderSize) > fileSize) {
      // Nothing after it can be read: the rest of the data is gone, at a
      // size nobody can tell.
      lose(number, offset, 0, false, why);
      break;
    }
    // Count the chunks lost back from there along the back-links: those
    // whose headers still read give their sizes; the rest are taken to be
    // chunks of the writer's chunk size.
    std::vector<ChunkHeader> counted;
    std::int64_t at = next;
    ReadWindow::Bytes bytes;
    while (window.fetch(at, kHeaderSize, 0, bytes) == 0 &&
           bytes.size == kHeaderSize) {
      const std::int64_t before =
          at - static_cast<std::int64_t>(kHeaderSize + decodeUInt2(bytes.data + 4));
      if (before <= offset) break;
      ChunkHeader earlier;
      if (window.fetch(before, kHeaderSize, 0, bytes) != 0 ||
          decodeHeader(bytes.data, bytes.size, decodeUInt2(bytes.data + 4),
                       earlier) != Damage::None ||
          before + static_cast<std::int64_t>(kHeaderSize + earlier.payloadSize) !=
              at) {
        break;
      }
      counted.push_back(earlier);
      at = before;
    }
    const std::int64_t unknown = at - offset;
    const std::uint64_t guessed =
        unknown <= static_cast<std::int64_t>(kHeaderSize + kMaxFieldValue)
            ? 1
            : static_cast<std::uint64_t>(unknown) /
                  (kHeaderSize + std::max<std::uint32_t>(previous, 1));
    for (std::uint64_t i = 0; i < guessed; ++i) {
      lose(number++, i == 0 ? offset : -1, largest, false, why);
      zeros(largest);
    }
    for (auto chunk = counted.rbegin(); chunk != counted.rend(); ++chunk) {
      lose(number++, -1, chunk->dataSize, true, why);
      zeros(chunk->dataSize);
    }
    offset = next;
    previous = 0;
    ChunkHeader resumed;
    ReadWindow::Bytes head;
    window.fetch(next, kHeaderSize, 0, head);
    decodeHeader(head.data, head.size, decodeUInt2(head.data + 4), resumed);
    previous = resumed.backLink;  // the walk goes on from here, chained
  }
  return report;
}

// Salvages the packed file `source` of `size` bytes into `output`: by the
// saved index `index` when there is one that can be trusted, else by
// walking; the output flushed.
RecoveryReport salvageInto(std::unique_ptr<Source> source, std::int64_t size,
                           std::unique_ptr<SavedIndex> index, std::FILE* output,
                           const std::function<void(const Loss&)>& onLoss) {
  Salvage salvage(std::move(source), size, output, onLoss);
  RecoveryReport report = index ? salvage.byIndex(*index) : salvage.byWalking();
  report.usedIndex = index != nullptr;
  if (report.failure.ok() && std::fflush(output) != 0) {
    report.failure = Failure::ofError(errno, Failure::Action::Writing);
  }
  return report;
}

}  // namespace

RecoveryReport recoverPacked(OpenedFile&& file, std::FILE* output,
                             const std::function<void(const Loss&)>& onLoss,
                             const IndexChoice& index) {
  RecoveryReport report;
  if (!file.ok()) {
    report.failure = file.failure();
    return report;
  }
  if (!file.seekable()) {
    report.failure = Failure::ofError(ESPIPE);
    return report;
  }
  if (!file.packed()) {
    report.failure = Failure::ofDamage(Damage::NotPacked);
    return report;
  }
  const std::string indexName = file.indexName(index);
  const std::int64_t size = file.size();
  std::unique_ptr<Source> source = file.takeSource();
  ChunkIndex known;
  bool withChecksums = false;
  const bool indexed =
      loadIndex(*source, indexName, known, &withChecksums) ==
          IndexState::Valid &&
      withChecksums;
  return salvageInto(std::move(source), size,
                     indexed ? known.releaseSaved() : nullptr, output, onLoss);
}

RecoveryReport recoverPacked(const std::string& name, std::FILE* output,
                             const std::function<void(const Loss&)>& onLoss,
                             const IndexChoice& index) {
  OpenRules rules;
  rules.needSeek = true;
  return recoverPacked(openFile(name, rules), output, onLoss, index);
}

RecoveryReport recoverPacked(int fd, const char* indexPath, std::FILE* output,
                             const std::function<void(const Loss&)>& onLoss) {
  OpenRules rules;
  rules.needSeek = true;
  return recoverPacked(openFile(fcntl(fd, F_DUPFD_CLOEXEC, 0), rules), output,
                       onLoss,
                       indexPath != nullptr ? IndexChoice::at(indexPath)
                                            : IndexChoice::none());
}

RecoveryReport recoverUrl(const char* url, std::FILE* output,
                          const std::function<void(const Loss&)>& onLoss) {
  return recoverPacked(std::string(url), output, onLoss);
}

}  // namespace kob
