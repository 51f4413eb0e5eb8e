// SPDX-License-Identifier: GPL-2.0-or-later
// Helpers of the salvage tests: packed files put together chunk by chunk
// with anything between, a source that counts its reads, and salvage run
// over bytes in memory.

#ifndef KOB_TESTS_SALVAGE_UTIL_H
#define KOB_TESTS_SALVAGE_UTIL_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "format/codec.h"
#include "format/format.h"
#include "kob_recover.h"
#include "salvage/salvage.h"
#include "source/opening.h"
#include "source/source.h"

namespace salvagetest {

// A packed file put together chunk by chunk.
class Builder {
 public:
  Builder()
      : bytes(reinterpret_cast<const char*>(kob::kSignature),
              sizeof kob::kSignature) {}

  // Appends a chunk holding `data`, linked to the chunk appended before;
  // returns its header's offset.
  std::size_t chunk(const std::string& data, int level = kob::kDefaultLevel) {
    kob::initCompression();
    std::vector<unsigned char> payload(kob::worstCaseCompressedSize(data.size()));
    std::uint32_t size = 0;
    EXPECT_TRUE(kob::compressOnce(
        reinterpret_cast<const unsigned char*>(data.data()),
        static_cast<std::uint32_t>(data.size()), level,
        payload.data(), kob::threadWorkMemory(), size));
    EXPECT_LE(size, kob::kMaxFieldValue);
    const std::size_t at = bytes.size();
    header(static_cast<std::uint32_t>(data.size()), size);
    bytes.append(reinterpret_cast<const char*>(payload.data()), size);
    previous = size;
    return at;
  }
  // Appends bytes that are no chunk's.
  void raw(const std::string& junk) { bytes += junk; }
  // Appends an end marker.
  void marker() { header(0, 0); }
  // The file with its end marker.
  std::string end() {
    marker();
    return bytes;
  }

  std::string bytes;

 private:
  void header(std::uint32_t dataSize, std::uint32_t payloadSize) {
    unsigned char h[kob::kHeaderSize];
    kob::encodeHeader(h, dataSize, payloadSize, previous);
    bytes.append(reinterpret_cast<const char*>(h), sizeof h);
  }
  std::uint32_t previous = 0;
};

struct Counts {
  std::uint64_t reads = 0;
  std::uint64_t bytes = 0;
};

// A file's bytes in memory, read as an object elsewhere is (not in place,
// and of no local identity), every read counted.
class CountingSource final : public kob::Source {
 public:
  // It claims `claimsMore` bytes more than it holds, as a file that shrank
  // after its size was taken.
  CountingSource(std::string aBytes, Counts* aCounts, std::int64_t aClaimsMore = 0)
      : bytes(std::move(aBytes)), counts(aCounts), claimsMore(aClaimsMore) {}
  std::int64_t readAt(std::int64_t offset, unsigned char* into,
                      std::size_t count, int& error) override {
    if (counts != nullptr) {
      ++counts->reads;
      counts->bytes += count;
    }
    if (offset < 0) {
      error = EINVAL;
      return -1;
    }
    const std::size_t start =
        std::min(static_cast<std::size_t>(offset), bytes.size());
    const std::size_t n = std::min(count, bytes.size() - start);
    std::memcpy(into, bytes.data() + start, n);
    return static_cast<std::int64_t>(n);
  }
  bool seekable() const override { return true; }
  kob::Identity identity() const override {
    kob::Identity identity;
    identity.size = static_cast<std::int64_t>(bytes.size()) + claimsMore;
    return identity;
  }

 private:
  std::string bytes;
  Counts* counts;
  std::int64_t claimsMore;
};

struct Salvaged {
  kob::RecoveryReport report;
  std::vector<kob::Loss> losses;
  std::vector<kob::Loss> withoutLoss;  // damage that lost nothing
  std::string data;
};

inline std::string readAll(std::FILE* file) {
  std::string data;
  std::rewind(file);
  char buffer[1 << 16];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
    data.append(buffer, got);
  }
  std::fclose(file);
  return data;
}

// Salvages `packed` through the library's front, by the index `index`.
inline Salvaged recoverBytes(const std::string& packed, Counts* counts = nullptr,
                             const kob::IndexChoice& index = kob::IndexChoice::none(),
                             std::int64_t claimsMore = 0) {
  Salvaged got;
  kob::OpenRules rules;
  rules.needSeek = true;
  std::FILE* out = std::tmpfile();
  got.report = kob::recoverPacked(
      kob::openSource(std::make_unique<CountingSource>(packed, counts, claimsMore), "", rules),
      out,
      [&](const kob::Loss& loss) {
        (loss.kind == kob::Loss::Kind::Lost ? got.losses : got.withoutLoss).push_back(loss);
      },
      index);
  got.data = readAll(out);
  return got;
}

}  // namespace salvagetest

#endif  // KOB_TESTS_SALVAGE_UTIL_H
