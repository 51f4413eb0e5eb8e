// SPDX-License-Identifier: GPL-2.0-or-later
#include "test_util.h"

#include <gtest/gtest.h>
#include <lzo/lzo1x.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>

#include "kob.h"
#include "kob_packer.h"

namespace kobtest {

TempDir::TempDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "kobtest.XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  dir = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(dir, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(dir, ignored);
}

std::string TempDir::path(const std::string& name) const {
  return (dir / name).string();
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool fileExists(const std::string& path) {
  return std::filesystem::exists(path);
}

void truncateAt(const std::string& path, std::size_t size) {
  std::filesystem::resize_file(path, size);
}

void flipByte(const std::string& path, std::size_t offset, unsigned char mask) {
  std::string bytes = readFile(path);
  bytes.at(offset) = static_cast<char>(bytes[offset] ^ mask);
  writeFile(path, bytes);
}

std::uint32_t testSeed(const char* testName) {
  std::uint32_t seed = std::random_device{}();
  if (const char* fixed = std::getenv("KOB_TEST_SEED")) {
    seed = static_cast<std::uint32_t>(std::strtoul(fixed, nullptr, 10));
  }
  std::cout << testName << ": KOB_TEST_SEED=" << seed << std::endl;
  return seed;
}

int testRounds(int normal) {
  double factor = 1;
  if (const char* text = std::getenv("KOB_TEST_ROUNDS")) {
    char* end = nullptr;
    const double given = std::strtod(text, &end);
    if (end != text && *end == '\0' && given >= 0) factor = given;
  }
  return std::max(1, static_cast<int>(std::ceil(normal * factor)));
}

std::string makeData(std::size_t size, std::mt19937& rng) {
  static const char* const kWords[] = {
      "harbor ", "lantern ", "meadow ", "glacier ", "the ",    "of ",
      "a ",      "\n",       "copper ", "quill ",   "zephyr ", "tide "};
  std::string data;
  data.reserve(size);
  while (data.size() < size) {
    if (rng() % 16 == 0) {
      std::size_t noise = rng() % 300;
      for (std::size_t i = 0; i < noise && data.size() < size; ++i) {
        data.push_back(static_cast<char>(rng()));
      }
    } else {
      data += kWords[rng() % std::size(kWords)];
    }
  }
  data.resize(size);
  return data;
}

std::string packFile(const std::string& path, const std::string& data,
                     int chunkSize, std::mt19937& rng) {
  KobFile writer;
  writer.setBufferSize(chunkSize);
  EXPECT_TRUE(writer.open(path.c_str(), WRITE));
  std::size_t done = 0;
  while (done < data.size()) {
    if (rng() % 4 == 0) {
      EXPECT_EQ(writer.put(static_cast<unsigned char>(data[done])),
                static_cast<unsigned char>(data[done]));
      ++done;
      continue;
    }
    std::size_t piece =
        std::min<std::size_t>(data.size() - done, rng() % (2 * chunkSize + 2));
    EXPECT_EQ(writer.write(data.data() + done, piece), int(piece));
    done += piece;
  }
  EXPECT_EQ(writer.close(), 0);
  return readFile(path);
}

bool isSealed(const std::string& packed) {
  return packed.size() >= 6 && packed.compare(0, 6, std::string("KOB\x01\x01\x00", 6)) == 0;
}

std::vector<ChunkHeader> parseHeaders(const std::string& packed) {
  std::vector<ChunkHeader> headers;
  auto field = [&](std::size_t at) {
    return (std::uint32_t(std::uint8_t(packed.at(at))) << 8) |
           std::uint8_t(packed.at(at + 1));
  };
  const bool sealed = isSealed(packed);
  if (!sealed) {
    EXPECT_EQ(packed.substr(0, 6), std::string("KOB\x01\x00\x00", 6));
  }
  std::size_t offset = 6;
  while (offset + 6 <= packed.size()) {
    ChunkHeader header{offset, field(offset), field(offset + 2),
                       field(offset + 4)};
    headers.push_back(header);
    offset += 6 + header.payloadSize;
    if (header.payloadSize == 0) break;
  }
  // A seal's trailer, "KOBS" and its length, follows the end marker.
  if (sealed && offset + 12 <= packed.size() && packed.compare(offset, 4, "KOBS") == 0) {
    std::uint64_t length = 0;
    for (std::size_t i = 4; i < 12; ++i) length = length << 8 | std::uint8_t(packed[offset + i]);
    offset += length;
  }
  EXPECT_EQ(offset, packed.size()) << "the end marker must end the file";
  return headers;
}

std::string sealedCopy(const std::string& packed, const std::string& scratch) {
  writeFile(scratch, packed);
  char* bytes = nullptr;
  std::size_t length = 0;
  std::FILE* out = open_memstream(&bytes, &length);
  const kob::ScanReport report = kob::sealPacked(kob::openFile(scratch), out);
  std::fclose(out);
  std::string sealed(bytes, length);
  std::free(bytes);
  EXPECT_TRUE(report.failure.ok()) << report.failure.describe();
  return sealed;
}

std::string unsealed(const std::string& packed) {
  if (!isSealed(packed)) return packed;
  const std::vector<ChunkHeader> headers = parseHeaders(packed);
  std::string plain = packed.substr(0, headers.back().offset + 6);
  plain[4] = 0;
  return plain;
}

void spoilPayload(std::string& packed, const ChunkHeader& header) {
  packed.replace(header.offset + 6, header.payloadSize, header.payloadSize,
                 '\0');
}

std::string decodeIndependently(const std::string& packed) {
  std::string data;
  for (const ChunkHeader& header : parseHeaders(packed)) {
    if (header.payloadSize == 0) break;
    std::string chunk(header.dataSize, '\0');
    lzo_uint produced = header.dataSize;
    int result = lzo1x_decompress_safe(
        reinterpret_cast<const unsigned char*>(packed.data()) + header.offset +
            6,
        header.payloadSize, reinterpret_cast<unsigned char*>(chunk.data()),
        &produced, nullptr);
    EXPECT_EQ(result, LZO_E_OK);
    EXPECT_EQ(produced, header.dataSize);
    data += chunk;
  }
  return data;
}

std::string withEmptyChunks(const std::string& packed,
                            const std::vector<std::size_t>& before,
                            const std::string& emptyPayload) {
  std::string out = packed.substr(0, 6);
  std::uint32_t previous = 0;
  auto append = [&](std::uint32_t dataSize, const std::string& payload) {
    const auto size = static_cast<std::uint32_t>(payload.size());
    const char header[6] = {char(dataSize >> 8), char(dataSize),
                            char(size >> 8),     char(size),
                            char(previous >> 8), char(previous)};
    out.append(header, 6);
    out += payload;
    previous = size;
  };
  const std::vector<ChunkHeader> headers =
      parseHeaders(packed);
  for (std::size_t i = 0; i < headers.size(); ++i) {
    for (auto n = std::count(before.begin(), before.end(), i); n > 0; --n) {
      append(0, emptyPayload);
    }
    append(headers[i].dataSize,
           packed.substr(headers[i].offset + 6, headers[i].payloadSize));
  }
  return out;
}

}  // namespace kobtest
