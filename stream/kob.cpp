// SPDX-License-Identifier: GPL-2.0-or-later
#include "kob.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "common/unique_fd.h"
#include "format/codec.h"
#include "format/format.h"
#include "kob_names.h"
#include "kob_open.h"
#include "read/packed_reader.h"
#include "read/plain_reader.h"
#include "source/source.h"
#include "write/packed_writer.h"
#include "write/plain_writer.h"

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
  if (mode == READ) return openReading(kob::openFile(path));
  if (kob::isRemote(path)) {
    errno = EROFS;
    return false;
  }
  if (mode == WRITE && !kob::validChunkSize(bufferSize)) return false;
  return startWriting(std::fopen(path, "wbe"));
}

bool KobFile::open(kob::OpenedFile&& file) {
  close();
  fileMode = READ;
  compressed = false;
  return openReading(std::move(file));
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
  if (mode == READ) {
    return openReading(kob::openFile(owned.release(), kob::OpenRules(),
                                     path != nullptr ? path : ""));
  }
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
    plain = std::make_unique<kob::PlainWriter>(file);
  }
  return true;
}

bool KobFile::openReading(kob::OpenedFile&& file) {
  if (!file.ok() && file.source() == nullptr) {
    errno = file.failure().error != 0 ? file.failure().error : EIO;
    return false;
  }
  // A file whose first read failed opens as plain, its read failing, as
  // fopen and fgetc would answer.
  const int probeError = file.failure().error;
  const std::string indexName =
      indexChoice ? file.indexName(*indexChoice) : file.indexName();
  const bool packed = file.packed();
  const kob::S3Options s3 = file.s3Options();
  const std::uint32_t flags = file.signatureFlags();
  std::unique_ptr<kob::Source> source = file.takeSource();
  std::vector<unsigned char> consumed = file.takeConsumed();
  if (!packed) {
    plainReader = std::make_unique<kob::PlainReader>(
        std::move(source), std::move(consumed), probeError);
    return true;
  }
  reader = std::make_unique<kob::PackedReader>(std::move(source),
                                               std::move(consumed));
  reader->takeUpIndex(indexName, flags, s3);
  reader->setPartialDecoding(partialDecoding);
  compressed = true;
  return true;
}

int KobFile::close() {
  int result = 0;
  if (writer) result = writer->close();
  // A reader's close has nothing to report.
  if (plain && plain->close() != 0 && fileMode != READ) result = -1;
  writer.reset();
  plain.reset();
  plainReader.reset();
  reader.reset();
  return result;
}

bool KobFile::isOpen() { return plain || plainReader || reader || writer; }

bool KobFile::isCompressed() { return compressed; }

bool KobFile::hasError() {
  if (reader) return reader->stopped();
  if (writer) return writer->hasError();
  if (plainReader) return plainReader->hasError();
  return plain && plain->hasError();
}

kob::Damage KobFile::damage() { return failure().damage; }

int KobFile::ioError() {
  if (reader) return reader->failure().error;
  return plainReader ? plainReader->ioError() : 0;
}

kob::Failure KobFile::failure() {
  if (reader) return reader->failure();
  if (writer) return writer->failure();
  if (plainReader && plainReader->hasError()) {
    return kob::Failure::ofError(plainReader->ioError());
  }
  if (plain && plain->hasError()) return kob::Failure::ofError(EIO);
  return {};
}

void KobFile::setIndexFile(const char* indexName) {
  if (indexName == nullptr) {
    indexChoice.reset();
  } else if (*indexName == '\0') {
    indexChoice = std::make_unique<kob::IndexChoice>(kob::IndexChoice::none());
  } else {
    indexChoice = std::make_unique<kob::IndexChoice>(kob::IndexChoice::at(indexName));
  }
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
  if (plainReader) return static_cast<int>(plainReader->read(buf, wanted));
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
  if (plainReader) return plainReader->get();
  return -1;
}

// ---------------------------------------------------------------------------
// Positions

std::int64_t KobFile::seek64(std::int64_t offset, int whence) {
  if (reader) return reader->seek(offset, whence);
  if (plainReader) return plainReader->seek(offset, whence);
  if (plain) return plain->seek(offset, whence) == 0 ? plain->tell() : -1;
  return -1;
}

int KobFile::seek(int offset, int whence) {
  // A plain file answers as fseek does: 0 on success.
  if (plainReader) return plainReader->seek(offset, whence) < 0 ? -1 : 0;
  if (plain) return plain->seek(offset, whence);
  if (!reader) return -1;
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
  if (plainReader) return plainReader->tell();
  if (plain) return plain->tell();
  return writer ? 0 : -1;
}

int KobFile::tell() {
  const std::int64_t position = tell64();
  return position < 0 || position > kLargestIntPosition ? -1 : asInt(position);
}

bool KobFile::isEOF() {
  if (reader) return reader->isEOF();
  if (plainReader) return plainReader->isEOF();
  if (plain) return plain->isEOF();
  return !writer;
}
