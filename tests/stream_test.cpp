// SPDX-License-Identifier: GPL-2.0-or-later
// Inputs that cannot seek: pipes and FIFOs, read through KobFile and
// through kob. No byte may be lost to the test for the signature, and a
// packed stream must answer as the same file read from disk does, except
// for seeks that would have to go back.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <sstream>
#include <thread>
#include <tuple>

#include "kob.h"
#include "test_util.h"

namespace {

// Writes `bytes` into a pipe from another thread; the read end goes to the
// caller, who owns it.
class PipeFeeder {
 public:
  explicit PipeFeeder(std::string bytes) : data(std::move(bytes)) {
    // A reader may stop early; the feeder's writes then fail instead of
    // killing the test.
    std::signal(SIGPIPE, SIG_IGN);
    int ends[2];
    if (pipe(ends) != 0) std::abort();
    readEnd = ends[0];
    writer = std::thread([this, fd = ends[1]] { feed(fd); });
  }
  ~PipeFeeder() { writer.join(); }
  int takeReadEnd() { return std::exchange(readEnd, -1); }

 private:
  void feed(int fd) {
    std::size_t done = 0;
    // Small, uneven writes, so that reads come back short.
    while (done < data.size()) {
      std::size_t n =
          std::min<std::size_t>(1 + done % 3000, data.size() - done);
      ssize_t wrote = ::write(fd, data.data() + done, n);
      if (wrote <= 0) break;  // the reader closed its end
      done += static_cast<std::size_t>(wrote);
    }
    ::close(fd);
  }
  std::string data;
  int readEnd;
  std::thread writer;
};

std::string readAll(KobFile& file) {
  std::string out;
  unsigned char buf[1000];
  for (int n; (n = file.read(buf, sizeof buf)) > 0;) out.append(buf, buf + n);
  return out;
}

TEST(StreamInput, PlainAndPackedDataComeThroughAPipeWhole) {
  std::mt19937 rng(kobtest::testSeed("ThroughAPipeWhole"));
  kobtest::TempDir dir;
  for (std::size_t size : {0u, 1u, 3u, 4u, 5u, 4096u, 70000u}) {
    SCOPED_TRACE(testing::Message() << "size " << size);
    std::string data = kobtest::makeData(size, rng);
    // Plain data that begins like the signature, but not all of it.
    data.replace(0, 4, std::string("KOB\x02").substr(0, size));
    std::string packed = kobtest::packFile(dir.path("p.kob"), data, 1000, rng);
    for (bool isPacked : {false, true}) {
      PipeFeeder feeder(isPacked ? packed : data);
      KobFile file;
      ASSERT_TRUE(file.openDescriptor(feeder.takeReadEnd(), READ));
      EXPECT_EQ(file.isCompressed(), isPacked);
      EXPECT_EQ(readAll(file), data);
      EXPECT_TRUE(file.isEOF());
      EXPECT_FALSE(file.hasError());
    }
  }
}

TEST(StreamInput, AFifoLosesNoByte) {
  std::mt19937 rng(2);
  kobtest::TempDir dir;
  const std::string fifo = dir.path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string data = kobtest::makeData(50000, rng);
  std::string packed = kobtest::packFile(dir.path("p.kob"), data, 4096, rng);
  for (const std::string& bytes : {data, packed}) {
    std::thread writer([&] {
      int fd = ::open(fifo.c_str(), O_WRONLY);
      ASSERT_EQ(::write(fd, bytes.data(), bytes.size()),
                static_cast<ssize_t>(bytes.size()));
      ::close(fd);
    });
    KobFile file(fifo.c_str(), READ);
    EXPECT_EQ(readAll(file), data);
    writer.join();
  }
}

// A packed stream answers reads and forward seeks exactly as the file does;
// a seek back either stays within the current chunk, or fails with -1 and
// changes nothing.
TEST(StreamInput, PackedStreamAnswersAsTheFileExceptGoingBack) {
  std::mt19937 rng(kobtest::testSeed("PackedStreamAnswersAsTheFile"));
  kobtest::TempDir dir;
  const std::string path = dir.path("s.kob");
  for (int round = 0; round < kobtest::testRounds(30); ++round) {
    const int chunkSize = 1 + static_cast<int>(rng() % 3000);
    std::string data = kobtest::makeData(rng() % 60000, rng);
    std::string packed = kobtest::packFile(path, data, chunkSize, rng);
    PipeFeeder feeder(packed);
    KobFile stream;
    ASSERT_TRUE(stream.openDescriptor(feeder.takeReadEnd(), READ));
    KobFile file(path.c_str(), READ);
    SCOPED_TRACE(testing::Message() << "round " << round << " size "
                                    << data.size() << " chunk " << chunkSize);
    for (int i = 0; i < 200 && !file.isEOF(); ++i) {
      unsigned char a[300], b[300];
      const std::int64_t here = file.tell64();
      switch (rng() % 4) {
        case 0: {
          const unsigned n = rng() % sizeof a;
          const int got = file.read(a, n);
          ASSERT_EQ(stream.read(b, n), got);
          ASSERT_EQ(std::string(a, a + got), std::string(b, b + got));
          break;
        }
        case 1:
          ASSERT_EQ(stream.get(), file.get());
          break;
        case 2: {  // forward
          const std::int64_t step = rng() % (2 * chunkSize + 2);
          const int whence = rng() % 2;
          const std::int64_t offset = whence == 0 ? here + step : step;
          ASSERT_EQ(stream.seek64(offset, whence), file.seek64(offset, whence));
          break;
        }
        default: {
          const std::int64_t back = rng() % (chunkSize + 2);
          const std::int64_t landed = stream.seek64(-back, 1);
          if (landed == -1) {
            ASSERT_EQ(stream.tell64(), here);
          } else {
            ASSERT_EQ(landed, file.seek64(-back, 1));
          }
          break;
        }
      }
      ASSERT_EQ(stream.tell64(), file.tell64());
      ASSERT_EQ(stream.isEOF(), file.isEOF());
      ASSERT_FALSE(stream.hasError());
    }
    stream.close();  // the feeder may still be writing: its writes now fail
  }
}

// A packed stream serves what has come through the pipe without waiting for
// the bytes after it: the chunks a program packing into a pipe has written
// so far can be read while it works on the next.
TEST(StreamInput, ServesWhatHasComeWithoutWaitingForMore) {
  std::mt19937 rng(6);
  kobtest::TempDir dir;
  const std::string data = kobtest::makeData(50000, rng);
  const std::string packed =
      kobtest::packFile(dir.path("w.kob"), data, 4096, rng);
  // The first two chunks and the header after them.
  const std::size_t early = kobtest::parseHeaders(packed)[2].offset + 6;
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  std::mutex mutex;
  std::condition_variable servedOrNot;
  bool served = false;
  bool waitedInVain = false;
  std::thread writer([&, fd = ends[1]] {
    auto writeAll = [fd](const std::string& bytes) {
      for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
      }
    };
    writeAll(packed.substr(0, early));
    {
      // The rest comes once the reader has its bytes, or after 20 s.
      std::unique_lock<std::mutex> lock(mutex);
      waitedInVain = !servedOrNot.wait_for(lock, std::chrono::seconds(20),
                                           [&] { return served; });
    }
    writeAll(packed.substr(early));
    ::close(fd);
  });
  KobFile stream;
  EXPECT_TRUE(stream.openDescriptor(ends[0], READ));
  std::string first(8192, '\0');
  const int got =
      stream.read(reinterpret_cast<unsigned char*>(first.data()), 8192);
  {
    std::lock_guard<std::mutex> lock(mutex);
    served = true;
  }
  servedOrNot.notify_one();
  const std::string rest = readAll(stream);
  writer.join();
  EXPECT_FALSE(waitedInVain) << "the reader waited for bytes it did not need";
  EXPECT_EQ(first.substr(0, static_cast<std::size_t>(std::max(got, 0))),
            data.substr(0, 8192));
  EXPECT_EQ(rest, data.substr(8192));
  EXPECT_FALSE(stream.hasError());
}

