// SPDX-License-Identifier: GPL-2.0-or-later
// Sealed files: every damage is seen by every front, and never a wrong byte
// served; a reader written from the format's first part alone reads a
// sealed file's data; members sealed and not read as one; a seal that is
// missing, cut or another file's is damage; kob --seal.

#include <gtest/gtest.h>
#include <lzo/lzo1x.h>

#include <algorithm>
#include <sstream>

#include "kob.h"
#include "kob_packer.h"
#include "kob_scan.h"
#include "kob_shared.h"
#include "kob_tool_fixture.h"

namespace {

using kobtest::readFile;
using kobtest::writeFile;

// The sample dictionary's entries, shuffled, to `size` bytes: a real text
// of many megabytes.
std::string dictionaryText(std::size_t size, std::mt19937& rng) {
  std::istringstream in(readFile(MAN_SOURCE_DIR "/../examples/dictionary.data"));
  std::vector<std::string> entries;
  for (std::string line, entry; std::getline(in, line);) {
    entry += line + "\n";
    if (line.empty()) entries.push_back(std::move(entry)), entry.clear();
  }
  std::string text;
  while (text.size() < size) {
    std::shuffle(entries.begin(), entries.end(), rng);
    for (const std::string& entry : entries) text += entry;
  }
  text.resize(size);
  return text;
}

std::string packed(const std::string& data, bool seal, int chunkSize = 16384) {
  char* bytes = nullptr;
  std::size_t length = 0;
  std::FILE* out = open_memstream(&bytes, &length);
  kob::PackOptions options;
  options.seal = seal;
  options.chunkSize = chunkSize;
  {
    kob::Packer packer(out, options);
    EXPECT_TRUE(packer.write(data.data(), data.size()).ok());
    EXPECT_TRUE(packer.finish().ok());
  }
  std::fclose(out);
  std::string file(bytes, length);
  std::free(bytes);
  return file;
}

// The seal's trailer length, from its footer.
std::size_t trailerLength(const std::string& file) {
  std::size_t length = 0;
  for (std::size_t i = file.size() - 28; i < file.size() - 20; ++i) {
    length = length << 8 | static_cast<unsigned char>(file[i]);
  }
  return length;
}

class Sealed : public kobtest::KobTool {
 protected:
  // `got` read at `at`: the true bytes there, however few.
  void expectTrue(const std::string& got, std::size_t at, const std::string& what) {
    ASSERT_LE(at + got.size(), data.size()) << what;
    ASSERT_TRUE(data.compare(at, got.size(), got) == 0) << what << " at " << at;
  }
  // KobFile, SharedReader, the scan and the tool, on the damaged file at
  // `name`: each fails somewhere, and serves only true bytes.
  void checkEveryFront(const std::string& name, std::mt19937& rng);

