// SPDX-License-Identifier: GPL-2.0-or-later
// kob's LZO1X decompressor answers exactly as LZO's own safe one: on streams
// of every kind of data, with room for all of the output or less, and on
// those streams with bytes changed.

#include "format/lzo_decoder.h"

#include <gtest/gtest.h>
#include <lzo/lzo1x.h>

#include "test_util.h"

namespace {

std::string compress(const std::string& data, bool best) {
  static std::vector<unsigned char> work(LZO1X_999_MEM_COMPRESS);
  std::string stream(data.size() + data.size() / 16 + 67, '\0');
  lzo_uint length = 0;
  const auto* in = reinterpret_cast<const unsigned char*>(data.data());
  auto* out = reinterpret_cast<unsigned char*>(stream.data());
  if (best) {
    lzo1x_999_compress(in, data.size(), out, &length, work.data());
  } else {
    lzo1x_1_compress(in, data.size(), out, &length, work.data());
  }
  stream.resize(length);
  return stream;
}

void expectSameAnswers(const std::string& stream, std::size_t room) {
  std::vector<unsigned char> theirs(room + 1), ours(room + 1);
  lzo_uint theirLength = room;
  std::size_t ourLength = room;
  const auto* in = reinterpret_cast<const unsigned char*>(stream.data());
  const int theirResult = lzo1x_decompress_safe(
      in, stream.size(), theirs.data(), &theirLength, nullptr);
  const int ourResult =
      kob::decompressLzo1x(in, stream.size(), ours.data(), &ourLength);
  ASSERT_EQ(ourResult, theirResult) << "room " << room;
  ASSERT_EQ(ourLength, theirLength) << "room " << room;
  ASSERT_TRUE(
      std::equal(ours.begin(), ours.begin() + ourLength, theirs.begin()));
}

TEST(LzoDecoder, AnswersAsLzoItself) {
  ASSERT_EQ(lzo_init(), LZO_E_OK);
  std::mt19937 rng(kobtest::testSeed("LzoDecoderAnswersAsLzo"));
  for (int round = 0; round < kobtest::testRounds(300); ++round) {
    const std::size_t size = rng() % 20000;
    std::string data = kobtest::makeData(size, rng);
    switch (rng() % 4) {
      case 0:  // long runs of one byte: overlapping matches
        for (char& c : data) c = rng() % 50 ? 'a' : 'b';
        break;
      case 1:  // short periods: matches at small distances
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = "xyz"[i % 3];
        break;
      default:
        break;
    }
    const std::string stream = compress(data, rng() % 2);
    SCOPED_TRACE(testing::Message() << "round " << round << " size " << size);
    expectSameAnswers(stream, size);
    expectSameAnswers(stream, rng() % (size + 1));
    expectSameAnswers(stream, size + 100);
    std::string damaged = stream;
    for (int i = 0; i < 3 && !damaged.empty(); ++i) {
      damaged[rng() % damaged.size()] ^= static_cast<char>(1 + rng() % 255);
    }
    expectSameAnswers(damaged, size);
    expectSameAnswers(stream.substr(0, rng() % (stream.size() + 1)), size);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
