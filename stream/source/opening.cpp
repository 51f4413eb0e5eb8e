// SPDX-License-Identifier: GPL-2.0-or-later
//
// The one opening of a file to be read (kob_open.h).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/io.h"
#include "format/format.h"
#include "kob_names.h"
#include "kob_open.h"
#include "source/opening.h"
#include "source/schemes.h"
#include "source/source.h"

namespace kob {
namespace {

bool seeks(const struct stat& info) {
  return S_ISREG(info.st_mode) || S_ISBLK(info.st_mode);
}

// Why a file of this kind cannot be read where seeking is needed; 0 when
// it can.
int cannotSeek(const struct stat& info) {
  if (seeks(info)) return 0;
  return S_ISDIR(info.st_mode) ? EISDIR : ESPIPE;
}

}  // namespace

OpenedFile::OpenedFile() = default;
OpenedFile::~OpenedFile() = default;
OpenedFile::OpenedFile(OpenedFile&&) noexcept = default;
OpenedFile& OpenedFile::operator=(OpenedFile&&) noexcept = default;

bool OpenedFile::seekable() const { return from && from->seekable(); }

std::string OpenedFile::shownName() const {
  return standardInput ? "(stdin)" : displayName(given);
}

std::string OpenedFile::indexName(const IndexChoice& choice) const {
  if (choice.where == IndexChoice::Where::At) return choice.name;
  if (choice.where == IndexChoice::Where::None) return std::string();
  return standardInput || given.empty() ? std::string() : indexNameFor(given);
}

const struct stat* OpenedFile::localStatus() const {
  return local ? &status : nullptr;
}

int OpenedFile::descriptor() const {
  const auto* file = dynamic_cast<const FileSource*>(from.get());
  return file ? file->descriptor() : -1;
}

std::int64_t OpenedFile::size() const {
  return from ? from->identity().size : -1;
}

long OpenedFile::readOn(void* into, std::size_t count) {
  auto* out = static_cast<unsigned char*>(into);
  const auto early = static_cast<std::size_t>(std::max<std::int64_t>(
      0, static_cast<std::int64_t>(consumed.size()) - nextRead));
  if (early > 0) {
    const std::size_t n = std::min(early, count);
    std::memcpy(out, consumed.data() + nextRead, n);
    nextRead += static_cast<std::int64_t>(n);
    return static_cast<long>(n);
  }
  if (!from || count == 0) return 0;
  int error = 0;
  const std::int64_t got = from->readAt(nextRead, out, count, error);
  if (got < 0) {
    errno = error;
    return -1;
  }
  nextRead += got;
  return static_cast<long>(got);
}

std::unique_ptr<Source> OpenedFile::takeSource() { return std::move(from); }

std::vector<unsigned char> OpenedFile::takeConsumed() {
  return std::move(consumed);
}

OpenedFile openFile(int fd, const OpenRules& rules, const std::string& name) {
  UniqueFd owned(fd);
  OpenedFile file;
  file.given = name;
  file.local = true;
  if (fd < 0) {
    file.why = Failure::ofError(EBADF);
    return file;
  }
  if (fstat(fd, &file.status) != 0) {
    file.why = Failure::ofError(errno);
    return file;
  }
  const bool seekable = seeks(file.status);
  if ((rules.needSeek && !seekable) ||
      (rules.regularOnly && !S_ISREG(file.status.st_mode))) {
    file.why = Failure::ofError(cannotSeek(file.status));
    if (file.why.error == 0) file.why = Failure::ofError(ESPIPE);  // a disk
    return file;
  }
  // A file that can seek is read with pread and stays where it was; a
  // stream's bytes are kept, so that none is lost.
  // The whole signature: its flags come with the test, in the same read.
  unsigned char head[sizeof kSignature];
  const long got = !rules.testSignature
                       ? 0
                       : readFully(fd, head, sizeof head, seekable ? 0 : -1);
  // A file whose first read fails is still there, for a caller that would
  // answer as standard I/O does: opened, failing on its first read.
  if (got < 0) file.why = Failure::ofError(errno);
  file.isPacked = got > 0 && hasSignature(head, static_cast<std::size_t>(got));
  if (file.isPacked) file.flags = signatureFlags(head, static_cast<std::size_t>(got));
  if (!seekable && got > 0) file.consumed.assign(head, head + got);
  if (rules.needPacked && !file.isPacked && file.why.ok()) {
    file.why = Failure::ofDamage(Damage::NotPacked);
  }
  if (rules.mapIntoMemory && S_ISREG(file.status.st_mode)) {
    file.from = mapFile(owned);
    if (file.from) return file;
  }
  file.from = std::make_unique<FileSource>(
      std::move(owned), seekable,
      static_cast<std::int64_t>(file.consumed.size()));
  return file;
}

OpenedFile openSource(std::unique_ptr<Source> source, const std::string& name,
                      const OpenRules& rules) {
  OpenedFile file;
  file.given = name;
  if (rules.needSeek && !source->seekable()) {
    file.why = Failure::ofError(ESPIPE);
    return file;
  }
  unsigned char head[sizeof kSignature];
  std::size_t got = 0;
  int error = 0;
  while (got < sizeof head) {
    const std::int64_t n =
        source->readAt(static_cast<std::int64_t>(got), head + got,
                       sizeof head - got, error);
    if (n < 0) {
      file.why = Failure::ofError(error);
      return file;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  file.isPacked = hasSignature(head, got);
  if (file.isPacked) file.flags = signatureFlags(head, got);
  if (!source->seekable()) file.consumed.assign(head, head + got);
  if (rules.needPacked && !file.isPacked) {
    file.why = Failure::ofDamage(Damage::NotPacked);
    return file;
  }
  file.from = std::move(source);
  return file;
}

OpenedFile openFile(const std::string& name, const OpenRules& rules) {
  if (rules.dashIsStandardInput && name == "-") {
    OpenedFile file = openFile(fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0), rules, name);
    file.standardInput = true;
    return file;
  }
  if (const Scheme* scheme = schemeOf(name)) {
    Failure failure;
    std::unique_ptr<Source> source = scheme->open(name, Purpose::Data, rules, failure);
    if (!source) {
      OpenedFile file;
      file.given = name;
      file.why = failure;
      return file;
    }
    OpenedFile file = openSource(std::move(source), name, rules);
    file.s3 = rules.s3;
    return file;
  }
  // What lies under the name decides how it is opened: a FIFO waits for a
  // writer when opened, so where seeking is needed it is refused unopened;
  // anything else opens without waiting, so that a FIFO swapped in
  // meanwhile cannot hold the caller up.
  struct stat found;
  const int nofollow = rules.followLinks ? 0 : O_NOFOLLOW;
  const bool fifo = (rules.followLinks ? stat(name.c_str(), &found)
                                       : lstat(name.c_str(), &found)) == 0 &&
                    S_ISFIFO(found.st_mode);
  if (fifo && (rules.needSeek || rules.regularOnly)) {
    OpenedFile file;
    file.given = name;
    file.local = true;
    file.status = found;
    file.why = Failure::ofError(ESPIPE);
    return file;
  }
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY |
                                          nofollow | (fifo ? 0 : O_NONBLOCK));
  if (fd < 0) {
    OpenedFile file;
    file.given = name;
    file.why = Failure::ofError(errno);
    // What lay there, for a caller that words its refusal by kind.
    file.local = lstat(name.c_str(), &file.status) == 0;
    return file;
  }
  // O_NONBLOCK changes nothing for a regular file or a disk; a stream
  // swapped in is read as streams are, waiting for its bytes.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return openFile(fd, rules, name);
}

}  // namespace kob
