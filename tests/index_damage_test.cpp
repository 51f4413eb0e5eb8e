// SPDX-License-Identifier: GPL-2.0-or-later
// A model of the saved index under damage: random files and chunk sizes,
// their indexes rewritten at random (records, blocks, milestones, counts,
// checksums) with every checksum of the index made to match, so that only
// what a reader checks beyond them stands between it and a wrong byte. No
// reader ever serves a byte that differs from the data, and each fails
// only where `kob -t` fails.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "format/index_format.h"
#include "index/saved_index.h"
#include "index_bytes.h"
#include "kob.h"
#include "kob_index.h"
#include "kob_scan.h"
#include "kob_shared.h"
#include "source/source.h"
#include "test_util.h"

namespace {

using kobtest::getBig;
using kobtest::IndexLayout;
using kobtest::setBig;

// One random change to `index`, its checksums left as they were.
std::string damage(std::string index, std::mt19937& rng, std::string& what) {
  if (index.size() < 72) {
    what = "nothing more (cut short)";
    return index;
  }
  const IndexLayout layout(index);
  auto pick = [&](std::uint64_t n) { return n == 0 ? 0 : rng() % n; };
  const std::uint64_t record = pick(layout.count);
  const std::size_t at = layout.record(record);
  const bool whole = at + 10 <= index.size() &&
                     layout.milestone(layout.blocks) <= index.size();
  const int delta = static_cast<int>(rng() % 7) - 3;
  switch (whole ? rng() % 7 : 6) {
    case 0: {  // a field of a record: sizes, back-link
      const std::size_t field = at + 2 * pick(3);
      const std::uint64_t value =
          rng() % 2 ? rng() % 65536 : getBig(index, field, 2) + delta;
      setBig(index, field, value & 0xFFFF, 2);
      what = "record " + std::to_string(record) + " field";
      break;
    }
    case 1: {  // a payload's checksum
      setBig(index, at + 6, rng(), 4);
      what = "record " + std::to_string(record) + " checksum";
      break;
    }
    case 2: {  // a few bytes anywhere in a block
      const std::uint64_t block = pick(layout.blocks);
      const std::size_t from =
          layout.block(block) + pick(10 * layout.recordsIn(block));
      for (std::size_t i = 0, n = 1 + pick(6); i < n && from + i < index.size();
           ++i) {
        index[from + i] = static_cast<char>(rng());
      }
      what = "bytes of block " + std::to_string(block);
      break;
    }
    case 3: {  // a milestone
      const std::uint64_t block = pick(layout.blocks);
      const std::size_t field = layout.milestone(block) + 8 * pick(2);
      setBig(index, field,
             rng() % 4 == 0 ? rng() : getBig(index, field, 8) + delta, 8);
      what = "milestone " + std::to_string(block);
      break;
    }
    case 4: {  // the count, the index's size made to fit it or not
      const std::uint64_t count =
          std::max<std::int64_t>(1, static_cast<std::int64_t>(layout.count) + delta);
      setBig(index, 56, count, 8);
      if (rng() % 2) index.resize(kob::version2Size(count), '\0');
      what = "count " + std::to_string(count);
      break;
    }
    case 5: {  // two records swapped
      const std::size_t other = layout.record(pick(layout.count));
      if (other + 10 > index.size()) break;
      std::swap_ranges(index.begin() + static_cast<std::ptrdiff_t>(at),
                       index.begin() + static_cast<std::ptrdiff_t>(at + 10),
                       index.begin() + static_cast<std::ptrdiff_t>(other));
      what = "records swapped";
      break;
    }
    default: {  // cut short
      index.resize(pick(index.size()));
      what = "cut to " + std::to_string(index.size());
      break;
    }
  }
  return index;
}

struct Seen {
  std::string served;  // what a reader gave from `at`
  kob::Failure failure;
};

Seen readWith(const std::string& path, bool shared, bool partial,
              std::uint64_t at, std::size_t length) {
  Seen seen;
  seen.served.assign(length, '\0');
  if (shared) {
    kob::SharedReader reader;
    reader.setPartialDecoding(partial);
    seen.failure = reader.open(path.c_str());
    if (seen.failure.failed()) return seen;
    const kob::ReadResult got = reader.readAt(at, seen.served.data(), length);
    seen.served.resize(got.bytes);
    seen.failure = got.failure;
    return seen;
  }
  KobFile reader;
  reader.setPartialDecoding(partial);
  reader.open(path.c_str(), READ);
  const auto target = static_cast<std::int64_t>(at);
  if (reader.seek64(target, 0) != target) {
    seen.served.clear();
  } else {
    const int got = reader.read(reinterpret_cast<unsigned char*>(seen.served.data()),
                                static_cast<unsigned>(length));
    seen.served.resize(static_cast<std::size_t>(std::max(got, 0)));
  }
  seen.failure = reader.failure();
  return seen;
}

TEST(IndexDamage, NoReaderServesAWrongByteWhateverTheIndexSays) {
  const std::uint32_t seed = kobtest::testSeed("IndexDamage");
  std::mt19937 rng(seed);
  kobtest::TempDir dir;
  const std::string path = dir.path("d.kob");
  const std::string copy = dir.path("copy.kob");
  for (int round = 0; round < kobtest::testRounds(40); ++round) {
    const std::size_t size = rng() % 4 == 0 ? rng() % 3000 : rng() % 150000;
    const int chunk = rng() % 5 == 0 ? 1 + static_cast<int>(rng() % 64)
                                     : 200 + static_cast<int>(rng() % 6000);
    std::string data = kobtest::makeData(size, rng);
    std::string packed = kobtest::packFile(path, data, chunk, rng);
    if (rng() % 3 == 0) {
      const std::size_t chunks = kobtest::parseHeaders(packed).size();
      std::vector<std::size_t> before(1 + rng() % 80);
      for (std::size_t& b : before) b = rng() % chunks;
      packed = kobtest::withEmptyChunks(packed, before, kobtest::kEmptyPayload);
      kobtest::writeFile(path, packed);
    }
    ASSERT_TRUE(kobtest::saveIndexOf(path).ok());
    std::string index = kobtest::readFile(kob::indexPathFor(path));
    std::string what;
    for (int n = 1 + static_cast<int>(rng() % 3); n > 0; --n) {
      std::string one;
      index = damage(index, rng, one);
      what += one + "; ";
    }
    if (rng() % 5 != 0) index = kobtest::resealed(index);
    // The packed file itself, verified, or a copy of it, a hint.
    const bool viaCopy = rng() % 2 == 0;
    const std::string read = viaCopy ? copy : path;
    if (viaCopy) kobtest::writeFile(copy, packed);
    kobtest::writeFile(kob::indexPathFor(read), index);
    chmod(kob::indexPathFor(read).c_str(), 0644);
    SCOPED_TRACE(testing::Message()
                 << "seed " << seed << " round " << round << ": " << size
                 << " bytes in chunks of " << chunk << ", "
                 << (viaCopy ? "a copy" : "the file") << ", " << what);

    const kob::IndexState state = kob::indexState(read);
    const kob::ScanReport tested = kob::scanPacked(read, true);   // kob -t
    const kob::ScanReport listed = kob::scanPacked(read, false);  // kob -l
    EXPECT_TRUE(listed.ok()) << listed.failure.describe();
    // Only an index that names the file as it is can fail a sound file: at
    // a payload unlike its checksum, which `kob -t` names too (its blocks
    // are each believed once they hold up, whatever the others hold). A
    // hint never fails a read.
    if (!tested.ok()) {
      EXPECT_FALSE(viaCopy);
      EXPECT_NE(state, kob::IndexState::Missing);
      EXPECT_EQ(tested.failure.damage, kob::Damage::ChecksumMismatch)
          << tested.failure.describe();
    }
    if (viaCopy) {
      EXPECT_TRUE(tested.ok()) << tested.failure.describe();
    }
    EXPECT_EQ(tested.dataSize, tested.ok() ? data.size() : tested.dataSize);

    for (int look = 0; look < 12; ++look) {
      const bool shared = rng() % 2 == 0;
      const bool partial = rng() % 2 == 0;
      const std::uint64_t at =
          look == 0 ? 0 : rng() % (data.size() + 200);
      const std::size_t length =
          look == 0 ? data.size() + 10 : 1 + rng() % 5000;
      const Seen seen = readWith(read, shared, partial, at, length);
      const std::string expected =
          at < data.size() ? data.substr(at, length) : std::string();
      ASSERT_LE(seen.served.size(), expected.size());
      ASSERT_EQ(seen.served, expected.substr(0, seen.served.size()))
          << (shared ? "SharedReader" : "KobFile")
          << (partial ? " partial" : "") << " at " << at;
      if (seen.failure.failed()) {
        // Where `kob -t` fails, and nowhere else.
        EXPECT_FALSE(tested.ok()) << seen.failure.describe();
        EXPECT_EQ(seen.failure.damage, tested.failure.damage)
            << seen.failure.describe();
      } else {
        EXPECT_EQ(seen.served, expected);
      }
    }
  }
}

// Bytes after the end marker, and an index that names the file as it now
// is but ends where the data did: the index is not taken, and the bytes
// after the end are still damage.
TEST(IndexDamage, AnIndexWhoseEndMarkerDoesNotEndTheFileIsNotTaken) {
  std::mt19937 rng(31);
  kobtest::TempDir dir;
  const std::string path = dir.path("t.kob");
  const std::string data = kobtest::makeData(40000, rng);
  const std::string packed = kobtest::packFile(path, data, 4096, rng);
  ASSERT_TRUE(kobtest::saveIndexOf(path).ok());
  std::string index = kobtest::readFile(kob::indexPathFor(path));
  kobtest::writeFile(path, packed + "trailing bytes");
  struct stat now;
  ASSERT_EQ(stat(path.c_str(), &now), 0);
  const kob::IndexedFile named = kob::indexedFileOf(kob::Identity::ofLocal(now));
  kob::putIndexedFile(reinterpret_cast<unsigned char*>(index.data()) + 8, named, 2);
  kobtest::writeFile(kob::indexPathFor(path), kobtest::resealed(index));
  chmod(kob::indexPathFor(path).c_str(), 0644);
  EXPECT_EQ(kob::indexState(path), kob::IndexState::Unusable);
  EXPECT_EQ(kob::scanPacked(path, true).failure.damage, kob::Damage::DataAfterEnd);
}

}  // namespace
