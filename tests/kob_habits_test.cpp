// SPDX-License-Identifier: GPL-2.0-or-later
// kob as people who know gzip, zstd, lzop and bgzip expect it to behave.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "../tool/progress.h"
#include "kob.h"
#include "kob_index.h"
#include "kob_tool_fixture.h"

namespace {

using kobtest::decodeIndependently;
using kobtest::expectMessage;
using kobtest::readFile;
using kobtest::writeFile;

using KobHabits = kobtest::KobTool;


// The default writes exactly the chunks KobFile writes (unsealed, exactly
// its bytes); other levels read back.
TEST_F(KobHabits, LevelsAsLzopHasThem) {
  const std::string data = makeInput("a", 300000);
  std::mt19937 rng(1);
  const std::string byKobFile =
      kobtest::packFile(path("reference.kob"), data, 16384, rng);
  ASSERT_EQ(kob("-c a > default.kob").status, 0);
  EXPECT_EQ(kobtest::unsealed(readFile(path("default.kob"))), byKobFile);
  ASSERT_EQ(kob("-c -8 --no-seal a > eight.kob").status, 0);
  EXPECT_EQ(readFile(path("eight.kob")), byKobFile);

  std::map<std::string, std::string> by;
  for (const char* level : {"-1", "--fast", "-3", "-6", "-7", "-9", "--best",
                            "--level 5", "-9c", "-c1"}) {
    SCOPED_TRACE(level);
    const bool toStdout = std::string(level).find('c') != std::string::npos;
    const Result packed =
        kob(std::string(level) + (toStdout ? "" : " -c") + " a > out.kob");
    ASSERT_EQ(packed.status, 0) << packed.errors;
    const std::string bytes = readFile(path("out.kob"));
    EXPECT_EQ(decodeIndependently(bytes), data);
    EXPECT_EQ(kob("-dc out.kob").out, data);
    by[level] = bytes;
  }
  // 1 to 6 are one compressor, LZO1X-1; 7 to 9 LZO1X-999, which packs
  // smaller the higher the level.
  EXPECT_NE(kobtest::unsealed(by["-1"]), byKobFile) << "LZO1X-1 is another compressor";
  for (const char* same : {"--fast", "-3", "-6", "--level 5", "-c1"}) {
    EXPECT_EQ(by[same], by["-1"]) << same;
  }
  EXPECT_LT(by["-7"].size(), by["-6"].size());
  EXPECT_LE(by["-9"].size(), by["-7"].size());
  EXPECT_EQ(by["--best"], by["-9"]);
  EXPECT_EQ(by["-9c"], by["-9"]);
  EXPECT_EQ(kob("-c --level 10 a").status, 1);
  EXPECT_EQ(kob("-c --level 0 a").status, 1);
  // As gzip: the last level given counts.
  EXPECT_TRUE(kob("-c -1 -9 a").out == by["-9"]);
  EXPECT_TRUE(kob("-c --best --fast a").out == by["-1"]);
  EXPECT_TRUE(kob("-c9 -v1 a").out == by["-1"]);
}


// One share everywhere: the space saved, in percent of the data, as gzip
// -v and gzip -l give it.
TEST_F(KobHabits, EveryShareShownIsTheSpaceSaved) {
  makeInput("text", 100000);
  std::mt19937 rng(5);
  std::string noise(50000, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  writeFile(path("noise"), noise);  // larger packed than plain
  auto share = [](double packed, double plain) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", 100.0 * (1 - packed / plain));
    return std::string(text);
  };
  double packedTotal = 0;
  double plainTotal = 0;
  std::map<std::string, std::string> savedOf;
  for (const std::string name : {"text", "noise"}) {
    SCOPED_TRACE(name);
    const double plain = static_cast<double>(readFile(path(name)).size());
    const Result packed = kob("-v " + name);
    const double size = static_cast<double>(readFile(path(name + ".kob")).size());
    const std::string saved = share(size, plain);
    savedOf[name] = saved;
    packedTotal += size;
    plainTotal += plain;
    EXPECT_EQ(packed.errors,
              name + ": " + saved + "% -- created " + name + ".kob\n");
    const std::string listed = kob("-l " + name + ".kob").out;
    EXPECT_EQ(listed.substr(0, listed.find('\n')).substr(26, 7), "  saved");
    std::istringstream row(listed.substr(listed.find('\n') + 1));
    std::string column;
    row >> column >> column >> column;
    EXPECT_EQ(column, saved + "%") << listed;
    const std::string json = kob("-l --json " + name + ".kob").out;
    EXPECT_NE(json.find("\"saved\":" + saved + ","), std::string::npos) << json;
    std::filesystem::rename(path(name), path(name + ".orig"));
    EXPECT_EQ(kob("-dv " + name + ".kob").errors,
              name + ".kob: " + saved + "% -- created " + name + "\n");
  }
  EXPECT_EQ(savedOf["noise"][0], '-') << "noise grows when packed";
  const std::string both = kob("-l text.kob noise.kob").out;
  const std::string totals =
      both.substr(both.rfind('\n', both.size() - 2) + 1);
  std::istringstream row(totals);
  std::string column;
  row >> column >> column >> column;
  EXPECT_EQ(column, share(packedTotal, plainTotal) + "%") << both;
}



TEST_F(KobHabits, KobcatUnpacksToStandardOutput) {
  const std::string data = makeInput("a", 30000);
  ASSERT_EQ(kob("a").status, 0);
  const std::string kobcat =
      (std::filesystem::path(KOB_PATH).parent_path() / "kobcat").string();
  ASSERT_TRUE(std::filesystem::exists(kobcat));
  const Result cat = shell("'" + kobcat + "' a.kob a.kob");
  EXPECT_EQ(cat.status, 0) << cat.errors;
  EXPECT_EQ(cat.out, data + data);
  EXPECT_EQ(shell("'" + kobcat + "' < a.kob").out, data);
  EXPECT_FALSE(kobtest::fileExists(path("a.kob.kob")));
}


TEST_F(KobHabits, ListingSeveralFilesEndsWithTheirTotals) {
  makeInput("a", 40000);
  makeInput("b", 70000);
  ASSERT_EQ(kob("a b").status, 0);
  const Result one = kob("-l a.kob");
  EXPECT_EQ(one.out.find("totals"), std::string::npos);
  const Result both = kob("-l a.kob b.kob");
  ASSERT_EQ(both.status, 0);
  const std::string last =
      both.out.substr(both.out.rfind('\n', both.out.size() - 2) + 1);
  EXPECT_NE(last.find("(totals: 2 files)"), std::string::npos) << both.out;
  // Packed size, data size and chunks: each the sum of the files' own.
  auto columns = [](const std::string& line) {
    std::istringstream in(line);
    std::uint64_t packed = 0, data = 0, chunks = 0;
    std::string ratio;
    in >> packed >> data >> ratio >> chunks;
    return std::vector<std::uint64_t>{packed, data, chunks};
  };
  const std::vector<std::uint64_t> a = columns(kob("-l a.kob").out.substr(
      kob("-l a.kob").out.find('\n') + 1));
  const std::vector<std::uint64_t> b = columns(kob("-l b.kob").out.substr(
      kob("-l b.kob").out.find('\n') + 1));
  const std::vector<std::uint64_t> sum = columns(last);
  EXPECT_EQ(sum[1], 110000u) << last;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(sum[i], a[i] + b[i]) << i << ": " << last;
}

// As gzip: packed data is not read from a terminal without -f.
TEST_F(KobHabits, PackedDataIsNotReadFromATerminal) {
  for (const char* arguments : {"-d", "-t", "-dc", "-l"}) {
    const Result refused = shell("script -qec \"'" + std::string(KOB_PATH) +
                                 "' " + arguments + "\" /dev/null");
    EXPECT_NE(refused.out.find("refusing to read packed data from a "
                               "terminal"),
              std::string::npos)
        << arguments << ": " << refused.out;
  }
}

// kob -l --json: a JSON object a line, which Python's json module reads,
// each name's bytes had back whatever they are.
TEST_F(KobHabits, ListsAsJsonLinesWithEveryNameKept) {
  const std::vector<std::string> names = {
      "plain.kob",
      "tab\tand\nnewline.kob",
      "quote\"back\\slash.kob",
      "caf\xc3\xa9 \xf0\x9f\x93\x96.kob",  // well-formed UTF-8
      "bad\xff\xfe.kob",
      "overlong\xc0\xaf.kob",
      "overlong3\xe0\x80\xaf.kob",
      "overlong4\xf0\x80\x80\xaf.kob",
      "surrogate\xed\xa0\x80.kob",
      "cut\xe2\x82.kob",
      "beyond\xf4\x90\x80\x80.kob",
      "controls\x01\x1f\x7f.kob",
      "sealed.kob",
  };
  makeInput("data", 40000);
  ASSERT_EQ(kob("-B 8k -c --no-seal data > plain.kob").status, 0);
  ASSERT_EQ(kob("-B 8k -c data > sealed.kob").status, 0);
  for (const std::string& name : names) {
    if (name != "plain.kob" && name != "sealed.kob") {
      std::filesystem::copy_file(path("plain.kob"), path(name));
    }
  }
  ASSERT_EQ(kob("--index plain.kob").status, 0);
  const std::size_t packedSize = readFile(path("plain.kob")).size();
  const Result listed = kob("-l -v --json *.kob");
  ASSERT_EQ(listed.status, 0) << listed.errors;
  EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'),
            static_cast<long>(names.size()));
  writeFile(path("listing"), listed.out);
  writeFile(path("read.py"), R"(import json, sys
keys = {"name", "packed", "unpacked", "saved", "chunks", "chunk_size", "index",
        "sealed"}
with open(sys.argv[1], encoding="utf-8", errors="strict") as listing:
    for line in listing:
        o = json.loads(line)
        assert set(o) == keys | ({"chunk_list"} if len(sys.argv) > 2 else set()), o
        if "chunk_list" in o:
            chunks = o["chunk_list"]
            assert len(chunks) == o["chunks"], o
            assert sum(c["unpacked"] for c in chunks) == o["unpacked"], o
            assert [c["chunk"] for c in chunks] == list(range(o["chunks"])), o
            assert chunks[0]["offset"] == 6 and chunks[0]["position"] == 0, o
            assert max(c["unpacked"] for c in chunks) == o["chunk_size"], o
        assert abs(o["saved"] - 100 * (1 - o["packed"] / o["unpacked"])) < 0.051, o
        print(o["name"].encode("utf-8", "surrogateescape").hex(), o["index"],
              o["sealed"], o["packed"], o["unpacked"], o["chunks"])
)");
  const Result read = shell("/usr/bin/python3 read.py listing -v");
  ASSERT_EQ(read.status, 0) << read.errors << listed.out;
  std::set<std::string> expected;
  for (const std::string& name : names) {
    std::string hex;
    for (unsigned char c : name) {
      char two[3];
      std::snprintf(two, sizeof two, "%02x", c);
      hex += two;
    }
    expected.insert(hex +
                    (name == "sealed.kob"
                         ? " sealed True " + std::to_string(readFile(path(name)).size())
                         : (name == "plain.kob" ? " valid False " : " none False ") +
                               std::to_string(packedSize)) +
                    " 40000 5");
  }
  std::set<std::string> got;
  std::istringstream lines(read.out);
  for (std::string line; std::getline(lines, line);) got.insert(line);
  EXPECT_EQ(got, expected);

