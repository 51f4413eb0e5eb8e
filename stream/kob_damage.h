// SPDX-License-Identifier: GPL-2.0-or-later
//
// The kinds of damage a packed file can have, as the reader names them.
// They are apart from I/O errors: damage is a property of the bytes in the
// file, an I/O error of the attempt to read them.

#ifndef KOB_KOB_DAMAGE_H
#define KOB_KOB_DAMAGE_H

#include "kob_export.h"

namespace kob {

enum class Damage {
  None = 0,
  CutShort,           // a header or payload cut short by the end of the file
  PayloadRejected,    // the decompressor rejects a payload
  WrongExpandedSize,  // a payload expands to more or fewer bytes than stated
  DataAfterEnd,       // bytes follow the end marker
  BrokenBackLink,     // a header's back-link does not match the chunk before
  ChecksumMismatch,   // a payload differs from its checksum in the saved
                      // index (changed in place since it was indexed)
  NotPacked,          // the file does not begin with the packed signature
                      // (for a reader that reads packed files only)
  TrailerDamaged,     // a sealed member's trailer is missing, cut short,
                      // unlike its own checksum, or not the member's (its
                      // counts disagree with the chunks)
  HeaderUnlikeSeal,   // a chunk header differs from its record in the seal
  PayloadUnlikeSeal,  // a payload differs from its checksum in the seal
};

// A short phrase for messages, e.g. "back-link does not match the chunk
// before".
KOB_EXPORT const char* describe(Damage damage);

}  // namespace kob

#endif  // KOB_KOB_DAMAGE_H