  std::string data;
};

void Sealed::checkEveryFront(const std::string& name, std::mt19937& rng) {
  const std::string file = path(name);
  // kob -t, in the library and as the tool.
  // On one thread or several (which read a sealed file's chunks from the
  // seal at once): the same answers.
  const std::string threads = rng() % 2 ? " -T 2 " : " ";
  EXPECT_TRUE(kob::scanPacked(file, true).failure.failed());
  EXPECT_NE(kob("-t" + threads + name).status, 0);
  // KobFile in order, and after a seek, partial decoding or not.
  for (std::int64_t start : {std::int64_t{0}, std::int64_t(rng() % data.size())}) {
    KobFile reader;
    reader.setPartialDecoding(rng() % 2);
    ASSERT_TRUE(reader.open(file.c_str(), READ));
    if (!reader.isCompressed()) break;  // not packed: it says so
    const std::int64_t at = reader.seek64(start, 0);
    std::string got;
    unsigned char block[7000];
    for (int n; (n = reader.read(block, 1 + rng() % sizeof block)) > 0;) {
      got.append(block, block + n);
    }
    if (!reader.hasError()) {
      EXPECT_EQ(at, start);
    }
    expectTrue(got, static_cast<std::size_t>(std::max<std::int64_t>(at, 0)), "KobFile");
    if (start == 0) {
      EXPECT_TRUE(reader.hasError()) << "KobFile read it all";
    }
  }
  // SharedReader at random ranges, then whole.
  kob::SharedReader shared;
  shared.setPartialDecoding(rng() % 2);
  if (shared.open(file.c_str()).ok()) {
    std::string buffer(data.size(), '\0');
    for (int i = 0; i < 8; ++i) {
      const std::size_t at = rng() % data.size();
      const kob::ReadResult got = shared.readAt(at, buffer.data(), 1 + rng() % 40000);
      expectTrue(buffer.substr(0, got.bytes), at, "SharedReader");
    }
    const kob::ReadResult whole = shared.readAt(0, buffer.data(), buffer.size());
    expectTrue(buffer.substr(0, whole.bytes), 0, "SharedReader");
    EXPECT_FALSE(whole.ok() && shared.size() == static_cast<std::int64_t>(data.size()))
        << "SharedReader read it all";
  }
  // kob -dc of the file and of a pipe, and a range of it.
  for (const std::string& words :
       {"-dc" + threads + name + " >out", "-dc <" + name + " >out"}) {
    EXPECT_NE(kob(words).status, 0) << words;
    expectTrue(readFile(path("out")), 0, words);
  }
  const std::size_t at = rng() % data.size();
  const std::size_t size = 1 + rng() % 30000;
  const Result range =
      kob("-b " + std::to_string(at) + " -s " + std::to_string(size) + " " + name);
  expectTrue(range.out, at, "kob -b -s");
  if (range.status == 0) {
    EXPECT_EQ(range.out, data.substr(at, size));
  }
}

// Of many random damages to a sealed file of a real text (bits flipped and
// bytes overwritten anywhere, the file cut at any length), every one is
// reported, by every front, and no front serves a wrong byte.
TEST_F(Sealed, EveryDamageIsSeenAndNoWrongByteServed) {
  std::mt19937 rng(kobtest::testSeed("EveryDamageIsSeen"));
  data = dictionaryText(2 << 20, rng);
  const std::string sealed = packed(data, true);
  const std::size_t trailer = trailerLength(sealed);
  const int rounds = kobtest::testRounds(50);
  for (int round = 0; round < rounds; ++round) {
    std::string damaged = sealed;
    // Anywhere; one in four in the trailer, one in eight in the signature
    // and first header, where there are few bytes to hit.
    const std::size_t where = rng() % 8;
    const std::size_t at = where < 2   ? sealed.size() - 1 - rng() % trailer
                           : where < 3 ? rng() % 12
                                       : rng() % sealed.size();
    std::string what;
    switch (rng() % 3) {
      case 0:
        damaged[at] ^= static_cast<char>(1 << (rng() % 8));
        what = "a bit flipped at " + std::to_string(at);
        break;
      case 1:
        damaged[at] ^= static_cast<char>(1 + rng() % 255);
        what = "a byte overwritten at " + std::to_string(at);
        break;
      default:
        damaged.resize(at);
        what = "cut to " + std::to_string(at) + " bytes";
        break;
    }
    SCOPED_TRACE(testing::Message() << "round " << round << ": " << what);
    writeFile(path("d.kob"), damaged);
    checkEveryFront("d.kob", rng);
    if (HasFatalFailure()) return;
  }
}

// What a reader that knows nothing of seals reads: signature, headers, end
// marker, as doc/format.md describes them, stopping at the end marker.
std::string readAsTheFormatSays(const std::string& file) {
  std::string out;
  auto field = [&](std::size_t at) {
    return static_cast<std::size_t>(static_cast<unsigned char>(file.at(at)) << 8 |
                                    static_cast<unsigned char>(file.at(at + 1)));
  };
  EXPECT_EQ(file.compare(0, 4, "KOB\x01"), 0);
  for (std::size_t at = 6;; ) {
    const std::size_t dataSize = field(at), payloadSize = field(at + 2);
    if (payloadSize == 0) return out;
    std::string chunk(dataSize, '\0');
    lzo_uint produced = dataSize;
    EXPECT_EQ(lzo1x_decompress_safe(
                  reinterpret_cast<const unsigned char*>(file.data()) + at + 6,
                  payloadSize, reinterpret_cast<unsigned char*>(chunk.data()),
                  &produced, nullptr),
              LZO_E_OK);
    out += chunk.substr(0, produced);
    at += 6 + payloadSize;
  }
}

TEST_F(Sealed, AReaderOfTheFormatAloneReadsTheDataUnchanged) {
  std::mt19937 rng(11);
  data = dictionaryText(300000, rng);
  for (int chunkSize : {1000, 16384, 65535}) {
    const std::string sealed = packed(data, true, chunkSize);
    EXPECT_EQ(readAsTheFormatSays(sealed), data) << chunkSize;
    // Its chunks are the plain file's, byte for byte.
    EXPECT_EQ(kobtest::unsealed(sealed), packed(data, false, chunkSize));
  }
}

// Members sealed and not, in any order, read as one through every reader;
// the seal of one the chain from the end cannot reach is checked when a
// walk reaches it.
TEST_F(Sealed, MembersSealedAndNotReadAsOne) {
  std::mt19937 rng(12);
  const std::string parts[] = {dictionaryText(70000, rng), dictionaryText(1, rng),
                               dictionaryText(50000, rng)};
  for (int mix = 0; mix < 8; ++mix) {
    SCOPED_TRACE(testing::Message() << "sealed members " << mix);
    std::string file;
    data.clear();
    for (int i = 0; i < 3; ++i) {
      file += packed(parts[i], (mix >> i) & 1, 4096);
      data += parts[i];
    }
    writeFile(path("m.kob"), file);
    KobFile reader(path("m.kob").c_str(), READ);
    std::string got(data.size() + 1, '\0');
    EXPECT_EQ(reader.read(reinterpret_cast<unsigned char*>(got.data()),
                          static_cast<unsigned>(got.size())),
              static_cast<int>(data.size()));
    EXPECT_FALSE(reader.hasError()) << reader.failure().describe();
    EXPECT_TRUE(got.substr(0, data.size()) == data);
    kob::SharedReader shared;
    ASSERT_TRUE(shared.open(path("m.kob").c_str()).ok());
    for (std::size_t at : {std::size_t{0}, std::size_t{69990}, data.size() - 30}) {
      const kob::ReadResult part = shared.readAt(at, got.data(), 100);
      EXPECT_TRUE(part.ok()) << part.failure.describe();
      EXPECT_EQ(got.substr(0, part.bytes), data.substr(at, 100));
    }
    EXPECT_EQ(shared.size(), static_cast<std::int64_t>(data.size()));
    const Result unpacked = kob("-dc m.kob");
    EXPECT_EQ(unpacked.status, 0) << unpacked.errors;
    EXPECT_TRUE(unpacked.out == data);
    EXPECT_EQ(kob("-t -v m.kob").errors,
              mix == 7   ? "m.kob: OK (every chunk checked)\n"
              : mix == 0 ? "m.kob: OK (not sealed: content not checked)\n"
                         : "m.kob: OK (" + std::to_string(__builtin_popcount(mix)) +
                               " of 3 members sealed: content checked in those)\n");
    // A payload changed in a sealed member: seen however it is reached.
    if (mix & 1) {
      std::string damaged = file;
      damaged[kobtest::parseHeaders(packed(parts[0], true, 4096))[3].offset + 9] ^= 4;
      writeFile(path("m.kob"), damaged);
      EXPECT_EQ(kob::scanPacked(path("m.kob"), true).failure.damage,
                kob::Damage::PayloadUnlikeSeal);
      EXPECT_FALSE(shared.open(path("m.kob").c_str()).ok() &&
                   shared.readAt(3 * 4096 + 10, got.data(), 10).ok());
    }
  }
}

// A flag with no trailer, a trailer cut, another file's trailer: damage,
// named at the end marker, and nothing of the file served unchecked.
TEST_F(Sealed, AMissingCutOrForeignTrailerIsDamage) {
  std::mt19937 rng(13);
  data = dictionaryText(100000, rng);
  const std::string sealed = packed(data, true, 8192);
  const std::string plain = packed(data, false, 8192);
  std::string other = data;
  other[50000] ^= 1;
  const std::string foreign = packed(other, true, 8192);
  const std::size_t trailer = trailerLength(sealed);
  std::string flagged = plain;
  flagged[4] = 1;
  const std::string cases[] = {
      flagged,
      sealed.substr(0, sealed.size() - trailer),
      sealed.substr(0, sealed.size() - 1),
      sealed.substr(0, sealed.size() - trailer + 30),
      sealed.substr(0, sealed.size() - trailer) + foreign.substr(foreign.size() - trailer),
      sealed + "x",
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(testing::Message() << "case " << i);
    writeFile(path("t.kob"), cases[i]);
    const kob::ScanReport scan = kob::scanPacked(path("t.kob"), true);
    // Another file's trailer that happens to fit this one's chunks is
    // seen where their payloads differ.
    const bool fits = i == 4 && scan.failure.damage == kob::Damage::PayloadUnlikeSeal;
    EXPECT_TRUE(fits || scan.failure.damage == kob::Damage::TrailerDamaged)
        << scan.failure.describe();
    // Not a byte served before the trailer is checked.
    kob::SharedReader shared;
    ASSERT_TRUE(shared.open(path("t.kob").c_str()).ok());
    char byte = 0;
    const kob::ReadResult first = shared.readAt(0, &byte, 1);
    EXPECT_EQ(first.ok(), fits) << first.failure.describe();
    EXPECT_TRUE(first.bytes == 0 || byte == data[0]);
  }
}

TEST_F(Sealed, KobSealsAPackedFileInPlaceCopyingItsChunks) {
  data = makeInput("d", 200000);
  ASSERT_EQ(kob("--no-seal -B 4096 d").status, 0);
  ASSERT_EQ(chmod(path("d.kob").c_str(), 0640), 0);
  const std::string plain = readFile(path("d.kob"));
  const Result sealed = kob("--seal -v d.kob");
  EXPECT_EQ(sealed.status, 0) << sealed.errors;
  EXPECT_EQ(sealed.errors, "d.kob: sealed\n");
  EXPECT_EQ(kobtest::unsealed(readFile(path("d.kob"))), plain);
  EXPECT_EQ(statOf("d.kob").st_mode & 0777, 0640u);
  EXPECT_EQ(readFile(path("d.kob")), packed(data, true, 4096));
  // Sealed already: nothing to do.
  const Result again = kob("--seal d.kob");
  EXPECT_EQ(again.status, 2);
  kobtest::expectMessage(again.errors, "d.kob: already sealed; nothing to do");
  // Elsewhere, from members joined; a damaged file is refused.
  writeFile(path("two.kob"), plain + plain);
  EXPECT_EQ(kob("--seal -o j.kob two.kob").status, 0);
  EXPECT_EQ(kob("-dc j.kob").out, data + data);
  EXPECT_EQ(kob("--seal -c two.kob").out, readFile(path("j.kob")));
  std::string damaged = plain;
  damaged[kobtest::parseHeaders(plain)[5].offset + 3] ^= 1;
  writeFile(path("bad.kob"), damaged);
  const Result refused = kob("--seal bad.kob");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.errors.find("; not sealed"), std::string::npos) << refused.errors;
  EXPECT_EQ(readFile(path("bad.kob")), damaged);
  EXPECT_EQ(kob("--seal d").status, 1);  // not packed
  expectOnly({"d", "d.kob", "two.kob", "j.kob", "bad.kob"});
  // A sealed file needs no index.
  const Result indexed = kob("--index d.kob");
  EXPECT_EQ(indexed.status, 2);
  kobtest::expectMessage(indexed.errors, "d.kob: sealed: its seal is its index; none written");
  EXPECT_FALSE(kobtest::fileExists(path("d.kob.kbi")));
}

// --recover keeps only what the seal vouches for: a payload changed that
// still expands to its size is lost, not written.
TEST_F(Sealed, SalvageKeepsOnlyTheChunksTheSealVouchesFor) {
  std::mt19937 rng(14);
  data = dictionaryText(100000, rng);
  std::string file = packed(data, true, 8192);
  const std::size_t at = kobtest::parseHeaders(file)[4].offset + 20;
  file[at] ^= 0x20;  // a literal's letter: the payload still expands
  writeFile(path("r.kob"), file);
  const Result recovered = kob("--recover -v -c r.kob");
  EXPECT_EQ(recovered.status, 1);
  std::string expected = data;
  std::fill_n(expected.begin() + 4 * 8192, 8192, '\0');
  EXPECT_TRUE(recovered.out == expected);
  EXPECT_NE(recovered.errors.find("chunk 4 at offset"), std::string::npos) << recovered.errors;
  EXPECT_NE(recovered.errors.find("payload does not match its checksum in the seal"),
            std::string::npos) << recovered.errors;
  EXPECT_NE(recovered.errors.find("(placed by its seal)"), std::string::npos)
      << recovered.errors;
}

}  // namespace
