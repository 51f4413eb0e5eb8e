// SPDX-License-Identifier: GPL-2.0-or-later
//
// The one whole-file walk: kob::scanPacked, behind `kob -t`, `kob -l` and
// `kob -d`, reading chunk after chunk with the reader KobFile reads with.
// With threads, the caller's thread reads and checks every header and
// payload in order while helpers decompress; of a file its seals cover,
// where every chunk is known from the start, the helpers read, check and
// decompress runs of chunks each while the caller only hands them on. The
// chunks are handed on in order, so the answers are those of one thread.

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include "common/worker_pool.h"
#include "format/codec.h"
#include "format/format.h"
#include "kob_scan.h"
#include "read/chunk_reader.h"
#include "source/source.h"

namespace kob {
namespace {

// Chunks in flight for each decompressing thread: enough that a thread
// rarely waits for the reader, few enough to hold little.
constexpr std::size_t kChunksPerThread = 16;

// Chunks a helper decompresses in one task.
constexpr std::size_t kChunksPerTask = 4;

// A chunk on its way: passed by the reader, decompressed by a helper.
struct Slot {
  ChunkEntry chunk;
  std::vector<unsigned char> payload;
  std::vector<unsigned char> data;
  Failure failure;  // what the reader or the decompression met
  // Its header failed: the walk stops before it, as one thread's does.
  bool headerFailed = false;
};

// Decompresses a chunk the reader passed, unless the reader found it
// damaged already.
void expand(Slot& slot) {
  if (slot.failure.failed() || slot.chunk.dataSize == 0) return;
  slot.data.resize(slot.chunk.dataSize);
  const Damage damage = expandPayload(slot.payload.data(), slot.chunk.payloadSize,
                                      slot.data.data(), slot.chunk.dataSize);
  if (damage != Damage::None) {
    slot.failure = Failure::ofDamage(damage);
    slot.failure.chunk = static_cast<std::int64_t>(slot.chunk.number);
    slot.failure.fileOffset = slot.chunk.headerOffset;
    slot.failure.position = static_cast<std::int64_t>(slot.chunk.position);
  }
}

class Walk {
 public:
  // `checkPayloads`: without decompressing, every payload is still read
  // and held against its checksum.
  Walk(ChunkReader& reader, const ScanOptions& options, ScanReport& report,
       bool checkPayloads)
      : source(reader), cursor(reader), options(options), report(report),
        checkPayloads(checkPayloads) {}

  // Reads on from the first chunk to the end marker or the first failure.
  Failure run(unsigned helpers);
  const ChunkCursor& at() const { return cursor; }
  // With helpers, on a file its seals cover.
  Failure runFromSeals(unsigned helpers);

 private:
  // Hands a chunk on, in order: counted, then its data, or its failure.
  Failure emit(const ChunkEntry& chunk, const Failure& failure,
               const unsigned char* data);
  Failure runAlone();
  // Fills `round` with the chunks read next; returns what stopped the
  // reading (ok() at the end marker or when the round is full).
  Failure fill(std::vector<Slot>& round, std::size_t& filled);

  ChunkReader& reader() { return source; }

