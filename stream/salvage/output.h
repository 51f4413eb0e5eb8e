// SPDX-License-Identifier: GPL-2.0-or-later
//
// Where salvage puts what it saves: the data of the chunks taken, zeros in
// place of those lost, and the losses told as they are met, so that
// nothing grows with their number.

#ifndef KOB_SALVAGE_OUTPUT_H
#define KOB_SALVAGE_OUTPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>

#include "kob_recover.h"

namespace kob {

class SalvageOutput {
 public:
  SalvageOutput(std::FILE* output, const std::function<void(const Loss&)>& onLoss)
      : out(output), tell(onLoss) {}

  // Writes `count` bytes of data; false, with the failure in the report,
  // when the write fails.
  bool put(const unsigned char* bytes, std::size_t count);
  // Tells of `loss` (its position is where the data stands now) and
  // writes its length in zeros.
  bool lose(Loss loss);
  // Tells of damage that lost nothing (`loss` of another kind than Lost).
  void tellWithoutLoss(Loss loss);

  std::uint64_t written() const { return done.dataWritten; }
  bool failed() const { return done.failure.failed(); }
  RecoveryReport& report() { return done; }

 private:
  std::FILE* out;
  const std::function<void(const Loss&)>& tell;
  RecoveryReport done;
};

}  // namespace kob

#endif  // KOB_SALVAGE_OUTPUT_H
