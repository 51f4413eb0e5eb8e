// SPDX-License-Identifier: GPL-2.0-or-later
#include "saved_index.h"

#include <fcntl.h>
#include <lzo/lzoconf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "format.h"
#include "source.h"
#include "unique_fd.h"

namespace kob {
namespace {

constexpr unsigned char kMagic[8] = {'K', 'O', 'B', 'I', 1, 0, 0, 0};
constexpr std::size_t kPreambleSize = 52;
constexpr std::size_t kChecksumSize = 4;

void put64(unsigned char* out, std::uint64_t value) {
  for (int i = 7; i >= 0; --i, value >>= 8) {
    out[i] = static_cast<unsigned char>(value);
  }
}

std::uint64_t get64(const unsigned char* in) {
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = (value << 8) | in[i];
  return value;
}

void put32(unsigned char* out, std::uint32_t value) {
  encodeUInt2(out, value >> 16);
  encodeUInt2(out + 2, value);
}

std::uint32_t get32(const unsigned char* in) {
  return (decodeUInt2(in) << 16) | decodeUInt2(in + 2);
}

std::uint32_t checksum(const unsigned char* bytes, std::size_t count) {
  return lzo_adler32(1, bytes, count);
}

// What identifies the packed file an index describes.
void putIdentity(unsigned char* out, const struct stat& file) {
  put64(out, static_cast<std::uint64_t>(file.st_dev));
  put64(out + 8, static_cast<std::uint64_t>(file.st_ino));
  put64(out + 16, static_cast<std::uint64_t>(file.st_size));
  put64(out + 24, static_cast<std::uint64_t>(file.st_mtim.tv_sec));
  put32(out + 32, static_cast<std::uint32_t>(file.st_mtim.tv_nsec));
}

// Learns the saved headers into `built`; false when they do not chain as a
// packed file's headers do, or do not fill the file.
bool rebuild(const unsigned char* headers, std::uint64_t count,
             std::int64_t fileSize, ChunkIndex& built) {
  for (std::uint64_t i = 0; i < count; ++i) {
    ChunkHeader header;
    if (decodeHeader(headers + kHeaderSize * i, kHeaderSize,
                     built.frontier().previousPayloadSize,
                     header) != Damage::None ||
        header.isEndMarker() != (i + 1 == count)) {
      return false;
    }
    if (header.isEndMarker()) break;
    built.pass(header);
  }
  // The end marker ends the file (its back-link may be cut off).
  const std::int64_t after = fileSize - built.frontier().headerOffset;
  if (after < 4 || after > static_cast<std::int64_t>(kHeaderSize)) {
    return false;
  }
  built.assumeEnd();
  return true;
}

}  // namespace

std::string indexPathFor(const std::string& packedPath) {
  return packedPath + ".kbi";
}

const char* describe(IndexState state) {
  switch (state) {
    case IndexState::Valid:
      return "valid";
    case IndexState::Missing:
      return "none";
    case IndexState::Stale:
      return "stale";
    case IndexState::Unusable:
      return "unusable";
  }
  return "unusable";
}

IndexState readSavedIndex(const std::string& packedPath, int packedFd,
                          ChunkIndex& index) {
  struct stat packed;
  if (fstat(packedFd, &packed) != 0) return IndexState::Unusable;
  // Whatever sits under the index's name is opened without waiting: a FIFO
  // there must not hold up opening the packed file.
  UniqueFd fd(::open(indexPathFor(packedPath).c_str(),
                     O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) {
    return errno == ENOENT ? IndexState::Missing : IndexState::Unusable;
  }
  struct stat info;
  if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      (info.st_uid != packed.st_uid && info.st_uid != 0) ||
      (info.st_mode & (S_IWGRP | S_IWOTH)) != 0 ||
      info.st_size < static_cast<off_t>(kPreambleSize + kChecksumSize) ||
      (info.st_size - kPreambleSize - kChecksumSize) % kHeaderSize != 0) {
    return IndexState::Unusable;
  }
  const auto size = static_cast<std::size_t>(info.st_size);
  const auto bytes = std::make_unique_for_overwrite<unsigned char[]>(size);
  const std::size_t checked = size - kChecksumSize;
  if (preadFully(fd.get(), bytes.get(), size, 0) != static_cast<long>(size) ||
      std::memcmp(bytes.get(), kMagic, sizeof kMagic) != 0 ||
      get32(bytes.get() + checked) != checksum(bytes.get(), checked) ||
      get64(bytes.get() + 44) != (checked - kPreambleSize) / kHeaderSize) {
    return IndexState::Unusable;
  }
  unsigned char identity[36];
  putIdentity(identity, packed);
  if (std::memcmp(bytes.get() + 8, identity, sizeof identity) != 0) {
    return IndexState::Stale;
  }
  ChunkIndex built;
  if (!rebuild(bytes.get() + kPreambleSize, get64(bytes.get() + 44),
               static_cast<std::int64_t>(packed.st_size), built)) {
    return IndexState::Unusable;
  }
  index.adopt(std::move(built));
  return IndexState::Valid;
}

IndexState indexState(const std::string& packedPath) {
  UniqueFd fd(::open(packedPath.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return IndexState::Missing;
  ChunkIndex index;
  return readSavedIndex(packedPath, fd.get(), index);
}

ScanReport writeIndex(int packedFd, std::FILE* out) {
  std::vector<unsigned char> bytes(kPreambleSize);
  std::uint32_t lastPayloadSize = 0;
  ScanReport report = scanPacked(packedFd, false, [&](const ChunkInfo& chunk) {
    unsigned char header[kHeaderSize];
    encodeHeader(header, chunk.dataSize, chunk.payloadSize, lastPayloadSize);
    bytes.insert(bytes.end(), header, header + kHeaderSize);
    lastPayloadSize = chunk.payloadSize;
  });
  struct stat packed;
  if (!report.ok() || fstat(packedFd, &packed) != 0) return report;
  unsigned char end[kHeaderSize];
  encodeHeader(end, 0, 0, lastPayloadSize);
  bytes.insert(bytes.end(), end, end + kHeaderSize);
  std::memcpy(bytes.data(), kMagic, sizeof kMagic);
  putIdentity(bytes.data() + 8, packed);
  put64(bytes.data() + 44, (bytes.size() - kPreambleSize) / kHeaderSize);
  unsigned char sum[kChecksumSize];
  put32(sum, checksum(bytes.data(), bytes.size()));
  bytes.insert(bytes.end(), sum, sum + kChecksumSize);
  std::fwrite(bytes.data(), 1, bytes.size(), out);
  return report;
}

}  // namespace kob
