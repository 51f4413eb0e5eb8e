// SPDX-License-Identifier: GPL-2.0-or-later
// Damaged packed files: cut short anywhere, or with any header byte changed.
// The reader must end every call, never serve a byte that is not the true
// data at its position, serve the chunks before the damage exactly, and set
// hasError() for damage it can see.

#include <gtest/gtest.h>
#include <lzo/lzo1x.h>

#include "kob.h"
#include "test_util.h"

namespace {

using kobtest::ChunkHeader;

struct Packed {
  std::string data;
  std::string bytes;
  std::vector<ChunkHeader> headers;
};

Packed makePacked(const std::string& path, std::size_t size, int chunkSize) {
  std::mt19937 rng(static_cast<unsigned>(size * 31 + chunkSize));
  Packed p;
  p.data = kobtest::makeData(size, rng);
  p.bytes = kobtest::packFile(path, p.data, chunkSize, rng);
  p.headers = kobtest::parseHeaders(p.bytes);
  return p;
}

// Reads the file to its end in odd-sized blocks; checks the answers of a
// stopped reader afterwards. Returns the bytes delivered.
std::string readToEnd(KobFile& reader) {
  std::string out;
  unsigned char buf[37];
  for (int n; (n = reader.read(buf, sizeof buf)) > 0;) out.append(buf, buf + n);
  EXPECT_TRUE(reader.isEOF());
  EXPECT_EQ(reader.tell(), int(out.size()));
  EXPECT_EQ(reader.get(), -1);
  EXPECT_EQ(reader.read(buf, 1), 0);
  return out;
}

// The uncompressed size held by the chunks whose header and payload lie
// entirely within the first `length` bytes of the file.
std::size_t completeChunkData(const Packed& p, std::size_t length) {
  std::size_t total = 0;
  for (const ChunkHeader& h : p.headers) {
    if (h.payloadSize == 0 || h.offset + 6 + h.payloadSize > length) break;
    total += h.dataSize;
  }
  return total;
}

// Random seeks and reads; every byte served must be the true byte there.
void checkServedBytesAreTrue(KobFile& reader, const std::string& data,
                             std::mt19937& rng) {
  for (int i = 0; i < 60; ++i) {
    int target = static_cast<int>(rng() % (data.size() + 40)) - 20;
    int landed = reader.seek(target, rng() % 2 ? 0 : 1);
    ASSERT_GE(landed, 0);
    ASSERT_LE(landed, int(data.size()));
    int position = reader.tell();
    ASSERT_EQ(position, landed);
    unsigned char buf[50];
    int n = reader.read(buf, rng() % sizeof buf);
    ASSERT_LE(position + n, int(data.size()));
    ASSERT_EQ(std::string(buf, buf + n), data.substr(position, n));
    int c = reader.get();
    if (c >= 0) {
      ASSERT_EQ(c, static_cast<unsigned char>(data[position + n]));
    }
  }
}

TEST(DamagedFile, CutAtEveryOffsetServesOnlyTheCompleteChunks) {
  kobtest::TempDir dir;
  const std::string path = dir.path("cut.kob");
  const Packed p = makePacked(path, 700, 100);
  std::mt19937 rng(kobtest::testSeed("CutAtEveryOffset"));
  for (std::size_t length = 4; length < p.bytes.size(); ++length) {
    SCOPED_TRACE(testing::Message()
                 << "cut at " << length << " of " << p.bytes.size());
    kobtest::writeFile(path, p.bytes);
    kobtest::truncateAt(path, length);
    KobFile reader(path.c_str(), READ);
    ASSERT_TRUE(reader.isCompressed());
    std::string served = readToEnd(reader);
    EXPECT_EQ(served, p.data.substr(0, completeChunkData(p, length)));
    // Only a cut inside the end marker's back-link loses nothing.
    EXPECT_EQ(reader.hasError(), length < p.bytes.size() - 2);

    KobFile seeker(path.c_str(), READ);
    checkServedBytesAreTrue(seeker, p.data, rng);
    if (HasFatalFailure()) return;
  }
}

TEST(DamagedFile, ChangedSizeFieldsAreCaughtBeforeTheChunkIsServed) {
  kobtest::TempDir dir;
  const std::string path = dir.path("changed.kob");
  const Packed p = makePacked(path, 700, 100);
  for (std::size_t chunk = 0; chunk + 1 < p.headers.size(); ++chunk) {
    for (std::size_t byte = 0; byte < 4; ++byte) {  // chunkDataSize, chunkSize
      for (unsigned char mask : {0x01, 0x80, 0xFF}) {
        SCOPED_TRACE(testing::Message() << "chunk " << chunk << " byte " << byte
                                        << " mask " << int(mask));
        kobtest::writeFile(path, p.bytes);
        kobtest::flipByte(path, p.headers[chunk].offset + byte, mask);
        KobFile reader(path.c_str(), READ);
        std::string served = readToEnd(reader);
        EXPECT_TRUE(reader.hasError());
        EXPECT_EQ(served, p.data.substr(0, completeChunkData(
                                               p, p.headers[chunk].offset)));
      }
    }
  }
}

// A chunk whose data size was changed to 0 looks like a chunk without data,
// but its payload expands to more than nothing: reading through stops at
// it, serving exactly the chunks before.
TEST(DamagedFile, ADataSizeChangedToZeroStopsTheReadingThere) {
  kobtest::TempDir dir;
  const std::string path = dir.path("zeroed.kob");
  const Packed p = makePacked(path, 700, 100);
  for (std::size_t chunk = 0; chunk + 1 < p.headers.size(); ++chunk) {
    SCOPED_TRACE(testing::Message() << "chunk " << chunk);
    std::string zeroed = p.bytes;
    zeroed[p.headers[chunk].offset] = 0;
    zeroed[p.headers[chunk].offset + 1] = 0;
    kobtest::writeFile(path, zeroed);
    KobFile reader(path.c_str(), READ);
    EXPECT_EQ(readToEnd(reader), p.data.substr(0, 100 * chunk));
    EXPECT_EQ(reader.damage(), kob::Damage::WrongExpandedSize);
  }
}

TEST(DamagedFile, AnyChangedHeaderByteNeverServesWrongBytesBeforeIt) {
  kobtest::TempDir dir;
  const std::string path = dir.path("changed.kob");
  const Packed p = makePacked(path, 700, 100);
  std::mt19937 rng(kobtest::testSeed("AnyChangedHeaderByte"));
  for (const ChunkHeader& h : p.headers) {
    for (std::size_t byte = 0; byte < 6; ++byte) {
      for (unsigned char mask : {0x01, 0x10, 0x80, 0xFF}) {
        SCOPED_TRACE(testing::Message() << "header at " << h.offset << " byte "
                                        << byte << " mask " << int(mask));
        kobtest::writeFile(path, p.bytes);
        kobtest::flipByte(path, h.offset + byte, mask);
        KobFile reader(path.c_str(), READ);
        std::string served = readToEnd(reader);
        EXPECT_LE(served.size(), p.data.size());
        EXPECT_EQ(served, p.data.substr(0, served.size()));
        EXPECT_GE(served.size(), completeChunkData(p, h.offset));

        // Seeks may be misled by a size they skip over unread, but must end
        // and stay within what the headers claim.
        KobFile seeker(path.c_str(), READ);
        for (int i = 0; i < 40; ++i) {
          int landed =
              seeker.seek(static_cast<int>(rng() % 1000) - 100, rng() % 2);
          ASSERT_GE(landed, 0);
          ASSERT_LE(landed, 65535 * 8);
          unsigned char buf[64];
          ASSERT_LE(seeker.read(buf, rng() % 64), 64);
        }
      }
    }
  }
}

TEST(DamagedFile, BrokenBackLinkIsDamageWhereverItIsMet) {
  kobtest::TempDir dir;
  const std::string path = dir.path("link.kob");
  const Packed p = makePacked(path, 500, 100);
  for (unsigned char mask : {0x01, 0x40, 0xFF}) {
    kobtest::writeFile(path, p.bytes);
    kobtest::flipByte(path, p.headers[3].offset + 5, mask);
    KobFile reader(path.c_str(), READ);
    EXPECT_EQ(reader.seek(150, 0), 150);  // before it: unharmed
    EXPECT_EQ(reader.get(), static_cast<unsigned char>(p.data[150]));
    EXPECT_FALSE(reader.hasError());
    EXPECT_EQ(reader.seek(350, 0), 300);  // at or past it: stopped there
    EXPECT_TRUE(reader.hasError());
    EXPECT_EQ(reader.damage(), kob::Damage::BrokenBackLink);
    EXPECT_EQ(reader.get(), -1);
    EXPECT_TRUE(reader.isEOF());
    EXPECT_EQ(reader.seek(0, 0), 300) << "a stopped reader does not move";

    KobFile through(path.c_str(), READ);
    EXPECT_EQ(readToEnd(through), p.data.substr(0, 300));
    EXPECT_EQ(through.damage(), kob::Damage::BrokenBackLink);
    reader.close();
    EXPECT_FALSE(reader.hasError());
  }
}

// Each kind of damage in one field or byte is named for what is wrong, not
// for how the reader happened to notice it, and the chunks before it are
// served exactly, and nothing of it.
TEST(DamagedFile, DamageIsNamedForWhatIsWrongAndTheChunksBeforeAreServed) {
  kobtest::TempDir dir;
  const std::string path = dir.path("named.kob");
  const Packed p = makePacked(path, 500, 100);
  const ChunkHeader& second = p.headers[1];
  // The file with the field at `at` of the second header (0 data size, 2
  // payload size, 4 back-link) set to `value`.
  auto withField = [&](std::size_t at, std::uint32_t value) {
    std::string bytes = p.bytes;
    bytes[second.offset + at] = static_cast<char>(value >> 8);
    bytes[second.offset + at + 1] = static_cast<char>(value);
    return bytes;
  };
  std::string spoiled = p.bytes;
  kobtest::spoilPayload(spoiled, p.headers[2]);
  struct Case {
    const char* what;
    std::string bytes;
    kob::Damage damage;
    std::size_t served;
  };
  const Case cases[] = {
      {"a payload that expands to more than its size", withField(0, second.dataSize - 1),
       kob::Damage::WrongExpandedSize, 100},
      {"a payload that expands to less than its size", withField(0, second.dataSize + 1),
       kob::Damage::WrongExpandedSize, 100},
      {"a payload the decompressor rejects", spoiled, kob::Damage::PayloadRejected, 200},
      {"a payload cut short", p.bytes.substr(0, second.offset + 6 + 2), kob::Damage::CutShort,
       100},
      {"a header cut short", p.bytes.substr(0, second.offset + 3), kob::Damage::CutShort, 100},
      {"a broken back-link", withField(4, second.backLink ^ 1), kob::Damage::BrokenBackLink, 100},
      {"a chunk marked as the end", withField(2, 0), kob::Damage::DataAfterEnd, 100},
      {"a byte after the end marker", p.bytes + "x", kob::Damage::DataAfterEnd, 500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kobtest::writeFile(path, c.bytes);
    KobFile reader(path.c_str(), READ);
    EXPECT_EQ(readToEnd(reader), p.data.substr(0, c.served));
    EXPECT_TRUE(reader.hasError());
    EXPECT_EQ(reader.damage(), c.damage);
    EXPECT_EQ(reader.ioError(), 0);
  }
}

}  // namespace

namespace {

// What one reader object carries from file to file, and around damage.
TEST(ReaderState, ReopeningOnASecondPackedFileForgetsTheFirst) {
  kobtest::TempDir dir;
  const Packed first = makePacked(dir.path("a.kob"), 900, 100);
  const Packed second = makePacked(dir.path("b.kob"), 5000, 700);
  KobFile reader(dir.path("a.kob").c_str(), READ);
  EXPECT_EQ(reader.seek(850, 0), 850);  // learns all of the first file
  ASSERT_TRUE(reader.open(dir.path("b.kob").c_str(), READ));
  for (int target : {4000, 850, 150, 4999, 700}) {
    EXPECT_EQ(reader.seek(target, 0), target);
    EXPECT_EQ(reader.get(), static_cast<unsigned char>(second.data[target]));
  }
  EXPECT_EQ(reader.seek(99999, 0), 5000);
  EXPECT_FALSE(reader.hasError());
}

TEST(ReaderState, AGoodFileOpenedAfterDamageHasNoError) {
  kobtest::TempDir dir;
  const Packed good = makePacked(dir.path("good.kob"), 300, 100);
  Packed bad = makePacked(dir.path("bad.kob"), 300, 100);
  kobtest::spoilPayload(bad.bytes, bad.headers[0]);
  kobtest::writeFile(dir.path("bad.kob"), bad.bytes);
  KobFile reader(dir.path("bad.kob").c_str(), READ);
  EXPECT_EQ(reader.get(), -1);
  ASSERT_TRUE(reader.hasError());
  ASSERT_TRUE(reader.open(dir.path("good.kob").c_str(), READ));
  EXPECT_FALSE(reader.hasError());
  EXPECT_EQ(reader.damage(), kob::Damage::None);
  EXPECT_EQ(readToEnd(reader), good.data);
  EXPECT_FALSE(reader.hasError());
}

TEST(ReaderState, SeekBackToTheChunkAfterADamagedOneServesIt) {
  kobtest::TempDir dir;
  const std::string path = dir.path("d.kob");
  Packed p = makePacked(path, 800, 100);
  kobtest::spoilPayload(p.bytes, p.headers[2]);
  kobtest::writeFile(path, p.bytes);
  KobFile reader(path.c_str(), READ);
  EXPECT_EQ(reader.seek(650, 0), 650);  // passes chunk 2 unread
  EXPECT_EQ(reader.get(), static_cast<unsigned char>(p.data[650]));
  EXPECT_EQ(reader.seek(300, 0), 300);
  EXPECT_EQ(reader.get(), static_cast<unsigned char>(p.data[300]));
  EXPECT_EQ(reader.seek(299, 0), 299);  // the damaged chunk itself
  EXPECT_EQ(reader.get(), -1);
  EXPECT_EQ(reader.damage(), kob::Damage::PayloadRejected);
  EXPECT_EQ(reader.tell(), 200);
}

}  // namespace

namespace {

// With partial decoding, a changed payload may go unnoticed where a read
// does not reach, but no byte is ever served from beyond the point where
// the decompressor rejects the payload, and every byte served is what it
// produced there.
TEST(PartialDecoding, NeverServesPastWhereTheDecoderRejects) {
  kobtest::TempDir dir;
  const std::string path = dir.path("partial.kob");
  const Packed p = makePacked(path, 8000, 2000);
  std::mt19937 rng(kobtest::testSeed("NeverServesPastWhereTheDecoderRejects"));
  int rejected = 0;
  for (std::size_t chunk = 0; chunk + 1 < p.headers.size(); ++chunk) {
    const ChunkHeader& h = p.headers[chunk];
    for (std::size_t at = 0; at < h.payloadSize; at += 3) {
      std::string bytes = p.bytes;
      bytes[h.offset + 6 + at] ^= static_cast<char>(at % 2 ? 0x01 : 0x80);
      kobtest::writeFile(path, bytes);
      // What the decompressor makes of the changed payload, and how far.
      std::string produced(h.dataSize, '\0');
      lzo_uint length = h.dataSize;
      const int result = lzo1x_decompress_safe(
          reinterpret_cast<const unsigned char*>(bytes.data()) + h.offset + 6,
          h.payloadSize, reinterpret_cast<unsigned char*>(produced.data()),
          &length, nullptr);
      const std::size_t accepted = length;
      rejected += result != LZO_E_OK;

      KobFile reader;
      reader.setPartialDecoding(true);
      ASSERT_TRUE(reader.open(path.c_str(), READ));
      const std::size_t start = 2000 * chunk;
      for (int i = 0; i < 20 && !reader.hasError(); ++i) {
        const std::size_t offset = rng() % h.dataSize;
        ASSERT_EQ(reader.seek64(start + offset, 0), start + offset);
        unsigned char buf[100];
        const int n = reader.read(buf, rng() % sizeof buf);
        const std::size_t inChunk =
            std::min<std::size_t>(n, h.dataSize - offset);
        if (inChunk == 0) continue;
        ASSERT_LE(offset + inChunk, accepted)
            << "served past the point rejected, chunk " << chunk << " byte "
            << at;
        ASSERT_EQ(std::string(buf, buf + inChunk),
                  produced.substr(offset, inChunk));
      }
    }
  }
  EXPECT_GT(rejected, 100);
}

}  // namespace

namespace {

// A chunk whose header claims 100 bytes more than its payload holds: the
// damage lies past the first bytes of the chunk.
class PartialDecodingOfAShortChunk : public ::testing::Test {
 protected:
  void SetUp() override {
    p = makePacked(path(), 3 * 4096, 4096);
    std::string bytes = p.bytes;
    const std::uint32_t claimed = p.headers[1].dataSize + 100;
    bytes[p.headers[1].offset] = static_cast<char>(claimed >> 8);
    bytes[p.headers[1].offset + 1] = static_cast<char>(claimed);
    kobtest::writeFile(path(), bytes);
  }
  std::string path() const { return dir.path("short.kob"); }
  // Reads `length` bytes at `position` of the data.
  std::string readAt(KobFile& reader, std::size_t position,
                     std::size_t length) {
    EXPECT_EQ(reader.seek64(static_cast<std::int64_t>(position), 0),
              static_cast<std::int64_t>(position));
    std::string out(length, '\0');
    const int n = reader.read(reinterpret_cast<unsigned char*>(out.data()),
                              static_cast<unsigned>(length));
    out.resize(static_cast<std::size_t>(std::max(n, 0)));
    return out;
  }