  // Without -v, no chunks; standard input is named "-", and has no index.
  const Result brief = kob("-l --json", "cat plain.kob |");
  ASSERT_EQ(brief.status, 0);
  writeFile(path("listing"), brief.out);
  EXPECT_EQ(shell("/usr/bin/python3 read.py listing").out,
            "2d None False " + std::to_string(packedSize) + " 40000 5\n");
  // Two packed files joined end to end: one file of both members' chunks,
  // the end marker between them none.
  writeFile(path("joined.kob"), readFile(path("plain.kob")) + readFile(path("plain.kob")));
  ASSERT_EQ(kob("--index joined.kob").status, 0);
  writeFile(path("listing"), kob("-l --json joined.kob").out);
  EXPECT_EQ(shell("/usr/bin/python3 read.py listing").out,
            "6a6f696e65642e6b6f62 valid False " + std::to_string(2 * packedSize) +
                " 80000 10\n");
  // A file that cannot be listed is said on standard error, as ever.
  const Result missing = kob("-l --json missing.kob plain.kob");
  EXPECT_EQ(missing.status, 1);
  expectMessage(missing.errors, "missing.kob: cannot open");
  EXPECT_EQ(std::count(missing.out.begin(), missing.out.end(), '\n'), 1);
}

// The meter's line: the share and the time left when the total is known.
TEST(ProgressLine, SaysTheShareAndTheTimeLeftWhenTheTotalIsKnown) {
  constexpr std::uint64_t MiB = 1 << 20;
  using kobtool::progressLine;
  EXPECT_EQ(progressLine("big", 12 * MiB, 48 * MiB, 3.0),
            "kob: big: 12.0 of 48.0 MiB, 25%, 4.0 MiB/s, 0:09 left");
  EXPECT_EQ(progressLine("(stdin)", 12 * MiB, 0, 3.0),
            "kob: (stdin): 12.0 MiB, 4.0 MiB/s");
  // Rounded down: 100% only when done; the time left up.
  EXPECT_EQ(progressLine("a", 999, 1000, 1.0).substr(0, 32),
            "kob: a: 0.0 of 0.0 MiB, 99%, 0.0");
  EXPECT_NE(progressLine("a", 999, 1000, 1.0).find(", 0:01 left"),
            std::string::npos);
  EXPECT_EQ(progressLine("a", 1000, 1000, 2.0),
            "kob: a: 0.0 of 0.0 MiB, 100%, 0.0 MiB/s, 0:00 left");
  // An input that grew as it was read: never past 100%, nor below 0 left.
  EXPECT_EQ(progressLine("a", 3 * MiB, 2 * MiB, 1.0),
            "kob: a: 3.0 of 2.0 MiB, 100%, 3.0 MiB/s, 0:00 left");
  // Nothing done yet: no guess at the time left.
  EXPECT_EQ(progressLine("a", 0, 2 * MiB, 1.5),
            "kob: a: 0.0 of 2.0 MiB, 0%, 0.0 MiB/s");
  // Minutes, then hours.
  EXPECT_NE(progressLine("a", MiB, 11 * MiB, 65.0).find(", 10:50 left"),
            std::string::npos);
  EXPECT_NE(progressLine("a", MiB, 10241 * MiB, 1.0).find(", 2:50:40 left"),
            std::string::npos);
  // At the edges: half the data done in `seconds`, as many left, counted up
  // to whole seconds.
  const struct {
    double seconds;
    const char* left;
  } edges[] = {{0.01, "0:01"},    {59.0, "0:59"},       {59.5, "1:00"},
               {60.0, "1:00"},    {3599.0, "59:59"},    {3599.5, "1:00:00"},
               {3600.0, "1:00:00"}, {3601.0, "1:00:01"}, {36000.0, "10:00:00"}};
  for (const auto& edge : edges) {
    const std::string line = progressLine("a", MiB, 2 * MiB, edge.seconds);
    const std::string ending = std::string(", ") + edge.left + " left";
    EXPECT_EQ(line.substr(line.size() - std::min(line.size(), ending.size())), ending)
        << line;
  }
}


