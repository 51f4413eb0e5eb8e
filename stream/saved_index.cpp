// SPDX-License-Identifier: GPL-2.0-or-later
#include "saved_index.h"

#include <fcntl.h>
#include <lzo/lzoconf.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "chunk_reader.h"
#include "format.h"
#include "source.h"
#include "unique_fd.h"

namespace kob {
namespace {

constexpr unsigned char kMagic[4] = {'K', 'O', 'B', 'I'};

// How one version lays an index out.
struct Layout {
  int version;
  std::size_t preamble;    // bytes before the records
  std::size_t record;      // bytes a record
  std::size_t trailer;     // the checksum of the whole
  std::size_t countAt;     // where n is
  std::size_t identity;    // bytes of identity from offset 8
};
constexpr Layout kVersion1{1, 52, 6, 4, 44, 36};
constexpr Layout kVersion2{2, 64, 10, 8, 56, 48};

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

// What identifies the packed file an index describes, as `layout` keeps it.
void putIdentity(unsigned char* out, const struct stat& file,
                 const Layout& layout) {
  put64(out, static_cast<std::uint64_t>(file.st_dev));
  put64(out + 8, static_cast<std::uint64_t>(file.st_ino));
  put64(out + 16, static_cast<std::uint64_t>(file.st_size));
  put64(out + 24, static_cast<std::uint64_t>(file.st_mtim.tv_sec));
  put32(out + 32, static_cast<std::uint32_t>(file.st_mtim.tv_nsec));
  if (layout.version >= 2) {
    put64(out + 36, static_cast<std::uint64_t>(file.st_ctim.tv_sec));
    put32(out + 44, static_cast<std::uint32_t>(file.st_ctim.tv_nsec));
  }
}

bool wholeChecksumMatches(const unsigned char* bytes, std::size_t size,
                          const Layout& layout) {
  const std::size_t checked = size - layout.trailer;
  if (layout.version == 1) {
    return get32(bytes + checked) == lzo_adler32(1, bytes, checked);
  }
  return get64(bytes + checked) == XXH3_64bits(bytes, checked);
}

// The most records a packed file of `size` bytes can hold: every chunk at
// least a header, the end marker at least 4 bytes of one.
std::uint64_t mostRecords(std::int64_t size) {
  const std::int64_t room =
      size - kFirstHeaderOffset - static_cast<std::int64_t>(4);
  return room < 0 ? 0 : static_cast<std::uint64_t>(room) / kHeaderSize + 1;
}

// The smallest payloads there are: LZO1X's end code alone expands to
// nothing, and any data takes at least a literal run of one byte too.
constexpr std::uint32_t kEmptyPayloadSize = 3;
constexpr std::uint32_t kSmallestDataPayload = 5;

// Learns the saved records into `built`; false when they do not chain as a
// packed file's headers do, do not fill the file, or list a chunk that
// cannot be (a chunk without data whose payload is not the end code alone,
// a chunk with data whose payload is too small to hold any).
bool rebuild(const unsigned char* records, std::uint64_t count,
             const Layout& layout, std::int64_t fileSize, ChunkIndex& built) {
  static const unsigned char kEndCode[kEmptyPayloadSize] = {0x11, 0, 0};
  static const std::uint32_t kEmptyChecksum =
      payloadChecksum(kEndCode, sizeof kEndCode);
  built.reserve(count, layout.version >= 2);
  for (std::uint64_t i = 0; i < count; ++i) {
    const unsigned char* record = records + layout.record * i;
    ChunkHeader header;
    if (decodeHeader(record, kHeaderSize, built.frontier().previousPayloadSize,
                     header) != Damage::None ||
        header.isEndMarker() != (i + 1 == count)) {
      return false;
    }
    if (header.isEndMarker()) break;
    const bool withChecksum = layout.version >= 2;
    const std::uint32_t checksum = withChecksum ? get32(record + 6) : 0;
    if (header.dataSize == 0
            ? header.payloadSize != kEmptyPayloadSize ||
                  (withChecksum && checksum != kEmptyChecksum)
            : header.payloadSize < kSmallestDataPayload) {
      return false;
    }
    built.pass(header, withChecksum ? &checksum : nullptr);
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

bool sameIdentity(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino &&
         a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

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

IndexState readSavedIndex(const std::string& indexPath, int packedFd,
                          ChunkIndex& index, bool* withChecksums) {
  struct stat packed;
  if (fstat(packedFd, &packed) != 0) return IndexState::Unusable;
  // Whatever sits under the index's name is opened without waiting (a FIFO
  // there must not hold up opening the packed file), and a link there is
  // not followed (anyone who may write the folder could plant one).
  UniqueFd fd(::open(indexPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK |
                                            O_NOCTTY | O_NOFOLLOW));
  if (fd.get() < 0) {
    return errno == ENOENT ? IndexState::Missing : IndexState::Unusable;
  }
  struct stat info;
  if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      (info.st_uid != packed.st_uid && info.st_uid != 0) ||
      (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return IndexState::Unusable;
  }
  unsigned char preamble[kVersion2.preamble];
  const long got = preadFully(fd.get(), preamble, sizeof preamble, 0);
  if (got < static_cast<long>(kVersion1.preamble) ||
      std::memcmp(preamble, kMagic, sizeof kMagic) != 0 ||
      preamble[5] != 0 || preamble[6] != 0 || preamble[7] != 0 ||
      (preamble[4] != 1 && preamble[4] != 2)) {
    return IndexState::Unusable;
  }
  const Layout& layout = preamble[4] == 1 ? kVersion1 : kVersion2;
  if (got < static_cast<long>(layout.preamble)) return IndexState::Unusable;
  unsigned char identity[kVersion2.identity];
  putIdentity(identity, packed, layout);
  if (std::memcmp(preamble + 8, identity, layout.identity) != 0) {
    return IndexState::Stale;
  }
  // The count and the size agree with each other and with the packed file
  // before a byte is allocated for them.
  const std::uint64_t count = get64(preamble + layout.countAt);
  if (count == 0 || count > mostRecords(packed.st_size) ||
      static_cast<std::uint64_t>(info.st_size) !=
          layout.preamble + count * layout.record + layout.trailer) {
    return IndexState::Unusable;
  }
  const auto size = static_cast<std::size_t>(info.st_size);
  std::unique_ptr<unsigned char[]> bytes;
  try {
    bytes = std::make_unique_for_overwrite<unsigned char[]>(size);
  } catch (const std::bad_alloc&) {
    return IndexState::Unusable;
  }
  ChunkIndex built;
  if (preadFully(fd.get(), bytes.get(), size, 0) != static_cast<long>(size) ||
      std::memcmp(bytes.get(), preamble, layout.preamble) != 0 ||
      !wholeChecksumMatches(bytes.get(), size, layout) ||
      !rebuild(bytes.get() + layout.preamble, count, layout,
               static_cast<std::int64_t>(packed.st_size), built)) {
    return IndexState::Unusable;
  }
  index.adopt(std::move(built));
  if (withChecksums != nullptr) *withChecksums = layout.version >= 2;
  return IndexState::Valid;
}

IndexState indexState(const std::string& packedPath) {
  UniqueFd fd(::open(packedPath.c_str(),
                     O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) return IndexState::Missing;
  return indexState(packedPath, fd.get());
}

IndexState indexState(const std::string& packedPath, int packedFd) {
  ChunkIndex index;
  return readSavedIndex(indexPathFor(packedPath), packedFd, index);
}

bool isIndexOf(const std::string& packedPath, int packedFd) {
  struct stat packed;
  if (fstat(packedFd, &packed) != 0) return false;
  UniqueFd fd(::open(indexPathFor(packedPath).c_str(),
                     O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
  struct stat info;
  unsigned char preamble[24];
  return fd.get() >= 0 && fstat(fd.get(), &info) == 0 &&
         S_ISREG(info.st_mode) &&
         preadFully(fd.get(), preamble, sizeof preamble, 0) ==
             static_cast<long>(sizeof preamble) &&
         std::memcmp(preamble, kMagic, sizeof kMagic) == 0 &&
         get64(preamble + 8) == static_cast<std::uint64_t>(packed.st_dev) &&
         get64(preamble + 16) == static_cast<std::uint64_t>(packed.st_ino);
}

ScanReport writeIndex(int packedFd, std::FILE* out) {
  ScanReport report;
  UniqueFd own(::dup(packedFd));
  if (own.get() < 0) {
    report.failure = Failure::ofError(errno);
    return report;
  }
  const SignatureProbe probe = probeSignature(own.get());
  if (!probe.packed || !probe.seekable) {
    if (probe.error != 0 || !probe.seekable) {
      report.failure = Failure::ofError(probe.error != 0 ? probe.error : ESPIPE);
    }
    return report;
  }
  report.packed = true;
  ChunkReader reader(std::make_unique<FileSource>(std::move(own), true), {},
                     false);
  ChunkCursor cursor(reader);
  std::vector<unsigned char> bytes(kVersion2.preamble);
  std::vector<unsigned char> data(kMaxFieldValue);
  auto record = [&bytes](const ChunkEntry& chunk, std::uint32_t checksum) {
    unsigned char saved[kVersion2.record];
    encodeHeader(saved, chunk.dataSize, chunk.payloadSize, chunk.backLink);
    put32(saved + kHeaderSize, checksum);
    bytes.insert(bytes.end(), saved, saved + sizeof saved);
  };
  // Every payload is read, checked as `kob -t` checks it, and summed: an
  // index never vouches for a payload that does not expand to its size.
  Failure failure = cursor.start();
  while (failure.ok() && cursor.state() != ChunkCursor::State::AtEnd) {
    const ChunkEntry chunk = cursor.chunk();
    const unsigned char* payload = nullptr;
    failure = cursor.payload(payload);
    if (failure.failed()) break;
    const std::uint32_t checksum = payloadChecksum(payload, chunk.payloadSize);
    if (chunk.dataSize > 0) failure = cursor.decodeInto(data.data());
    if (failure.failed()) break;
    record(chunk, checksum);
    ++report.chunks;
    report.dataSize += chunk.dataSize;
    report.largestChunk =
        std::max<std::uint32_t>(report.largestChunk, chunk.dataSize);
    failure = cursor.next();
  }
  report.failure = failure;
  struct stat described;
  if (failure.failed()) return report;
  if (fstat(packedFd, &described) != 0) {
    report.failure = Failure::ofError(errno);
    return report;
  }
  record(cursor.chunk(), 0);  // the end marker
  report.packedSize = static_cast<std::int64_t>(described.st_size);
  std::memcpy(bytes.data(), kMagic, sizeof kMagic);
  const unsigned char version[4] = {2, 0, 0, 0};
  std::memcpy(bytes.data() + 4, version, sizeof version);
  putIdentity(bytes.data() + 8, described, kVersion2);
  put64(bytes.data() + kVersion2.countAt,
        (bytes.size() - kVersion2.preamble) / kVersion2.record);
  unsigned char sum[kVersion2.trailer];
  put64(sum, XXH3_64bits(bytes.data(), bytes.size()));
  bytes.insert(bytes.end(), sum, sum + sizeof sum);
  std::fwrite(bytes.data(), 1, bytes.size(), out);
  return report;
}

}  // namespace kob
