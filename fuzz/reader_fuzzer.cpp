// Opens arbitrary bytes as a file and drives the reader with calls decoded
// from the same bytes.
//
// Input: byte 0 holds flags (bit 0: put a valid signature in front), byte 1
// the number of operations; each operation takes 3 bytes from the end of the
// input; the bytes between are the file.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_util.h"
#include "kob.h"

namespace {

constexpr std::size_t kOperationSize = 3;
constexpr unsigned char kSignature[6] = {'K', 'O', 'B', 0x01, 0x00, 0x00};
constexpr unsigned char kCanary = 0xA5;

// No header claims more than 65535 bytes, and every header takes 6 bytes.
std::uint64_t mostBytesThatCanExist(std::size_t fileSize) {
  return (fileSize / 6 + 1) * std::uint64_t{65535};
}

void checkPosition(KobFile& reader, std::uint64_t limit) {
  int position = reader.tell();
  FUZZ_CHECK(position >= 0);
  FUZZ_CHECK(static_cast<std::uint64_t>(position) <= limit);
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
    case 2:
    case 3: {
      int whence = op[0] % 3;
      int offset = static_cast<std::int16_t>(amount) * ((op[0] >> 4) + 1);
      int result = reader.seek(offset, whence);
      if (packed) FUZZ_CHECK(result == reader.tell());
      break;
    }
    case 4: {  // the same bytes twice from the same position
      if (!packed) break;
      int position = reader.tell();
      std::vector<unsigned char> first = readChecked(reader, amount % 3000);
      if (reader.hasError()) break;
      int landed = reader.seek(position, 0);
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 2) return 0;
  const bool addSignature = data[0] & 1;
  std::size_t operations = data[1];
  data += 2;
  size -= 2;
  operations = std::min(operations, size / kOperationSize);
  const std::uint8_t* ops = data + size - operations * kOperationSize;
  const std::size_t fileSize = size - operations * kOperationSize;

  std::vector<unsigned char> file;
  if (addSignature) file.assign(kSignature, kSignature + sizeof kSignature);
  file.insert(file.end(), data, data + fileSize);
  const std::string& path = kobfuzz::scratchPath("kob-reader-fuzz");
  kobfuzz::writeScratch(path, file.data(), file.size());

  KobFile reader(path.c_str(), READ);
  FUZZ_CHECK(reader.isOpen());
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
  return 0;
}
