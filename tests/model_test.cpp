// SPDX-License-Identifier: GPL-2.0-or-later
// Random operation sequences against a model of the data: the bytes, a
// position and an end flag. Packed files of random sizes and chunk sizes must
// answer every call exactly as the model does; plain files must answer as
// standard I/O does.

#include <gtest/gtest.h>

#include <cstdio>

#include "kob.h"
#include "kob_shared.h"
#include "test_util.h"

namespace {

// What a packed reader must answer, call by call.
class ReaderModel {
 public:
  // `leadingChunks`: the file holds chunks (without data) before its end
  // even when it holds no data, so that the start is not the end.
  explicit ReaderModel(std::string bytes, bool leadingChunks = false)
      : data(std::move(bytes)),
        endAtStart(data.empty() && !leadingChunks),
        atEnd(endAtStart) {}

  std::string read(std::size_t length) {
    std::size_t available = data.size() - position;
    if (length > available || available == 0) atEnd = true;
    std::string out = data.substr(position, std::min(length, available));
    position += out.size();
    return out;
  }
  int get() {
    if (position == data.size()) {
      atEnd = true;
      return -1;
    }
    return static_cast<unsigned char>(data[position++]);
  }
  std::int64_t seek(std::int64_t offset, int whence) {
    std::int64_t here = static_cast<std::int64_t>(position);
    std::int64_t target = whence == 0 ? offset : here + offset;
    if (target == here) return here;
    if (target <= 0) {
      position = 0;
      atEnd = endAtStart;
    } else if (target >= std::int64_t(data.size()) && target > here) {
      position = data.size();
      atEnd = true;
    } else {
      position = static_cast<std::size_t>(target);
      atEnd = false;
    }
    return static_cast<std::int64_t>(position);
  }
  std::size_t tell() const { return position; }
  bool isEOF() const { return atEnd; }
  std::size_t size() const { return data.size(); }

