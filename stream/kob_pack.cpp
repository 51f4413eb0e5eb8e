#include "kob_pack.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "format.h"
#include "packed_reader.h"
#include "read_window.h"
#include "unique_fd.h"

namespace kob {
namespace {

// One chunk on its way from the input to the output: its data as read,
// then its compressed form (one piece, or two for a chunk split in half).
struct Slot {
  struct Piece {
    std::uint32_t dataSize;
    std::uint32_t payloadSize;
  };
  std::vector<unsigned char> data;
  std::size_t length = 0;
  std::vector<unsigned char> payloads;
  Piece pieces[2];
  int pieceCount = 0;
  bool ok = false;
  bool compressed = false;  // guarded by the packer's mutex
};

void compressSlot(Slot& slot, std::vector<unsigned char>& scratch) {
  slot.payloads.clear();
  slot.pieceCount = 0;
  try {
    slot.ok = compressChunk(
        slot.data.data(), static_cast<std::uint32_t>(slot.length),
        scratch.data(), threadWorkMemory(),
        [&slot](std::uint32_t dataSize, const unsigned char* payload,
                std::uint32_t payloadSize) {
          slot.payloads.insert(slot.payloads.end(), payload,
                               payload + payloadSize);
          slot.pieces[slot.pieceCount++] = {dataSize, payloadSize};
          return true;
        });
  } catch (const std::bad_alloc&) {
    slot.ok = false;
  }
}

// Reads up to `wanted` bytes, to the end of the input or an error.
std::size_t readFully(std::FILE* input, unsigned char* into,
                      std::size_t wanted) {
  std::size_t got = 0;
  while (got < wanted) {
    std::size_t n = std::fread(into + got, 1, wanted - got, input);
    if (n == 0) break;
    got += n;
  }
  return got;
}

// A pipeline: the calling thread reads chunks into a ring of slots and
// writes them out in order as they come back compressed; helper threads
// compress them meanwhile. The ring holds one slot more than there are
// helpers, so memory stays at about two chunks a thread.
class ParallelPacker {
 public:
  ParallelPacker(std::FILE* anInput, std::FILE* anOutput,
                 std::uint32_t aChunkSize, unsigned threads,
                 const std::function<void(std::uint64_t)>& aProgress)
      : input(anInput),
        output(anOutput),
        chunkSize(aChunkSize),
        progress(aProgress),
        slots(threads > 1 ? threads + 1 : 1),
        scratch(worstCaseCompressedSize(chunkSize)) {
    for (Slot& slot : slots) slot.data.resize(chunkSize);
    if (threads > 1) {
      for (unsigned t = 0; t < threads; ++t) {
        helpers.emplace_back([this] { compressInTurn(); });
      }
    }
  }

  ~ParallelPacker() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
    }
    chunkRead.notify_all();
    for (std::thread& helper : helpers) helper.join();
  }

  ParallelPacker(const ParallelPacker&) = delete;
  ParallelPacker& operator=(const ParallelPacker&) = delete;

  PackStatus run() {
    if (std::fwrite(kSignature, 1, sizeof kSignature, output) !=
        sizeof kSignature) {
      return PackStatus::WriteFailed;
    }
    std::uint64_t written = 0;
    std::uint64_t bytesDone = 0;
    bool inputEnded = false;
    for (;;) {
      while (!inputEnded && read - written < slots.size()) {
        Slot& slot = slots[read % slots.size()];
        slot.length = readFully(input, slot.data.data(), chunkSize);
        if (std::ferror(input)) return PackStatus::ReadFailed;
        inputEnded = slot.length < chunkSize;
        if (slot.length == 0) break;
        {
          std::lock_guard<std::mutex> lock(mutex);
          slot.compressed = false;
          ++read;
        }
        chunkRead.notify_one();
      }
      if (written == read) break;
      Slot& slot = slots[written % slots.size()];
      if (helpers.empty()) {
        compressSlot(slot, scratch);
      } else {
        std::unique_lock<std::mutex> lock(mutex);
        chunkCompressed.wait(lock, [&slot] { return slot.compressed; });
      }
      if (!writeSlot(slot)) return PackStatus::WriteFailed;
      ++written;
      bytesDone += slot.length;
      if (progress) progress(bytesDone);
    }
    return writeChunkRecord(output, 0, nullptr, 0, lastPayloadSize) &&
                   std::fflush(output) == 0
               ? PackStatus::Ok
               : PackStatus::WriteFailed;
  }