// A stream that ends inside a payload: a seek past it walks the headers,
// skipping payloads unread, and stops where the file stops on the damage.
TEST(StreamInput, ASeekPastTheEndOfACutStreamStopsOnTheDamage) {
  std::mt19937 rng(5);
  kobtest::TempDir dir;
  const std::string path = dir.path("cut.kob");
  std::string noise(100000, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  const std::string packed = kobtest::packFile(path, noise, 20000, rng);
  const std::vector<kobtest::ChunkHeader> headers =
      kobtest::parseHeaders(packed);
  const std::string cut =
      packed.substr(0, headers[3].offset + 6 + headers[3].payloadSize / 2);
  kobtest::writeFile(path, cut);
  for (const std::int64_t target :
       {std::int64_t{90000}, std::int64_t{1} << 40}) {
    KobFile file(path.c_str(), READ);
    PipeFeeder feeder(cut);
    KobFile stream;
    ASSERT_TRUE(stream.openDescriptor(feeder.takeReadEnd(), READ));
    // The start of the chunk cut short, where reading through stops too:
    // the file ends inside its payload.
    EXPECT_EQ(file.seek64(target, 0), 60000);
    EXPECT_EQ(file.damage(), kob::Damage::CutShort);
    EXPECT_EQ(file.failure().chunk, 3);
    EXPECT_EQ(stream.seek64(target, 0), 60000);
    EXPECT_EQ(stream.damage(), kob::Damage::CutShort);
    stream.close();
  }
}

class KobOnStreams : public ::testing::Test {
 protected:
  int run(const std::string& command) {
    const std::string line =
        "cd '" + dir.root().string() + "' && (" + command + ")";
    const int status = std::system(line.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string kob() const { return std::string("'") + KOB_PATH + "'"; }
  kobtest::TempDir dir;
};

TEST_F(KobOnStreams, UnpacksTestsAndListsStandardInputWithoutASpoolFile) {
  std::mt19937 rng(3);
  std::string data = kobtest::makeData(200000, rng);
  kobtest::writeFile(dir.path("data"), data);
  ASSERT_EQ(run(kob() + " -B 5000 data"), 0);
  ASSERT_EQ(run("cat data.kob | TMPDIR=/nonexistent " + kob() + " -d > out"),
            0);
  EXPECT_EQ(kobtest::readFile(dir.path("out")), data);
  EXPECT_EQ(run("cat data.kob | TMPDIR=/nonexistent " + kob() + " -t"), 0);
  EXPECT_EQ(run("cat data.kob | " + kob() + " -d -b 123456 -s 1000 > part"), 0);
  EXPECT_EQ(kobtest::readFile(dir.path("part")), data.substr(123456, 1000));
  EXPECT_EQ(run("cat data.kob | " + kob() + " -l > list"), 0);
  EXPECT_NE(kobtest::readFile(dir.path("list")).find(" 200000 "),
            std::string::npos);
  // The same sizes, ratio and chunks as for the file itself.
  EXPECT_EQ(run(kob() + " -l data.kob > file-list"), 0);
  auto sizes = [&](const std::string& name) {
    std::istringstream list(kobtest::readFile(dir.path(name)));
    std::string heading, packed, unpacked, ratio, chunks, chunkSize;
    std::getline(list, heading);
    list >> packed >> unpacked >> ratio >> chunks >> chunkSize;
    return packed + " " + unpacked + " " + ratio + " " + chunks + " " +
           chunkSize;
  };
  EXPECT_EQ(sizes("list"), sizes("file-list"));
  std::string cut = kobtest::readFile(dir.path("data.kob"));
  kobtest::writeFile(dir.path("cut.kob"), cut.substr(0, cut.size() / 2));
  EXPECT_EQ(run("cat cut.kob | " + kob() + " -t 2>/dev/null"), 1);
}

TEST_F(KobOnStreams, ReadsAFifoGivenAsAnInputWhole) {
  std::mt19937 rng(4);
  std::string data = kobtest::makeData(100000, rng);
  kobtest::writeFile(dir.path("data"), data);
  ASSERT_EQ(run(kob() + " -c data > data.kob"), 0);
  ASSERT_EQ(mkfifo(dir.path("fifo").c_str(), 0600), 0);
  EXPECT_EQ(run("cat data.kob > fifo & " + kob() + " -d -c fifo > out; wait"),
            0);
  EXPECT_EQ(kobtest::readFile(dir.path("out")), data);
}

}  // namespace

namespace {

// A plain stream seeks forward by reading on; back it cannot go. Where a
// seek lands, the end flag is cleared, as fseek clears it.
TEST(StreamInput, APlainStreamSeeksForwardOnly) {
  std::mt19937 rng(12);
  const std::string data = kobtest::makeData(200000, rng);
  PipeFeeder feeder(data);
  KobFile stream;
  ASSERT_TRUE(stream.openDescriptor(feeder.takeReadEnd(), READ));
  ASSERT_FALSE(stream.isCompressed());
  EXPECT_EQ(stream.seek64(1000, 0), 1000);
  EXPECT_EQ(stream.get(), static_cast<unsigned char>(data[1000]));
  EXPECT_EQ(stream.seek64(100000, 1), 101001);
  EXPECT_EQ(stream.get(), static_cast<unsigned char>(data[101001]));
  // Back it cannot go (ESPIPE); from an end it does not know, or by a
  // whence that is none, it is not asked to (EINVAL).
  for (const auto& [offset, whence, error] :
       {std::tuple{5, SEEK_SET, ESPIPE}, std::tuple{-1, SEEK_CUR, ESPIPE},
        std::tuple{0, SEEK_END, EINVAL}, std::tuple{0, 7, EINVAL}}) {
    errno = 0;
    EXPECT_EQ(stream.seek64(offset, whence), -1) << whence;
    EXPECT_EQ(errno, error) << whence;
  }
  std::string rest(data.size(), '\0');
  const int got = stream.read(reinterpret_cast<unsigned char*>(rest.data()),
                              static_cast<unsigned>(rest.size()));
  EXPECT_EQ(rest.substr(0, static_cast<std::size_t>(got)), data.substr(101002));
  EXPECT_TRUE(stream.isEOF());
  EXPECT_EQ(stream.seek64(0, 1), static_cast<std::int64_t>(data.size()));
  EXPECT_FALSE(stream.isEOF());
  EXPECT_EQ(stream.seek64(10, 1), static_cast<std::int64_t>(data.size()));
  EXPECT_TRUE(stream.isEOF());  // beyond the end: it lands there
}

}  // namespace
