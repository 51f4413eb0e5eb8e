// SPDX-License-Identifier: GPL-2.0-or-later
#include "kob_failure.h"

#include <cstring>

#include <cerrno>

namespace kob {

std::string describeError(int error) {
  if (error == ESTALE) return "the file changed while it was read (stale)";
  if (error == EPROTONOSUPPORT) return "URLs are not supported by this build";
  return std::strerror(error);
}

std::string Failure::describe() const {
  if (ok()) return "no failure";
  std::string where;
  if (chunk >= 0) {
    where = "chunk " + std::to_string(chunk);
    if (fileOffset >= 0) where += " at offset " + std::to_string(fileOffset);
    if (position >= 0) {
      where += " (data from byte " + std::to_string(position) + ")";
    }
  }
  if (isDamage()) {
    return where.empty() ? kob::describe(damage)
                         : where + ": " + kob::describe(damage);
  }
  std::string what =
      action == Action::Writing ? "cannot write" : "cannot read";
  if (!where.empty() && action == Action::Reading) what += " " + where;
  return what + ": " + describeError(error);
}

}  // namespace kob
