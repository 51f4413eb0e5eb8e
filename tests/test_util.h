// SPDX-License-Identifier: GPL-2.0-or-later
// Helpers shared by the tests: scratch folders, packing through KobFile, an
// independent decoder of the packed format, and damage helpers.

#ifndef KOB_TESTS_TEST_UTIL_H
#define KOB_TESTS_TEST_UTIL_H

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace kobtest {

// A fresh folder, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path(const std::string& name) const;
  const std::filesystem::path& root() const { return dir; }

 private:
  std::filesystem::path dir;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);

// Damage helpers, in place.
void truncateAt(const std::string& path, std::size_t size);
void flipByte(const std::string& path, std::size_t offset,
              unsigned char mask = 0xFF);

// A seed for a random test: KOB_TEST_SEED when set, else a fresh one. It is
// printed so that a failure can be replayed.
std::uint32_t testSeed(const char* testName);
// The rounds of a random test whose own default is `normal`, scaled by
// KOB_TEST_ROUNDS: a factor (1 when unset, 0.25 a quarter, 4 four times as
// many), so that one setting keeps every test's rounds in proportion.
// Never fewer than one.
int testRounds(int normal);

// Text-like data that compresses, with stretches of random bytes that do not.
std::string makeData(std::size_t size, std::mt19937& rng);

// Packs `data` through KobFile in WRITE with `chunkSize`, feeding it in
// random pieces through write and put, into `path`. Returns the file's bytes.
std::string packFile(const std::string& path, const std::string& data,
                     int chunkSize, std::mt19937& rng);

struct ChunkHeader {
  std::size_t offset;  // file offset of the header
  std::uint32_t dataSize;
  std::uint32_t payloadSize;
  std::uint32_t backLink;
};

// Parses a whole packed file without KobFile: the headers up to and
// including the end marker (and a sealed file's trailer after it, its
// length taken as its head says). Fails the calling test on a malformed
// file.
std::vector<ChunkHeader> parseHeaders(const std::string& packed);
// Whether `packed` is sealed; and its bytes as the plain format holds them,
// what KobFile and kobpack write for the same data: the seal's flag and
// trailer taken away.
bool isSealed(const std::string& packed);
std::string unsealed(const std::string& packed);
// The packed bytes `packed` sealed as `kob --seal` seals them (by way of
// the file `scratch`): the same chunks, members joined into one.
std::string sealedCopy(const std::string& packed, const std::string& scratch);
// Zeroes the payload of the chunk `header` describes in `packed`, so that it
// no longer decompresses.
void spoilPayload(std::string& packed, const ChunkHeader& header);
// The packed file `packed` with a chunk holding no data, whose payload is
// `emptyPayload`, inserted before each chunk numbered in `before` (the end
// marker counts as the last; a number listed twice gets two), back-links
// mended.
std::string withEmptyChunks(const std::string& packed,
                            const std::vector<std::size_t>& before,
                            const std::string& emptyPayload);
// An LZO1X payload that expands to nothing.
inline const std::string kEmptyPayload("\x11\x00\x00", 3);

// Decodes a packed file with its own header parser and plain LZO calls.
std::string decodeIndependently(const std::string& packed);

}  // namespace kobtest

#endif  // KOB_TESTS_TEST_UTIL_H
