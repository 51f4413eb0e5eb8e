// SPDX-License-Identifier: GPL-2.0-or-later
// Reaches into a KobFile's packed reader for what no caller can observe:
// how much it holds, how often it reads, how far it has walked.

#ifndef KOB_TESTS_KOB_FILE_PEER_H
#define KOB_TESTS_KOB_FILE_PEER_H

#include <cstddef>
#include <cstdint>

#include "kob.h"
#include "read/packed_reader.h"

class KobFileTestPeer {
 public:
  static std::size_t heldBytes(const KobFile& file) {
    return file.reader ? file.reader->heldBytes() : 0;
  }
  static std::uint64_t readCalls(const KobFile& file) {
    return file.reader->readCalls();
  }
  static std::uint64_t knownChunks(const KobFile& file) {
    return file.reader->frontier().chunksPassed;
  }
};

#endif  // KOB_TESTS_KOB_FILE_PEER_H
