// SPDX-License-Identifier: GPL-2.0-or-later
// Writes data decoded from the input with a chunk size and a split of write
// and put calls decoded from it too, then reads it back through KobFile and
// requires the exact data, also after random seeks.
//
// Input: bytes 0-1 the chunk size (little-endian, 0 means 16384), byte 2 a
// seed for the split and the seeks; the rest is the data.

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "fuzz_util.h"
#include "kob.h"

namespace {

constexpr std::size_t kMostChunks = 24;

void writeInPieces(KobFile& writer, const std::uint8_t* data, std::size_t size,
                   std::minstd_rand& rng) {
  std::size_t done = 0;
  while (done < size) {
    if (rng() % 4 == 0) {
      FUZZ_CHECK(writer.put(data[done]) == data[done]);
      ++done;
      continue;
    }
    std::size_t piece = std::min<std::size_t>(size - done, rng() % 5000);
    FUZZ_CHECK(writer.write(reinterpret_cast<const char*>(data + done),
                            static_cast<unsigned>(piece)) == int(piece));
    done += piece;
  }
}

void checkSequentialRead(KobFile& reader, const std::uint8_t* data,
                         std::size_t size) {
  std::vector<unsigned char> back(size + 1);
  FUZZ_CHECK(reader.read(back.data(), size + 1) == int(size));
  FUZZ_CHECK(std::equal(data, data + size, back.begin()));
  FUZZ_CHECK(reader.isEOF());
}

void checkRandomSeeks(KobFile& reader, const std::uint8_t* data,
                      std::size_t size, std::minstd_rand& rng) {
  for (int i = 0; i < 32; ++i) {
    int target = static_cast<int>(rng() % (size + 20)) - 10;
    int expected = std::clamp(target, 0, static_cast<int>(size));
    FUZZ_CHECK(reader.seek(target, 0) == expected);
    unsigned char buf[300];
    unsigned length = rng() % sizeof buf;
    int n = reader.read(buf, length);
    int available = static_cast<int>(size) - expected;
    FUZZ_CHECK(n == std::min<int>(length, available));
    FUZZ_CHECK(std::equal(buf, buf + n, data + expected));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 3) return 0;
  int chunkSize = data[0] | (data[1] << 8);
  if (chunkSize == 0) chunkSize = 16384;
  std::minstd_rand rng(data[2] + 1);
  data += 3;
  size -= 3;
  // Every chunk costs the compressor a fixed set-up; more chunks than this
  // only slow the search down.
  size = std::min<std::size_t>(size, kMostChunks * std::size_t(chunkSize));

  const std::string& path = kobfuzz::scratchPath("kob-roundtrip-fuzz");
  KobFile writer;
  writer.setBufferSize(chunkSize);
  FUZZ_CHECK(writer.open(path.c_str(), WRITE));
  writeInPieces(writer, data, size, rng);
  FUZZ_CHECK(writer.close() == 0);

  KobFile reader(path.c_str(), READ);
  FUZZ_CHECK(reader.isCompressed());
  checkSequentialRead(reader, data, size);
  checkRandomSeeks(reader, data, size, rng);
  FUZZ_CHECK(!reader.hasError());
  return 0;
}
