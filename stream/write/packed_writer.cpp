// SPDX-License-Identifier: GPL-2.0-or-later
//
// The one writer of packed files: kob::Packer, behind KobFile's WRITE,
// kobpack, kob and kob::packStream alike.

#include "write/packed_writer.h"

#include "format/codec.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "format/format.h"
#include "format/records.h"
#include "format/seal_format.h"

namespace kob {
namespace {

Failure writing(int error) {
  return Failure::ofError(error != 0 ? error : EIO, Failure::Action::Writing);
}

// One chunk on its way to the output: its data as collected, then its
// compressed form (one piece, or two for a chunk split in half).
struct Slot {
  struct Piece {
    std::uint32_t dataSize;
    std::uint32_t payloadSize;
    std::uint32_t checksum;  // of the payload, for a seal
  };
  std::vector<unsigned char> data;
  std::uint32_t length = 0;
  std::vector<unsigned char> payloads;
  Piece pieces[2];
  int pieceCount = 0;
  int error = 0;            // of the compression: ENOMEM or EIO
  bool compressed = false;  // guarded by the pipeline's mutex when shared
};

void compressSlot(Slot& slot, int level, bool seal,
                  std::vector<unsigned char>& scratch) {
  slot.payloads.clear();
  slot.pieceCount = 0;
  slot.error = 0;
  try {
    const bool ok = compressChunk(
        slot.data.data(), slot.length, level, scratch.data(),
        threadWorkMemory(),
        [&slot, seal](std::uint32_t dataSize, const unsigned char* payload,
                      std::uint32_t payloadSize) {
          slot.payloads.insert(slot.payloads.end(), payload,
                               payload + payloadSize);
          slot.pieces[slot.pieceCount++] = {
              dataSize, payloadSize,
              seal ? payloadChecksum(payload, payloadSize) : 0};
          return true;
        });
    if (!ok) slot.error = EIO;
  } catch (const std::bad_alloc&) {
    slot.error = ENOMEM;
  }
}

}  // namespace

// A ring of slots: the caller's thread fills one, hands it to the helper
// threads to compress, and writes the slots out in order as they come back.
// The ring holds one slot more than there are helpers, so memory stays at
// about two chunks a thread. Without helpers the caller compresses each
// chunk as it fills.
struct Packer::Pipeline {
  Pipeline(std::FILE* anOutput, const PackOptions& options)
      : output(anOutput),
        chunkSize(static_cast<std::uint32_t>(options.chunkSize)),
        level(options.level),
        seal(options.seal) {
    unsigned threads = options.threads;
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    slots.resize(threads > 1 ? threads + 1 : 1);
    for (Slot& slot : slots) slot.data.resize(chunkSize);
    scratch.resize(worstCaseCompressedSize(chunkSize));
    if (threads > 1) {
      try {
        for (unsigned t = 0; t < threads; ++t) {
          helpers.emplace_back([this] { compressInTurn(); });
        }
      } catch (...) {
        stopHelpers();  // those started must not outlive a failed start
        throw;
      }
    }
    if (!writeSignature(output, seal ? kSealedFlag : 0)) first = writing(errno);
    written += sizeof kSignature;
  }

  ~Pipeline() { stopHelpers(); }

