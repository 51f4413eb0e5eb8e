// SPDX-License-Identifier: GPL-2.0-or-later
//
// kob::recoverPacked: the file opened, its saved index chosen, and the
// salvage of salvage/salvage.cpp run over it.

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "common/big_endian.h"
#include "format/format.h"
#include "index/chunk_index.h"
#include "index/saved_index.h"
#include "index/seal_set.h"
#include "kob_recover.h"
#include "salvage/salvage.h"
#include "source/source.h"

namespace kob {

SalvageIndex salvageIndexFor(Source& packed, const std::string& indexName,
                             std::uint32_t flags, const S3Options& s3) {
  SalvageIndex chosen;
  if ((flags & kSealedFlag) != 0) {
    unsigned char signature[sizeof kSignature];
    std::memcpy(signature, kSignature, sizeof signature);
    encodeUInt2(signature + kFlagsAt, flags);
    std::unique_ptr<SealSet> seals = SealSet::fromTail(packed, signature);
    if (seals) chosen.saved = seals->releaseWhole();
    if (chosen.saved) chosen.state = IndexState::Valid;
    chosen.seal = chosen.saved != nullptr;
    return chosen;
  }
  ChunkIndex known;
  bool withChecksums = false;
  // An index of a file elsewhere cannot show whose it is: the loader takes
  // it up as a hint (Unverified), whatever it matches.
  const IndexState state = loadIndex(packed, indexName, known, &withChecksums, s3);
  // Without checksums an index cannot tell a chunk's payload from another:
  // salvage reads the file alone then.
  if ((state == IndexState::Valid || state == IndexState::Unverified) &&
      withChecksums) {
    chosen.saved = known.releaseSaved();
    if (chosen.saved) chosen.state = state;
  }
  return chosen;
}

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
  const S3Options s3 = file.s3Options();
  const std::uint32_t flags = file.signatureFlags();
  std::unique_ptr<Source> source = file.takeSource();
  SalvageIndex chosen = salvageIndexFor(*source, indexName, flags, s3);
  report = salvagePacked(std::move(source), size, std::move(chosen), output,
                         onLoss);
  report.usedSeal = report.usedIndex && (flags & kSealedFlag) != 0;
  if (report.usedSeal) report.usedIndex = false;
  return report;
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
