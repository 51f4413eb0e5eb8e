// SPDX-License-Identifier: GPL-2.0-or-later
//
// Salvage inside the library: the saved index it goes by, and the salvage
// of a packed file's source by it or by reading the file alone.

#ifndef KOB_SALVAGE_SALVAGE_H
#define KOB_SALVAGE_SALVAGE_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "index/saved_index.h"
#include "kob_recover.h"
#include "kob_scan.h"
#include "source/source.h"

namespace kob {

// The saved index salvage goes by, and how far it is trusted: Valid (it
// describes the file as it is: a payload that differs from its checksum is
// lost) or Unverified (a hint, given up at its first disagreement with the
// file); none otherwise.
struct SalvageIndex {
  std::unique_ptr<SavedIndex> saved;
  IndexState state = IndexState::Missing;
  bool seal = false;  // the file's seal, not an index beside it
};

// The saved index `indexName` ("" for none) of the packed file `packed`,
// as salvage may use it: only one with checksums. Of a sealed file (its
// signature's flags `flags`) its seal, when it is sound and the file one
// member, which describes the file as a valid index does; no index beside
// it. An s3:// index is read with `s3`.
SalvageIndex salvageIndexFor(Source& packed, const std::string& indexName,
                             std::uint32_t flags,
                             const S3Options& s3 = S3Options());

// Salvages the packed file `source` of `size` bytes into `output` (see
// recoverPacked), by `index` when it has one; `output` flushed.
RecoveryReport salvagePacked(std::unique_ptr<Source> source, std::int64_t size,
                             SalvageIndex index, std::FILE* output,
                             const std::function<void(const Loss&)>& onLoss);

}  // namespace kob

#endif  // KOB_SALVAGE_SALVAGE_H