  void stopHelpers() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
    }
    chunkHanded.notify_all();
    for (std::thread& helper : helpers) helper.join();
  }

  Slot& filling() { return slots[handed % slots.size()]; }

  void take(const unsigned char* data, std::size_t length) {
    while (length > 0) {
      Slot& slot = filling();
      const auto n = static_cast<std::uint32_t>(
          std::min<std::size_t>(chunkSize - slot.length, length));
      std::memcpy(slot.data.data() + slot.length, data, n);
      slot.length += n;
      data += n;
      length -= n;
      taken += n;
      if (slot.length == chunkSize) handOn();
    }
  }

  void put(unsigned char byte) {
    if (filling().length == chunkSize) handOn();
    Slot& slot = filling();
    slot.data[slot.length++] = byte;
    ++taken;
  }

  // The filled slot goes to be compressed; the next one must be free.
  void handOn() {
    Slot& slot = filling();
    if (helpers.empty()) {
      compressSlot(slot, level, seal, scratch);
      writeSlot(slot);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      slot.compressed = false;
      ++handed;
    }
    chunkHanded.notify_one();
    while (handed - chunksWritten >= slots.size()) writeOldest();
  }

  void finish() {
    if (finished) return;
    if (filling().length > 0) handOn();
    while (chunksWritten < handed) writeOldest();
    finished = true;
    if (seal) records.add(static_cast<std::int64_t>(written), position, 0, 0,
                          lastPayloadSize, 0);
    if (first.ok() && !writeChunkRecord(output, 0, nullptr, 0, lastPayloadSize)) {
      first = writing(errno);
    }
    written += kHeaderSize;
    if (seal && first.ok() &&
        !writeSealTrailer(records, kSealedFlag, position, written,
                          [this](const unsigned char* bytes, std::size_t size) {
                            written += size;
                            return std::fwrite(bytes, 1, size, output) == size;
                          })) {
      first = writing(errno);
    }
    if (std::fflush(output) != 0 && first.ok()) first = writing(errno);
  }

  void writeOldest() {
    Slot& slot = slots[chunksWritten % slots.size()];
    {
      std::unique_lock<std::mutex> lock(mutex);
      chunkCompressed.wait(lock, [&slot] { return slot.compressed; });
    }
    writeSlot(slot);
    ++chunksWritten;
  }

  void writeSlot(Slot& slot) {
    slot.length = 0;
    if (first.failed()) return;
    if (slot.error != 0) {
      first = writing(slot.error);
      return;
    }
    const unsigned char* payload = slot.payloads.data();
    for (int p = 0; p < slot.pieceCount; ++p) {
      const Slot::Piece& piece = slot.pieces[p];
      if (seal) {
        records.add(static_cast<std::int64_t>(written), position, piece.dataSize,
                    piece.payloadSize, lastPayloadSize, piece.checksum);
      }
      if (!writeChunkRecord(output, piece.dataSize, payload, piece.payloadSize,
                            lastPayloadSize)) {
        first = writing(errno);
        return;
      }
      lastPayloadSize = piece.payloadSize;
      payload += piece.payloadSize;
      written += kHeaderSize + piece.payloadSize;
      position += piece.dataSize;
    }
  }

  // A helper: takes the chunks handed on, in turn, until told to stop.
  void compressInTurn() {
    std::vector<unsigned char> ownScratch(worstCaseCompressedSize(chunkSize));
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      chunkHanded.wait(lock, [this] { return stopping || compressing < handed; });
      if (stopping) return;
      Slot& slot = slots[compressing++ % slots.size()];
      lock.unlock();
      compressSlot(slot, level, seal, ownScratch);
      lock.lock();
      slot.compressed = true;
      chunkCompressed.notify_all();
    }
  }

  std::FILE* output;
  std::uint32_t chunkSize;
  int level;
  bool seal;
  RecordsEncoder records;     // the seal's, as the chunks are written
  std::uint64_t position = 0;  // data written in chunks
  std::vector<Slot> slots;
  std::vector<unsigned char> scratch;  // the caller's, without helpers
  std::uint32_t lastPayloadSize = 0;
  std::uint64_t taken = 0;
  std::uint64_t written = 0;  // bytes of the packed stream
  Failure first;
  bool finished = false;

  std::mutex mutex;
  std::condition_variable chunkHanded;
  std::condition_variable chunkCompressed;
  std::uint64_t handed = 0;       // chunks handed on (with helpers)
  std::uint64_t compressing = 0;  // chunks a helper has taken
  std::uint64_t chunksWritten = 0;  // written out (with helpers)
  bool stopping = false;
  std::vector<std::thread> helpers;
};

Failure Packer::validOptions(const PackOptions& options) {
  return validChunkSize(options.chunkSize) && validLevel(options.level)
             ? Failure()
             : Failure::ofError(EINVAL, Failure::Action::Writing);
}

Packer::Packer(std::FILE* output, const PackOptions& options) {
  initCompression();
  PackOptions checked = options;
  const Failure invalid = validOptions(options);
  if (invalid.failed()) checked = PackOptions();
  pipeline = std::make_unique<Pipeline>(output, checked);
  if (invalid.failed()) {
    pipeline->first = invalid;
    pipeline->finished = true;
  }
}

Packer::~Packer() = default;

Failure Packer::write(const void* data, std::size_t length) {
  if (pipeline->finished) return failure().failed() ? failure() : writing(EBADF);
  pipeline->take(static_cast<const unsigned char*>(data), length);
  return pipeline->first;
}

Failure Packer::put(unsigned char byte) {
  if (pipeline->finished) return failure().failed() ? failure() : writing(EBADF);
  pipeline->put(byte);
  return pipeline->first;
}

Failure Packer::finish() {
  pipeline->finish();
  return pipeline->first;
}

Failure Packer::failure() const { return pipeline->first; }

std::uint64_t Packer::bytesTaken() const { return pipeline->taken; }

std::uint64_t Packer::bytesWritten() const { return pipeline->written; }

// ---------------------------------------------------------------------------
// KobFile's writer

PackedWriter::PackedWriter(std::FILE* aFile, int chunkSize)
    : file(aFile),
      packer(aFile, PackOptions{chunkSize, 1, kDefaultLevel, false}) {}

unsigned int PackedWriter::write(const char* buf, unsigned int len) {
  if (file) packer.write(buf, len);
  return len;
}

int PackedWriter::put(int c) {
  if (file) packer.put(static_cast<unsigned char>(c));
  return c;
}

bool PackedWriter::hasError() const {
  return closing.failed() || packer.failure().failed() ||
         (file && std::ferror(file.get()));
}

Failure PackedWriter::failure() const {
  return closing.failed() ? closing : packer.failure();
}

int PackedWriter::close() {
  if (!file) return 0;
  closing = packer.finish();
  if (closing.ok() && std::ferror(file.get())) closing = writing(EIO);
  if (std::fclose(file.release()) != 0 && closing.ok()) closing = writing(errno);
  if (closing.ok()) return 0;
  errno = closing.error;
  return -1;
}

}  // namespace kob