  ChunkReader& source;
  ChunkCursor cursor;
  const ScanOptions& options;
  ScanReport& report;
  const bool checkPayloads;
  std::vector<unsigned char> data;
};

Failure Walk::emit(const ChunkEntry& chunk, const Failure& failure,
                   const unsigned char* bytes) {
  if (options.onChunk) {
    options.onChunk({chunk.number, chunk.headerOffset, chunk.position,
                     chunk.dataSize, chunk.payloadSize});
  }
  if (chunk.joinsNext) {
    ++report.members;  // the end of one member: not a chunk
    if (chunk.sealBytes > 0) ++report.sealedMembers;
    return failure;
  }
  ++report.chunks;
  report.dataSize += chunk.dataSize;
  report.largestChunk =
      std::max<std::uint32_t>(report.largestChunk, chunk.dataSize);
  if (failure.failed()) return failure;
  if (options.decompress && options.onData && chunk.dataSize > 0) {
    Failure written = options.onData(bytes, chunk.dataSize);
    if (written.failed() && written.action != Failure::Action::Writing) {
      written.action = Failure::Action::Writing;
    }
    return written;
  }
  return {};
}

Failure Walk::runAlone() {
  if (options.decompress) data.resize(kMaxFieldValue);
  Failure failure = cursor.start();
  while (failure.ok() && cursor.state() != ChunkCursor::State::AtEnd) {
    const ChunkEntry chunk = cursor.chunk();
    Failure met;
    if (options.decompress && chunk.dataSize > 0) {
      met = cursor.decodeInto(data.data());
    } else if (checkPayloads && chunk.dataSize > 0) {
      const unsigned char* payload = nullptr;
      met = cursor.payload(payload);
    }
    failure = emit(chunk, met, data.data());
    if (failure.ok()) failure = cursor.next();
  }
  return failure;
}

Failure Walk::fill(std::vector<Slot>& round, std::size_t& filled) {
  filled = 0;
  while (filled < round.size() && cursor.state() != ChunkCursor::State::AtEnd) {
    Slot& slot = round[filled++];
    slot.chunk = cursor.chunk();
    slot.failure = Failure();
    if (slot.chunk.dataSize > 0) {
      const unsigned char* payload = nullptr;
      slot.failure = cursor.payload(payload);
      if (slot.failure.failed()) return {};  // handed on with the chunk
      slot.payload.assign(payload, payload + slot.chunk.payloadSize);
    }
    const Failure failure = cursor.next();
    if (failure.failed()) return failure;
  }
  return {};
}

Failure Walk::runFromSeals(unsigned helpers) {
  WorkerPool pool(helpers);
  // A cursor for each task of each round (the next round's run while this
  // one's do), reading its run of chunks ahead in one read.
  std::vector<std::unique_ptr<ChunkCursor>> cursors;
  for (unsigned h = 0; h < 2 * helpers; ++h) {
    cursors.push_back(std::make_unique<ChunkCursor>(source));
  }
  const std::size_t perRound = kChunksPerThread * helpers;
  std::vector<Slot> rounds[2] = {std::vector<Slot>(perRound),
                                 std::vector<Slot>(perRound)};
  std::size_t filled[2] = {0, 0};
  std::unique_ptr<WorkerPool::Batch> batches[2];
  ChunkEntry next;
  std::int64_t nextOffset = kFirstHeaderOffset;
  bool known = source.knownAt(nextOffset, next);
  auto start = [&](int r) {
    filled[r] = 0;
    while (filled[r] < perRound && known && !next.header().endsData()) {
      Slot& slot = rounds[r][filled[r]++];
      slot.chunk = next;
      nextOffset = next.nextOffset();
      known = source.knownAt(nextOffset, next);
    }
    batches[r] = std::make_unique<WorkerPool::Batch>(pool);
    const std::size_t perTask = (filled[r] + helpers - 1) / helpers;
    for (unsigned h = 0; h * perTask < filled[r]; ++h) {
      const std::size_t from = h * perTask;
      const std::size_t to = std::min(filled[r], from + perTask);
      batches[r]->run([&rounds, &cursors, r, h, from, to, helpers] {
        ChunkCursor& cursor = *cursors[r * helpers + h];
        for (std::size_t i = from; i < to; ++i) {
          Slot& slot = rounds[r][i];
          slot.failure = cursor.visit(slot.chunk, kReadAhead);
          slot.headerFailed = slot.failure.failed();
          if (slot.failure.ok() && slot.chunk.dataSize > 0) {
            slot.data.resize(slot.chunk.dataSize);
            slot.failure = cursor.decodeInto(slot.data.data());
          } else if (slot.failure.ok() && !slot.chunk.joinsNext) {
            slot.failure = cursor.decode(0, false);  // it expands to nothing
          }
        }
      });
    }
  };
  int current = 0;
  start(current);
  for (;;) {
    const bool more = known && !next.header().endsData();
    if (more) start(1 - current);
    batches[current]->wait();
    for (std::size_t i = 0; i < filled[current]; ++i) {
      const Slot& slot = rounds[current][i];
      if (slot.headerFailed) return slot.failure;
      const Failure handed = emit(slot.chunk, slot.failure, slot.data.data());
      if (handed.failed()) return handed;
    }
    if (!more) break;
    current = 1 - current;
  }
  // The end of the data, read and checked as its record says; where the
  // records lead to no record, the seal is not what it must be.
  if (!known) {
    Failure failure = Failure::ofDamage(Damage::TrailerDamaged);
    failure.fileOffset = nextOffset;
    return failure;
  }
  return cursor.land(UINT64_MAX);
}

Failure Walk::run(unsigned helpers) {
  if (!options.decompress || helpers == 0) return runAlone();
  if (source.sealed()) return runFromSeals(helpers);
  Failure failure = cursor.start();
  if (failure.failed()) return failure;
  WorkerPool pool(helpers);
  // Two rounds: one decompressed by the helpers while the caller reads
  // the other and hands the one before on.
  const std::size_t perRound = kChunksPerThread * helpers;
  std::vector<Slot> rounds[2] = {std::vector<Slot>(perRound),
                                 std::vector<Slot>(perRound)};
  std::size_t filled[2] = {0, 0};
  Failure stopped[2];
  std::unique_ptr<WorkerPool::Batch> batches[2];
  auto start = [&](int r) {
    stopped[r] = fill(rounds[r], filled[r]);
    batches[r] = std::make_unique<WorkerPool::Batch>(pool);
    // A task decompresses a few chunks: fewer hand-overs between threads.
    for (std::size_t from = 0; from < filled[r]; from += kChunksPerTask) {
      const std::size_t to = std::min(filled[r], from + kChunksPerTask);
      batches[r]->run([&rounds, r, from, to] {
        for (std::size_t i = from; i < to; ++i) expand(rounds[r][i]);
      });
    }
  };
  int current = 0;
  start(current);
  for (;;) {
    const bool more = stopped[current].ok() &&
                      cursor.state() != ChunkCursor::State::AtEnd &&
                      (filled[current] == 0 ||
                       rounds[current][filled[current] - 1].failure.ok());
    if (more) start(1 - current);
    batches[current]->wait();
    for (std::size_t i = 0; i < filled[current]; ++i) {
      const Slot& slot = rounds[current][i];
      const Failure handed = emit(slot.chunk, slot.failure, slot.data.data());
      if (handed.failed()) return handed;
    }
    if (stopped[current].failed()) return stopped[current];
    if (!more) return {};
    current = 1 - current;
  }
}

}  // namespace

ScanReport scanPacked(int fd, bool decompress,
                      const std::function<void(const ChunkInfo&)>& onChunk,
                      const char* indexPath) {
  return scanPacked(openFile(fcntl(fd, F_DUPFD_CLOEXEC, 0)), decompress, onChunk,
                    indexPath != nullptr ? IndexChoice::at(indexPath)
                                         : IndexChoice::none());
}

ScanReport scanPacked(const std::string& name, bool decompress,
                      const std::function<void(const ChunkInfo&)>& onChunk,
                      const IndexChoice& index) {
  return scanPacked(openFile(name), decompress, onChunk, index);
}

ScanReport scanUrl(const char* url, bool decompress,
                   const std::function<void(const ChunkInfo&)>& onChunk) {
  return scanPacked(std::string(url), decompress, onChunk);
}

ScanReport scanPacked(OpenedFile&& file, bool decompress,
                      const std::function<void(const ChunkInfo&)>& onChunk,
                      const IndexChoice& index) {
  ScanOptions options;
  options.decompress = decompress;
  options.onChunk = onChunk;
  options.index = index;
  return scanPacked(std::move(file), options);
}

ScanReport scanPacked(OpenedFile&& file, const ScanOptions& options) {
  ScanReport report;
  report.packed = file.packed();
  if (!file.ok()) {
    report.failure = file.failure();
    return report;
  }
  if (!file.packed()) {
    report.failure = Failure::ofDamage(Damage::NotPacked);
    return report;
  }
  const std::string indexName = file.indexName(options.index);
  const S3Options s3 = file.s3Options();
  const std::int64_t size = file.size();
  const std::uint32_t flags = file.signatureFlags();
  std::vector<unsigned char> consumed = file.takeConsumed();
  const unsigned threads = threadsToUse(options.threads);
  // A sealed file read on threads is read by a cursor on each.
  ChunkReader reader(file.takeSource(), std::move(consumed),
                     threads > 1 && (flags & kSealedFlag) != 0);
  bool checksums = false;
  const IndexState taken =
      reader.takeUpIndex(indexName, flags, &checksums, s3);
  // A hint is held against every payload even when none is decompressed:
  // the state the scan gives says whether it describes this file, and one
  // that disagrees with a payload is stale.
  Walk walk(reader, options, report,
            checksums && taken == IndexState::Unverified);
  report.failure = walk.run(threads > 1 ? threads : 0);
  // As the walk left it: Stale when the file disagreed with a hint.
  report.indexState = reader.indexState();
  if (report.failure.ok()) {
    ++report.members;  // the last
    if (walk.at().chunk().sealBytes > 0) ++report.sealedMembers;
    if (reader.sealed()) report.sealedMembers = report.members;
    report.sealed = report.sealedMembers == report.members;
    report.contentChecked = checksums && options.decompress &&
                            (report.indexState == IndexState::Valid ||
                             report.indexState == IndexState::Unverified);
    report.packedSize =
        size >= 0 ? size
                  : walk.at().chunk().headerOffset +
                        static_cast<std::int64_t>(kHeaderSize +
                                                  walk.at().chunk().trailerBytes);
  }
  return report;
}

}  // namespace kob