  kobtest::TempDir dir;
  Packed p;
};

TEST_F(PartialDecodingOfAShortChunk, WholeDecodingServesNothingOfIt) {
  KobFile reader(path().c_str(), READ);
  EXPECT_EQ(readAt(reader, 4096, 10), "");
  EXPECT_EQ(reader.damage(), kob::Damage::WrongExpandedSize);
  EXPECT_EQ(reader.tell64(), 4096);
}

TEST_F(PartialDecodingOfAShortChunk,
       ServesItsStartWhenSetBeforeOrAfterOpening) {
  KobFile before;
  before.setPartialDecoding(true);
  ASSERT_TRUE(before.open(path().c_str(), READ));
  EXPECT_EQ(readAt(before, 4096, 10), p.data.substr(4096, 10));
  EXPECT_FALSE(before.hasError());

  KobFile after(path().c_str(), READ);
  after.setPartialDecoding(true);
  EXPECT_EQ(readAt(after, 4096, 10), p.data.substr(4096, 10));
  EXPECT_FALSE(after.hasError());
}

TEST_F(PartialDecodingOfAShortChunk, AReadFurtherInTheChunkChecksItWhole) {
  KobFile reader;
  reader.setPartialDecoding(true);
  ASSERT_TRUE(reader.open(path().c_str(), READ));
  EXPECT_EQ(readAt(reader, 4096, 10), p.data.substr(4096, 10));
  // Beyond what the first read decoded, but far from the chunk's end.
  EXPECT_EQ(readAt(reader, 4096 + 2000, 10), "");
  EXPECT_EQ(reader.damage(), kob::Damage::WrongExpandedSize);
  EXPECT_EQ(reader.tell64(), 4096);
}

TEST_F(PartialDecodingOfAShortChunk,
       APayloadEndingBeforeTheBytesAskedIsDamage) {
  KobFile reader;
  reader.setPartialDecoding(true);
  ASSERT_TRUE(reader.open(path().c_str(), READ));
  // The payload ends at 4096 bytes, within what this read decodes.
  EXPECT_EQ(readAt(reader, 4096 + 4050, 10), "");
  EXPECT_EQ(reader.damage(), kob::Damage::WrongExpandedSize);
}

}  // namespace