 private:
  std::string data;
  std::size_t position = 0;
  bool endAtStart;
  bool atEnd;
};

struct Operation {
  enum Kind { Read, Get, Seek, Tell, IsEOF } kind;
  std::int64_t amount;
  int whence;
};

Operation randomOperation(std::mt19937& rng, std::size_t size, int chunkSize) {
  const auto span = static_cast<std::int64_t>(size + 2 * chunkSize + 2);
  auto anywhere = [&] {
    return static_cast<std::int64_t>(rng() % (2 * span)) - span / 2;
  };
  switch (rng() % 8) {
    case 0:
      return {Operation::Read,
              rng() % 4 == 0 ? 0 : std::int64_t(rng() % (3 * chunkSize + 2)),
              0};
    case 1:  // a lookup's worth: partial decoding's case
      return {Operation::Read, std::int64_t(rng() % 100), 0};
    case 2:
      return {Operation::Get, 0, 0};
    case 3:
      return {Operation::Seek, anywhere(), 0};
    case 4:
      return {Operation::Seek, anywhere() - std::int64_t(size) / 2,
              static_cast<int>(1 + rng() % 2)};
    case 5: {  // small steps around the current spot and chunk edges
      std::int64_t step = static_cast<std::int64_t>(rng() % 5) - 2;
      return {Operation::Seek, step + (rng() % 2 ? chunkSize : 0), 1};
    }
    case 6:
      return {Operation::Tell, 0, 0};
    default:
      return {Operation::IsEOF, 0, 0};
  }
}

// A positional read through `shared`, which must give the model's bytes
// at `position`, whatever the KobFile beside it has done.
void compareSharedRead(kob::SharedReader& shared, const std::string& data,
                       std::uint64_t position, std::size_t length) {
  std::string buf(length + 1, '\xEE');
  const kob::ReadResult got = shared.readAt(position, buf.data(), length);
  ASSERT_TRUE(got.ok()) << got.failure.describe();
  const std::string expected =
      position < data.size() ? data.substr(position, length) : "";
  ASSERT_EQ(buf.substr(0, got.bytes), expected) << "readAt " << position;
  ASSERT_EQ(buf[length], '\xEE') << "wrote past the count asked for";
}

// Runs `count` random operations on `reader` and the model, comparing all;
// with `shared`, a positional read beside every few.
void compareWithModel(KobFile& reader, ReaderModel& model, std::mt19937& rng,
                      int chunkSize, int count,
                      kob::SharedReader* shared = nullptr,
                      const std::string* data = nullptr) {
  std::vector<unsigned char> buf;
  for (int i = 0; i < count; ++i) {
    Operation op = randomOperation(rng, model.size(), chunkSize);
    SCOPED_TRACE(testing::Message() << "operation " << i << " kind " << op.kind
                                    << " amount " << op.amount << " whence "
                                    << op.whence << " at " << model.tell());
    switch (op.kind) {
      case Operation::Read: {
        buf.assign(op.amount + 1, 0xEE);
        int n = reader.read(buf.data(), static_cast<unsigned>(op.amount));
        std::string expected = model.read(op.amount);
        ASSERT_EQ(n, int(expected.size()));
        ASSERT_EQ(std::string(buf.begin(), buf.begin() + n), expected);
        ASSERT_EQ(buf[op.amount], 0xEE) << "wrote past the count asked for";
        break;
      }
      case Operation::Get:
        ASSERT_EQ(reader.get(), model.get());
        break;
      case Operation::Seek:
        // The int and 64-bit forms answer alike below 2 GiB.
        if (rng() % 2) {
          ASSERT_EQ(reader.seek(int(op.amount), op.whence),
                    model.seek(op.amount, op.whence));
        } else {
          ASSERT_EQ(reader.seek64(op.amount, op.whence),
                    model.seek(op.amount, op.whence));
        }
        break;
      case Operation::Tell:
        break;
      case Operation::IsEOF:
        break;
    }
    ASSERT_EQ(reader.tell(), int(model.tell()));
    ASSERT_EQ(reader.tell64(), std::int64_t(model.tell()));
    ASSERT_EQ(reader.isEOF(), model.isEOF());
    ASSERT_FALSE(reader.hasError());
    if (shared != nullptr && rng() % 3 == 0) {
      const std::uint64_t at =
          rng() % 4 == 0 ? 0 : rng() % (model.size() + chunkSize + 2);
      compareSharedRead(*shared, *data, at,
                        rng() % 2 ? rng() % 100 : rng() % (3 * chunkSize + 2));
      if (testing::Test::HasFatalFailure()) return;
    }
  }
}

std::size_t randomSize(std::mt19937& rng, int chunkSize) {
  switch (rng() % 4) {
    case 0:
      return 0;
    case 1:
      return static_cast<std::size_t>(chunkSize) * (1 + rng() % 5);
    default:
      return rng() % (6 * static_cast<std::size_t>(chunkSize) + 1);
  }
}

// KobFile and SharedReader read through one core: both are held to the
// model, over files with and without chunks that hold no data, packed once
// or as several packed files one after another (members), which read as
// one, each sealed or not.
TEST(ReaderModelCheck, PackedFilesAnswerEveryCallAsTheModelDoes) {
  std::mt19937 rng(kobtest::testSeed("PackedFilesAnswerEveryCall"));
  kobtest::TempDir dir;
  const int chunkSizes[] = {1, 2, 3, 16, 100, 1000, 4096, 16384};
  const int rounds = kobtest::testRounds(120);
  for (int round = 0; round < rounds; ++round) {
    int chunkSize = chunkSizes[rng() % std::size(chunkSizes)];
    if (chunkSize < 16 && rng() % 2) chunkSize += 7;
    std::size_t size =
        std::min<std::size_t>(randomSize(rng, chunkSize), 120000);
    std::string data = kobtest::makeData(size, rng);
    const std::string packed =
        kobtest::packFile(dir.path("model.kob"), data, chunkSize, rng);
    std::vector<std::size_t> empties;
    std::string file = packed;
    if (rng() % 3 == 0) {
      const std::size_t chunks = kobtest::parseHeaders(packed).size();
      for (int n = 1 + static_cast<int>(rng() % 4); n > 0; --n) {
        empties.push_back(rng() % chunks);
      }
      file = kobtest::withEmptyChunks(packed, empties, kobtest::kEmptyPayload);
    }
    // Sealed and plain members, in any order.
    int sealedMembers = 0;
    if (rng() % 2) {
      file = kobtest::sealedCopy(file, dir.path("seal.kob"));
      ++sealedMembers;
    }
    int members = 1;
    for (; rng() % 3 == 0 && members < 4; ++members) {
      const std::string more = kobtest::makeData(rng() % 3 == 0 ? 0 : rng() % 40000, rng);
      std::string member = kobtest::packFile(
          dir.path("member.kob"), more, chunkSizes[rng() % std::size(chunkSizes)], rng);
      if (rng() % 2) {
        member = kobtest::sealedCopy(member, dir.path("seal.kob"));
        ++sealedMembers;
      }
      file += member;
      data += more;
    }
    kobtest::writeFile(dir.path("model.kob"), file);
    SCOPED_TRACE(testing::Message()
                 << "round " << round << " size " << size << " chunk size "
                 << chunkSize << " chunks without data " << empties.size()
                 << " members " << members << " sealed " << sealedMembers);
    KobFile reader;
    const bool partial = rng() % 2;
    reader.setPartialDecoding(partial);
    ASSERT_TRUE(reader.open(dir.path("model.kob").c_str(), READ));
    ASSERT_TRUE(reader.isCompressed());
    SCOPED_TRACE(partial ? "partial decoding" : "whole chunks");
    kob::SharedReader shared;
    shared.setPartialDecoding(rng() % 2);
    ASSERT_TRUE(shared.open(dir.path("model.kob").c_str()).ok());
    ReaderModel model(data, !empties.empty() || members > 1);
    compareWithModel(reader, model, rng, chunkSize, 300, &shared, &data);
    if (HasFatalFailure()) return;
  }
}

TEST(ReaderModelCheck, PlainFilesAnswerAsStandardIoDoes) {
  std::mt19937 rng(kobtest::testSeed("PlainFilesAnswerAsStandardIo"));
  kobtest::TempDir dir;
  for (int round = 0; round < kobtest::testRounds(30); ++round) {
    std::string data = kobtest::makeData(rng() % 5000, rng);
    kobtest::writeFile(dir.path("plain"), data);
    KobFile file(dir.path("plain").c_str(), READ);
    std::FILE* reference = std::fopen(dir.path("plain").c_str(), "rb");
    ASSERT_FALSE(file.isCompressed());
    for (int i = 0; i < 300; ++i) {
      Operation op = randomOperation(rng, data.size(), 1000);
      SCOPED_TRACE(testing::Message() << "round " << round << " op " << i);
      if (op.kind == Operation::Read) {
        std::vector<unsigned char> a(op.amount + 1), b(op.amount + 1);
        int n = file.read(a.data(), unsigned(op.amount));
        ASSERT_EQ(n, int(std::fread(b.data(), 1, op.amount, reference)));
        ASSERT_EQ(a, b);
      } else if (op.kind == Operation::Get) {
        ASSERT_EQ(file.get(), std::fgetc(reference));
      } else if (op.kind == Operation::Seek) {
        int whence = op.whence == 0   ? SEEK_SET
                     : op.whence == 1 ? SEEK_CUR
                                      : SEEK_END;
        ASSERT_EQ(file.seek(int(op.amount), whence),
                  std::fseek(reference, long(op.amount), whence));
      }
      ASSERT_EQ(file.tell(), int(std::ftell(reference)));
      ASSERT_EQ(file.isEOF(), std::feof(reference) != 0);
    }
    std::fclose(reference);
  }
}

}  // namespace