// --index-file: the index kept elsewhere, written with -i through the same
// output file code, read by every mode that reads a packed file.
TEST_F(KobHabits, AnIndexKeptElsewhereIsWrittenThereAndReadFromThere) {
  const std::string data = makeInput("d", 300000);
  ASSERT_EQ(kob("-B 4096 --no-seal d").status, 0);
  std::filesystem::create_directory(path("keep"));
  const Result indexed = kob("--index --index-file keep/d.kbi d.kob");
  ASSERT_EQ(indexed.status, 0) << indexed.errors;
  EXPECT_FALSE(kobtest::fileExists(path("d.kob.kbi")));
  EXPECT_EQ(statOf("keep/d.kbi").st_mode & 0777, 0644u & ~kobtest::currentUmask());
  EXPECT_EQ(kob::indexState(path("d.kob"), kob::IndexChoice::at(path("keep/d.kbi"))),
            kob::IndexState::Valid);

  auto indexColumn = [&](const std::string& arguments) {
    const std::string out = kob("-l " + arguments + " d.kob").out;
    std::istringstream row(out.substr(out.find('\n') + 1));
    std::string column;
    for (int i = 0; i < 6; ++i) row >> column;
    return column;
  };
  EXPECT_EQ(indexColumn(""), "none");
  EXPECT_EQ(indexColumn("--index-file keep/d.kbi"), "valid");
  EXPECT_EQ(indexColumn("--index-file keep/missing.kbi"), "none");
  EXPECT_EQ(kob("-t -v --index-file keep/d.kbi d.kob").errors,
            "d.kob: OK (content checked against its index)\n");
  EXPECT_EQ(kob("-t -v d.kob").errors,
            "d.kob: OK (not sealed: content not checked)\n");
  const Result recovered = kob("--recover -v -c --index-file keep/d.kbi d.kob");
  EXPECT_EQ(recovered.out, data);
  EXPECT_NE(recovered.errors.find("(placed by its index)"), std::string::npos)
      << recovered.errors;
  EXPECT_EQ(kob("--recover -v -c d.kob").errors.find("placed by its index"),
            std::string::npos);
  // Unpacking opens the index named, and only that one.
  if (shell("strace -V").status == 0) {
    for (const char* mode : {"-dc", "-b 290000 -s 100", "-d -o out -f"}) {
      SCOPED_TRACE(mode);
      const Result traced = kob(
          std::string(mode) + " --index-file keep/d.kbi d.kob >/dev/null",
          "ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\" "
          "strace -f -qq -e trace=openat -o trace");
      EXPECT_EQ(traced.status, 0) << traced.errors;
      const std::string trace = readFile(path("trace"));
      EXPECT_NE(trace.find("keep/d.kbi\""), std::string::npos) << trace;
      EXPECT_EQ(trace.find("d.kob.kbi\""), std::string::npos) << trace;
    }
    std::filesystem::remove(path("trace"));
    std::filesystem::remove(path("out"));
  }
  EXPECT_EQ(kob("-b 290000 -s 100 --index-file keep/d.kbi d.kob").out,
            data.substr(290000, 100));

  // Packing with -i writes the output's index there.
  std::filesystem::rename(path("d"), path("e"));
  ASSERT_EQ(kob("-i --index-file keep/e.kbi e").status, 0);
  EXPECT_FALSE(kobtest::fileExists(path("e.kob.kbi")));
  EXPECT_EQ(kob::indexState(path("e.kob"), kob::IndexChoice::at(path("keep/e.kbi"))),
            kob::IndexState::Valid);
  // An index there is replaced; anything else only with -f, and never the
  // packed file itself.
  EXPECT_EQ(kob("--index --index-file keep/e.kbi d.kob").status, 0);
  EXPECT_EQ(indexColumn("--index-file keep/e.kbi"), "valid");
  writeFile(path("notes"), "my notes");
  const Result notes = kob("--index --index-file notes d.kob");
  EXPECT_EQ(notes.status, 2);
  EXPECT_EQ(notes.errors,
            "kob: notes: already exists and is not an index; skipped (use -f "
            "to overwrite)\n");
  EXPECT_EQ(readFile(path("notes")), "my notes");
  EXPECT_EQ(kob("-f --index --index-file notes d.kob").status, 0);
  EXPECT_EQ(indexColumn("--index-file notes"), "valid");
  const std::string packed = readFile(path("d.kob"));
  for (const char* itself : {"d.kob", "./d.kob", "$PWD/d.kob"}) {
    for (const char* force : {"", "-f "}) {
      const Result refused = kob(std::string(force) +
                                 "--index --index-file " + itself + " d.kob");
      EXPECT_EQ(refused.status, 1) << itself;
      EXPECT_NE(refused.errors.find("d.kob: is the packed file itself; not "
                                    "replaced by its index\n"),
                std::string::npos)
          << refused.errors;
    }
  }
  EXPECT_EQ(readFile(path("d.kob")), packed);
  expectOnly({"d.kob", "e", "e.kob", "keep", "notes"});
}

