// SPDX-License-Identifier: GPL-2.0-or-later
#include "salvage/output.h"

#include <algorithm>
#include <cerrno>

namespace kob {
namespace {

// Zeros to write from, for a loss of any length.
constexpr std::size_t kZerosAtOnce = 64 * 1024;
const unsigned char kZeros[kZerosAtOnce] = {};

}  // namespace

bool SalvageOutput::put(const unsigned char* bytes, std::size_t count) {
  if (done.failure.failed()) return false;
  if (count > 0 && std::fwrite(bytes, 1, count, out) != count) {
    done.failure = Failure::ofError(errno != 0 ? errno : EIO,
                                    Failure::Action::Writing);
    return false;
  }
  done.dataWritten += count;
  return true;
}

bool SalvageOutput::lose(Loss loss) {
  if (done.failure.failed()) return false;
  loss.position = done.dataWritten;
  done.losses += std::max<std::uint64_t>(loss.chunks, 1);
  done.bytesLost += loss.length;
  if (tell) tell(loss);
  for (std::uint64_t left = loss.length; left > 0;) {
    const auto n =
        static_cast<std::size_t>(std::min<std::uint64_t>(left, kZerosAtOnce));
    if (!put(kZeros, n)) return false;
    left -= n;
  }
  return true;
}

void SalvageOutput::tellWithoutLoss(Loss loss) {
  if (done.failure.failed()) return;
  loss.position = done.dataWritten;
  loss.chunks = 0;
  loss.length = 0;
  ++done.withoutLoss;
  if (tell) tell(loss);
}

}  // namespace kob
