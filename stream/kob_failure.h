// SPDX-License-Identifier: GPL-2.0-or-later
//
// kob::Failure: what went wrong, and where, in one type for every operation
// of the library that can fail. What: a kind of damage (the file's bytes are
// wrong) or an errno (the attempt to read or write them failed). Where: the
// chunk concerned, as its number, the file offset of its header and the
// position of its first byte in the data, where they are known.
//
//   kob::SharedReader::readAt, kob::packStream, kob::scanPacked,
//   kob::writeIndex and KobFile::failure() all answer with one;
//   describe() turns it into the words of a message:
//
//     "chunk 3 at offset 49170 (data from byte 49152): payload rejected by
//      the decompressor"
//     "cannot read: Input/output error"

#ifndef KOB_KOB_FAILURE_H
#define KOB_KOB_FAILURE_H

#include <cstdint>
#include <string>

#include "kob_damage.h"
#include "kob_export.h"

namespace kob {

// The words for a failed read's errno: strerror's, but for those a reader
// of URLs gives a meaning of its own (ESTALE: the file changed while it was
// read; EPROTONOSUPPORT: a URL, in a build that cannot read them).
KOB_EXPORT std::string describeError(int error);

struct KOB_EXPORT Failure {
  // The operation an errno came from.
  enum class Action {
    Reading,  // reading a packed file, or the data to pack
    Writing,  // writing the packed file or the data unpacked
  };

  // What: damage, or else an errno; neither means no failure.
  Damage damage = Damage::None;
  int error = 0;
  Action action = Action::Reading;
  // Where, -1 where not known: the chunk's number (0 for the first chunk in
  // the file), the file offset of its header, and the position in the data
  // of its first byte.
  std::int64_t chunk = -1;
  std::int64_t fileOffset = -1;
  std::int64_t position = -1;
  // The words of the layer below, where it gave some (a TLS library's, a
  // server's error code): shown after the errno's. Never a secret.
  std::string detail;

  bool ok() const { return damage == Damage::None && error == 0; }
  bool failed() const { return !ok(); }
  bool isDamage() const { return damage != Damage::None; }

  static Failure ofDamage(Damage damage) {
    Failure failure;
    failure.damage = damage;
    return failure;
  }
  static Failure ofError(int error, Action action = Action::Reading) {
    Failure failure;
    failure.error = error;
    failure.action = action;
    return failure;
  }

  // The failure in words for a message, where first when known. "no
  // failure" when ok().
  std::string describe() const;
};

}  // namespace kob

#endif  // KOB_KOB_FAILURE_H
