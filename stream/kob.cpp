// SPDX-License-Identifier: GPL-2.0-or-later
#include "kob.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "format.h"
#include "http_source.h"
#include "packed_reader.h"
#include "packed_writer.h"
#include "plain_file.h"
#include "source.h"
#include "unique_fd.h"

namespace {

// The largest position the int forms of seek and tell can answer.
constexpr std::int64_t kLargestIntPosition = 0xFFFFFFFF;

// Positions of 2 GiB and more come back negative, as documented.
int asInt(std::int64_t position) {
  return static_cast<int>(static_cast<std::uint32_t>(position));
}

}  // namespace

KobFile::KobFile() { kob::initCompression(); }

KobFile::KobFile(const char* path, int mode, int aBufferSize)
    : bufferSize(aBufferSize) {
  kob::initCompression();
  open(path, mode);
}

KobFile::~KobFile() { close(); }

KobFile::KobFile(KobFile&& other) noexcept = default;
// The target's parts finish and close their files as they are replaced.
KobFile& KobFile::operator=(KobFile&& other) noexcept = default;

// ---------------------------------------------------------------------------
// Opening and closing

bool KobFile::open(const char* path, int mode) {
  close();
  fileMode = mode;
  compressed = false;
  if (path == nullptr) return false;
  if (kob::isUrl(path)) {
    if (mode == READ) return openUrl(path);
    errno = EROFS;
    return false;
  }
  if (mode == READ) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    return fd >= 0 && openReading(fd, path);
  }
  if (mode == WRITE && !kob::validChunkSize(bufferSize)) return false;
  return startWriting(std::fopen(path, "wbe"));
}

bool KobFile::openDescriptor(int fd, int mode) {
  return openDescriptor(fd, mode, nullptr);
}

bool KobFile::openDescriptor(int fd, int mode, const char* path) {
  kob::UniqueFd owned(fd);
  close();
  fileMode = mode;
  compressed = false;
  if (fd < 0) return false;
  if (mode == READ) return openReading(owned.release(), path);
  if (mode == WRITE && !kob::validChunkSize(bufferSize)) return false;
  std::FILE* file = fdopen(fd, "wb");
  if (file != nullptr) owned.release();
  return startWriting(file);
}

// Takes `file` over for writing in fileMode: packed or plain.
bool KobFile::startWriting(std::FILE* file) {
  if (file == nullptr) return false;
  if (fileMode == WRITE) {
    writer = std::make_unique<kob::PackedWriter>(file, bufferSize);
    compressed = true;
  } else {
    plain = std::make_unique<kob::PlainFile>(file);
  }
  return true;
}

bool KobFile::openReading(int fd, const char* path) {
  kob::UniqueFd owned(fd);
  kob::SignatureProbe probe = kob::probeSignature(fd);
  if (probe.packed) {
    const bool seekable = probe.seekable;
    const auto streamStart = static_cast<std::int64_t>(probe.consumed.size());
    reader = std::make_unique<kob::PackedReader>(
        std::make_unique<kob::FileSource>(std::move(owned), seekable,
                                          streamStart),
        std::move(probe.consumed));
    if (path != nullptr && seekable) reader->loadSavedIndex(path);
    reader->setPartialDecoding(partialDecoding);
    compressed = true;
    return true;
  }
  std::FILE* file = fdopen(fd, "rb");
  if (file == nullptr) return false;
  owned.release();
  plain = std::make_unique<kob::PlainFile>(file, std::move(probe.consumed),
                                           probe.error != 0);
  return true;
}

namespace {

// A plain object on a server, read in order as a FILE.
struct UrlCookie {
  std::unique_ptr<kob::Source> source;
  std::int64_t next = 0;
};

ssize_t readCookie(void* cookie, char* into, size_t count) {
  auto& url = *static_cast<UrlCookie*>(cookie);
  int error = 0;
  const std::int64_t got = url.source->readAt(
      url.next, reinterpret_cast<unsigned char*>(into), count, error);
  if (got < 0) {
    errno = error;
    return -1;
  }
  url.next += got;
  return static_cast<ssize_t>(got);
}

// Positions in the object, as fseek asks for them; the end is the size the
// server gave.
int seekCookie(void* cookie, off64_t* offset, int whence) {
  auto& url = *static_cast<UrlCookie*>(cookie);
  const std::int64_t base = whence == SEEK_SET   ? 0
                            : whence == SEEK_CUR ? url.next
                            : whence == SEEK_END ? url.source->knownSize()
                                                 : -1;
  if (base < 0 || *offset < -base) {
    errno = EINVAL;
    return -1;
  }
  url.next = base + *offset;
  *offset = url.next;
  return 0;
}

int closeCookie(void* cookie) {
  delete static_cast<UrlCookie*>(cookie);
  return 0;
}

}  // namespace

