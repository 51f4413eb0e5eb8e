// SPDX-License-Identifier: GPL-2.0-or-later
//
// A packed file made ready for a member appended at its end (kob_packer.h).

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "common/io.h"
#include "format/format.h"
#include "kob_packer.h"
#include "kob_scan.h"

namespace kob {

Failure readyToAppend(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return Failure::ofError(errno);
  if (!S_ISREG(info.st_mode) || info.st_size == 0) return {};
  // Where the last end marker begins, and the back-link it must carry:
  // after the last chunk passed, or after a member's end and the signature
  // that follows it.
  std::int64_t endMarker = kFirstHeaderOffset;
  std::uint32_t link = 0;
  const ScanReport report = scanPacked(fd, false, [&](const ChunkInfo& chunk) {
    const bool memberEnd = chunk.payloadSize == 0;
    endMarker = chunk.fileOffset + static_cast<std::int64_t>(kHeaderSize) +
                (memberEnd ? kMemberGap : chunk.payloadSize);
    link = memberEnd ? 0 : chunk.payloadSize;
  });
  if (!report.packed) return Failure::ofDamage(Damage::NotPacked);
  if (report.failure.failed()) return report.failure;
  unsigned char whole[kHeaderSize];
  encodeHeader(whole, 0, 0, link);
  const std::int64_t have = info.st_size - endMarker;
  // A sealed member's end marker is whole, and the scan checked the
  // trailer that follows it: nothing after an end marker passes else.
  if (have > static_cast<std::int64_t>(kHeaderSize) && report.sealedMembers > 0) return {};
  // A reader takes an end marker of 4 or 5 bytes as the end of the data.
  if (have < 4 || have > static_cast<std::int64_t>(kHeaderSize)) {
    return Failure::ofDamage(Damage::CutShort);
  }
  if (have == static_cast<std::int64_t>(kHeaderSize)) return {};
  if (have == 5) {
    unsigned char present = 0;
    if (readFully(fd, &present, 1, info.st_size - 1) != 1) {
      return Failure::ofError(errno ? errno : EIO);
    }
    if (present != whole[4]) {
      Failure broken = Failure::ofDamage(Damage::BrokenBackLink);
      broken.fileOffset = endMarker;
      return broken;
    }
  }
  const auto missing = static_cast<std::size_t>(static_cast<std::int64_t>(kHeaderSize) - have);
  for (std::size_t done = 0; done < missing;) {
    const ssize_t put = pwrite(fd, whole + kHeaderSize - missing + done, missing - done,
                               info.st_size + static_cast<std::int64_t>(done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return Failure::ofError(put < 0 ? errno : EIO, Failure::Action::Writing);
    done += static_cast<std::size_t>(put);
  }
  return {};
}

}  // namespace kob
