// SPDX-License-Identifier: GPL-2.0-or-later
// Opens arbitrary bytes as a file and drives the reader with calls decoded
// from the same bytes; then reads a few ranges through a SharedReader, which
// must answer as a fresh KobFile does.
//
// Input: byte 0 holds flags (bit 0: put a valid signature in front; bit 1:
// partial decoding), byte 1 the number of operations; each operation takes
// 3 bytes from the end of the input; the bytes between are the file.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "kob.h"
#include "kob_shared.h"

namespace {

constexpr std::size_t kOperationSize = 3;
constexpr unsigned char kSignature[6] = {'K', 'O', 'B', 0x01, 0x00, 0x00};
constexpr unsigned char kCanary = 0xA5;

// No header claims more than 65535 bytes, and every header takes 6 bytes.
std::uint64_t mostBytesThatCanExist(std::size_t fileSize) {
  return (fileSize / 6 + 1) * std::uint64_t{65535};
}

void checkPosition(KobFile& reader, std::uint64_t limit) {
  const std::int64_t position = reader.tell64();
  FUZZ_CHECK(position >= 0);
  FUZZ_CHECK(static_cast<std::uint64_t>(position) <= limit);
  FUZZ_CHECK(reader.tell() == static_cast<int>(position));
}

// Reads `length` bytes and checks that nothing beyond them was touched;
// returns what was delivered.
std::vector<unsigned char> readChecked(KobFile& reader, unsigned length) {
  std::vector<unsigned char> buf(length + 16, kCanary);
  int n = reader.read(buf.data(), length);
  FUZZ_CHECK(n >= 0 && static_cast<unsigned>(n) <= length);
  for (std::size_t i = length; i < buf.size(); ++i)
    FUZZ_CHECK(buf[i] == kCanary);
  buf.resize(n);
  return buf;
}

void runOperation(KobFile& reader, const std::uint8_t* op, bool packed) {
  const unsigned amount = op[1] | (op[2] << 8);
  switch (op[0] % 6) {
    case 0:
      readChecked(reader, amount % 40000);
      break;
    case 1: {
      int c = reader.get();
      FUZZ_CHECK(c >= -1 && c <= 255);
      break;
    }
    case 2: {
      int whence = op[0] % 3;
      int offset = static_cast<std::int16_t>(amount) * ((op[0] >> 4) + 1);
      int result = reader.seek(offset, whence);
      if (packed) FUZZ_CHECK(result == reader.tell());
      break;
    }
    case 3: {
      const int whence = op[0] % 3;
      const std::int64_t offset =
          std::int64_t{static_cast<std::int16_t>(amount)} << (op[0] >> 3);
      const std::int64_t result = reader.seek64(offset, whence);
      if (packed) FUZZ_CHECK(result == reader.tell64());
      break;
    }
    case 4: {  // the same bytes twice from the same position
      if (!packed) break;
      const std::int64_t position = reader.tell64();
      std::vector<unsigned char> first = readChecked(reader, amount % 3000);
      if (reader.hasError()) break;
      const std::int64_t landed = reader.seek64(position, 0);
      if (reader.hasError()) break;  // e.g. a back-link that leads nowhere
      FUZZ_CHECK(landed == position);
      std::vector<unsigned char> second = readChecked(reader, amount % 3000);
      if (!reader.hasError()) FUZZ_CHECK(first == second);
      break;
    }
    default:
      reader.isEOF();
      break;
  }
}

// A SharedReader's read of `len` bytes at `position` gives the bytes a
// fresh KobFile gives after a seek there, and fails as it does.
void checkSharedRead(const std::string& path, bool partial,
                     std::uint64_t position, unsigned len) {
  kob::SharedReader shared;
  FUZZ_CHECK(shared.open(path.c_str()).ok());
  shared.setPartialDecoding(partial);
  std::vector<unsigned char> a(len), b(len);
  const kob::ReadResult got = shared.readAt(position, a.data(), len);
  KobFile file;
  file.setPartialDecoding(partial);
  FUZZ_CHECK(file.open(path.c_str(), READ));
  int n = 0;
  if (file.seek64(static_cast<std::int64_t>(position), 0) ==
      static_cast<std::int64_t>(position)) {
    n = file.read(b.data(), len);
  }
  FUZZ_CHECK(got.bytes == static_cast<std::size_t>(n));
  FUZZ_CHECK(std::equal(a.begin(), a.begin() + n, b.begin()));
  FUZZ_CHECK(got.ok() == !file.hasError());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 2) return 0;
  const bool addSignature = data[0] & 1;
  const bool partial = data[0] & 2;
  std::size_t operations = data[1];
  data += 2;
  size -= 2;
  operations = std::min(operations, size / kOperationSize);
  const std::uint8_t* ops = data + size - operations * kOperationSize;
  const std::size_t fileSize = size - operations * kOperationSize;

  const std::size_t prefix = addSignature ? sizeof kSignature : 0;
  std::vector<unsigned char> file(prefix + fileSize);
  std::copy(kSignature, kSignature + prefix, file.begin());
  std::copy(data, data + fileSize, file.begin() + static_cast<std::ptrdiff_t>(prefix));
  const std::string& path = kobfuzz::scratchPath("kob-reader-fuzz");
  kobfuzz::writeScratch(path, file.data(), file.size());

  KobFile reader;
  reader.setPartialDecoding(partial);
  FUZZ_CHECK(reader.open(path.c_str(), READ));
  const bool packed = reader.isCompressed();
  const std::uint64_t limit = mostBytesThatCanExist(file.size());
  for (std::size_t i = 0; i < operations; ++i) {
    runOperation(reader, ops + i * kOperationSize, packed);
    if (packed) checkPosition(reader, limit);
  }
  // Reading on to the end must end.
  while (!readChecked(reader, 4096).empty()) {
    if (packed) checkPosition(reader, limit);
  }
  FUZZ_CHECK(reader.close() == 0);
  if (packed) {
    for (std::size_t i = 0; i < operations && i < 4; ++i) {
      const std::uint8_t* op = ops + i * kOperationSize;
      checkSharedRead(path, partial, (op[1] | (op[2] << 8)) % 5000,
                      1 + op[0] % 200);
    }
  }
  return 0;
}