 private:
  // A helper: takes the chunks read, in turn, until told to stop.
  void compressInTurn() {
    std::vector<unsigned char> ownScratch(worstCaseCompressedSize(chunkSize));
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      chunkRead.wait(lock, [this] { return stopping || taken < read; });
      if (stopping) return;
      Slot& slot = slots[taken++ % slots.size()];
      lock.unlock();
      compressSlot(slot, ownScratch);
      lock.lock();
      slot.compressed = true;
      chunkCompressed.notify_all();
    }
  }

  bool writeSlot(const Slot& slot) {
    if (!slot.ok) return false;
    const unsigned char* payload = slot.payloads.data();
    for (int p = 0; p < slot.pieceCount; ++p) {
      const Slot::Piece& piece = slot.pieces[p];
      if (!writeChunkRecord(output, piece.dataSize, payload, piece.payloadSize,
                            lastPayloadSize)) {
        return false;
      }
      lastPayloadSize = piece.payloadSize;
      payload += piece.payloadSize;
    }
    return true;
  }

  std::FILE* input;
  std::FILE* output;
  std::uint32_t chunkSize;
  const std::function<void(std::uint64_t)>& progress;
  std::vector<Slot> slots;
  std::vector<unsigned char> scratch;
  std::uint32_t lastPayloadSize = 0;

  std::mutex mutex;
  std::condition_variable chunkRead;
  std::condition_variable chunkCompressed;
  std::uint64_t read = 0;   // chunks read into slots
  std::uint64_t taken = 0;  // chunks a helper has taken
  bool stopping = false;
  std::vector<std::thread> helpers;
};

}  // namespace

PackStatus packStream(
    std::FILE* input, std::FILE* output, int chunkSize, unsigned threads,
    const std::function<void(std::uint64_t bytesDone)>& progress) {
  if (chunkSize < 1 || chunkSize > int{kMaxFieldValue}) {
    return PackStatus::BadChunkSize;
  }
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  try {
    ParallelPacker packer(input, output, static_cast<std::uint32_t>(chunkSize),
                          threads, progress);
    return packer.run();
  } catch (const std::bad_alloc&) {
    return PackStatus::OutOfMemory;
  } catch (const std::system_error&) {
    return PackStatus::OutOfMemory;  // no thread could be started
  }
}

ScanReport scanPacked(int fd, bool decompress,
                      const std::function<void(const ChunkInfo&)>& onChunk) {
  ScanReport report;
  UniqueFd own(::dup(fd));
  if (own.get() < 0) {
    report.error = errno;
    return report;
  }
  SignatureProbe probe = probeSignature(own.get());
  if (!probe.packed) {
    report.error = probe.error;
    if (probe.error == 0) report.outcome = ScanReport::Outcome::NotPacked;
    return report;
  }
  struct stat info;
  const bool sized = probe.seekable && fstat(own.get(), &info) == 0;
  ChunkInfo last{};
  PackedReader reader(
      std::move(own), probe.seekable, std::move(probe.consumed),
      [&](std::uint64_t number, std::int64_t offset, std::uint64_t position,
          const ChunkHeader& header) {
        last = {number, offset, position, header.dataSize, header.payloadSize};
        report.largestChunk = std::max(report.largestChunk, header.dataSize);
        if (onChunk) onChunk(last);
      });
  if (decompress) {
    std::vector<unsigned char> block(1 << 16);
    while (reader.read(block.data(), block.size()) > 0) {
    }
  } else {
    reader.seek(INT64_MAX, 0);
  }
  const ChunkIndex::Frontier& frontier = reader.frontier();
  report.chunks = frontier.chunksPassed;
  report.dataSize = frontier.position;
  if (reader.readError() != 0) {
    report.error = reader.readError();
  } else if (reader.damage() != Damage::None) {
    report.outcome = ScanReport::Outcome::Damaged;
    report.damage = reader.damage();
    report.fileOffset = reader.currentHeaderOffset();
    // Damage in a payload lies in the last chunk passed; damage in a header
    // in the one after it.
    report.chunkNumber =
        report.chunks > 0 && last.fileOffset == report.fileOffset
            ? last.number
            : report.chunks;
  } else {
    report.outcome = ScanReport::Outcome::Ok;
    report.packedSize =
        sized ? static_cast<std::int64_t>(info.st_size)
              : frontier.headerOffset + static_cast<std::int64_t>(kHeaderSize);
  }
  return report;
}

}  // namespace kob