bool KobFile::openUrl(const char* url) {
  kob::RemoteFile remote = kob::openRemoteFile(url);
  if (!remote.source) {
    errno = remote.error;
    return false;
  }
  if (remote.packed) {
    reader = std::make_unique<kob::PackedReader>(std::move(remote.source),
                                                 std::vector<unsigned char>());
    reader->loadRemoteIndex(kob::openRemoteIndex(url));
    reader->setPartialDecoding(partialDecoding);
    compressed = true;
    return true;
  }
  auto cookie = std::make_unique<UrlCookie>();
  cookie->source = std::move(remote.source);
  std::FILE* file = fopencookie(cookie.get(), "rb",
                                {readCookie, nullptr, seekCookie, closeCookie});
  if (file == nullptr) return false;
  cookie.release();
  plain = std::make_unique<kob::PlainFile>(file);
  return true;
}

int KobFile::close() {
  int result = 0;
  if (writer) result = writer->close();
  // A reader's close has nothing to report.
  if (plain && plain->close() != 0 && fileMode != READ) result = -1;
  writer.reset();
  plain.reset();
  reader.reset();
  return result;
}

bool KobFile::isOpen() { return plain || reader || writer; }

bool KobFile::isCompressed() { return compressed; }

bool KobFile::hasError() {
  if (reader) return reader->stopped();
  if (writer) return writer->hasError();
  return plain && plain->hasError();
}

kob::Damage KobFile::damage() { return failure().damage; }

int KobFile::ioError() { return reader ? reader->failure().error : 0; }

kob::Failure KobFile::failure() {
  if (reader) return reader->failure();
  if (writer) return writer->failure();
  if (plain && plain->hasError()) return kob::Failure::ofError(EIO);
  return {};
}

int KobFile::getBufferSize() { return bufferSize; }

void KobFile::setBufferSize(int size) { bufferSize = size; }

void KobFile::setPartialDecoding(bool on) {
  partialDecoding = on;
  if (reader) reader->setPartialDecoding(on);
}

// ---------------------------------------------------------------------------
// Reading and writing

int KobFile::read(unsigned char* buf, unsigned int len) {
  const std::size_t wanted = std::min<std::size_t>(len, INT_MAX);
  if (reader) return static_cast<int>(reader->read(buf, wanted));
  if (plain) return static_cast<int>(plain->read(buf, wanted));
  return 0;
}

int KobFile::write(const char* buf, unsigned int len) {
  const unsigned int wanted = std::min<unsigned int>(len, INT_MAX);
  if (writer) return static_cast<int>(writer->write(buf, wanted));
  if (plain) return static_cast<int>(plain->write(buf, wanted));
  return 0;
}

int KobFile::put(int c) {
  if (writer) return writer->put(c);
  if (plain) return plain->put(c);
  return -1;
}

int KobFile::get() {
  if (reader) return reader->get();
  if (plain) return plain->get();
  return -1;
}

// ---------------------------------------------------------------------------
// Positions

std::int64_t KobFile::seek64(std::int64_t offset, int whence) {
  if (reader) return reader->seek(offset, whence);
  if (plain) return plain->seek(offset, whence);
  return -1;
}

int KobFile::seek(int offset, int whence) {
  if (!reader) return static_cast<int>(seek64(offset, whence));
  const auto before = static_cast<std::int64_t>(reader->tell());
  const std::int64_t target = whence == 0 ? offset : before + offset;
  // A stream could not come back from beyond 4 GiB.
  if (target > kLargestIntPosition && !reader->seekable()) return -1;
  const std::int64_t landed = reader->seek(offset, whence);
  if (landed <= kLargestIntPosition) return landed < 0 ? -1 : asInt(landed);
  reader->seek(before, 0);
  return -1;
}

std::int64_t KobFile::tell64() {
  if (reader) return static_cast<std::int64_t>(reader->tell());
  if (plain) return plain->tell();
  return writer ? 0 : -1;
}

int KobFile::tell() {
  const std::int64_t position = tell64();
  return position < 0 || position > kLargestIntPosition ? -1 : asInt(position);
}

bool KobFile::isEOF() {
  if (reader) return reader->isEOF();
  if (plain) return plain->isEOF();
  return !writer;
}
