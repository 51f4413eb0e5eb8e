// SPDX-License-Identifier: GPL-2.0-or-later
#include "kob_failure.h"

#include <cstring>

#include <cerrno>

namespace kob {

const char* describe(Damage damage) {
  switch (damage) {
    case Damage::None:
      return "no damage";
    case Damage::CutShort:
      return "cut short by the end of the file";
    case Damage::PayloadRejected:
      return "payload rejected by the decompressor";
    case Damage::WrongExpandedSize:
      return "payload does not expand to its stated size";
    case Damage::DataAfterEnd:
      return "data after the end marker";
    case Damage::BrokenBackLink:
      return "back-link does not match the chunk before";
    case Damage::ChecksumMismatch:
      return "payload does not match its checksum in the saved index";
    case Damage::NotPacked:
      return "not a packed file (no signature)";
    case Damage::TrailerDamaged:
      return "the seal's trailer is missing or damaged";
    case Damage::HeaderUnlikeSeal:
      return "header does not match its record in the seal";
    case Damage::PayloadUnlikeSeal:
      return "payload does not match its checksum in the seal";
  }
  return "unknown damage";
}


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
    std::string what = where.empty() ? kob::describe(damage)
                                     : where + ": " + kob::describe(damage);
    return detail.empty() ? what : what + " (" + detail + ")";
  }
  std::string what =
      action == Action::Writing ? "cannot write" : "cannot read";
  if (!where.empty() && action == Action::Reading) what += " " + where;
  what += ": " + describeError(error);
  return detail.empty() ? what : what + " (" + detail + ")";
}

}  // namespace kob
