// SPDX-License-Identifier: GPL-2.0-or-later
//
// KobFile's packed reader: a position in the data over one chunk cursor,
// with the stream semantics KobFile promises (see kob.h). It holds one
// chunk at a time; a seek decompresses nothing, the next read decompresses
// the chunk it landed in.
//
// Damage and read errors stop it for good at the start of the chunk where
// they were met, which it never serves a byte of.

#ifndef KOB_READ_PACKED_READER_H
#define KOB_READ_PACKED_READER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "read/chunk_reader.h"
#include "kob_failure.h"
#include "source/source.h"

namespace kob {

class PackedReader {
 public:
  // Reads the packed file `source`, whose first bytes are the signature.
  // For a stream, `consumed` holds the bytes already read from it.
  PackedReader(std::unique_ptr<Source> source,
               std::vector<unsigned char> consumed);

  PackedReader(const PackedReader&) = delete;
  PackedReader& operator=(const PackedReader&) = delete;

  std::size_t read(unsigned char* buf, std::size_t len);
  int get();
  // Returns the new position; -1 on a stream when the target lies before
  // the current chunk, with nothing changed.
  std::int64_t seek(std::int64_t offset, int whence);
  std::uint64_t tell() const;
  bool isEOF() const {
    return stopped() || cursor.state() == ChunkCursor::State::AtEnd;
  }

  const Failure& failure() const { return stop; }
  bool stopped() const { return stop.failed(); }

  void setPartialDecoding(bool on) { partialDecoding = on; }
  bool seekable() const { return reader.seekable(); }
  // Takes up the saved index `indexName` ("" for none) when it can be
  // trusted: the chunks are then known without walking to them.
  void takeUpIndex(const std::string& indexName, std::uint32_t flags, const S3Options& s3) {
    reader.takeUpIndex(indexName, flags, nullptr, s3);
    if (!stopped()) check(cursor.confirmFirst());
  }
  ChunkIndex::Frontier frontier() { return reader.frontier(); }

  // Memory held for the file: the chunk's data, the read window, the index.
  std::size_t heldBytes() { return cursor.heldBytes() + reader.heldBytes(); }
  std::uint64_t readCalls() const { return cursor.readCalls(); }

 private:
  bool enterDataChunk();
  bool check(const Failure& failure);

  ChunkReader reader;
  ChunkCursor cursor;
  // Index in the current chunk of the next byte to read.
  std::uint32_t bufferPos = 0;
  bool partialDecoding = false;
  Failure stop;
};

}  // namespace kob

#endif  // KOB_READ_PACKED_READER_H