// A packed file in a folder its owner cannot write is indexed elsewhere,
// and read with that index.
TEST_F(KobHabits, AFileInAFolderItsOwnerCannotWriteIsIndexedElsewhere) {
  const std::optional<tooltest::OtherUser> user = tooltest::otherUser();
  if (!user) GTEST_SKIP() << "no user other than root can be had";
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(dir.root().c_str(), user->uid, user->gid), 0);
  }
  makeInput("d", 100000);
  std::filesystem::create_directory(path("shelf"));
  ASSERT_EQ(kob("-c --no-seal d > shelf/d.kob").status, 0);
  if (root) {
    ASSERT_EQ(chown(path("shelf/d.kob").c_str(), user->uid, user->gid), 0);
  }
  ASSERT_EQ(chmod(path("shelf").c_str(), 0555), 0);
  const Result beside = kob("--index shelf/d.kob", user->prefix);
  EXPECT_EQ(beside.status, 1);
  expectMessage(beside.errors, "shelf/d.kob.kbi: cannot create: Permission denied");
  const Result elsewhere =
      kob("--index --index-file d.kbi shelf/d.kob", user->prefix);
  EXPECT_EQ(elsewhere.status, 0) << elsewhere.errors;
  EXPECT_EQ(statOf("d.kbi").st_uid, user->uid);
  EXPECT_EQ(kob("-t -v --index-file d.kbi shelf/d.kob", user->prefix).errors,
            "shelf/d.kob: OK (content checked against its index)\n");
  ASSERT_EQ(chmod(path("shelf").c_str(), 0755), 0);
}

}  // namespace
