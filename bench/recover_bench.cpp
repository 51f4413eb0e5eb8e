// SPDX-License-Identifier: GPL-2.0-or-later
//
// kob --recover past junk: an intact chunk of 65535 bytes, a damaged
// header, 1, 10 or 100 MB of junk (0xFF, whose every offset reads as a
// header chaining to the next, or random bytes), an intact chunk. The
// reads are counted and set beside the file's size, and the time beside
// that of reading the same file once from start to end in large reads
// (Plain/...), measured in the same run: both must grow linearly with the
// size.
//
//   build/bench/recover_bench [--benchmark_filter=...]

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "format/codec.h"
#include "format/format.h"
#include "kob_recover.h"
#include "source/opening.h"
#include "source/source.h"

namespace {

constexpr std::size_t kMiB = 1 << 20;

struct Counts {
  std::uint64_t reads = 0;
  std::uint64_t bytes = 0;
};

// A file descriptor read with pread, every read counted.
class CountingFile final : public kob::Source {
 public:
  CountingFile(int fd, Counts& aCounts)
      : file(kob::UniqueFd(fd), true), counts(aCounts) {}
  std::int64_t readAt(std::int64_t offset, unsigned char* into,
                      std::size_t count, int& error) override {
    ++counts.reads;
    const std::int64_t got = file.readAt(offset, into, count, error);
    if (got > 0) counts.bytes += static_cast<std::uint64_t>(got);
    return got;
  }
  bool seekable() const override { return true; }
  kob::Identity identity() const override { return file.identity(); }

 private:
  kob::FileSource file;
  Counts& counts;
};

std::string text(std::size_t size, std::mt19937& rng) {
  static const char* const kWords[] = {"harbor ", "lantern ", "meadow ",
                                       "glacier ", "the ", "of ", "\n"};
  std::string data;
  while (data.size() < size) data += kWords[rng() % std::size(kWords)];
  data.resize(size);
  return data;
}

void appendChunk(std::string& file, const std::string& data,
                 std::uint32_t& previous) {
  kob::initCompression();
  std::vector<unsigned char> payload(kob::worstCaseCompressedSize(data.size()));
  std::uint32_t size = 0;
  kob::compressOnce(reinterpret_cast<const unsigned char*>(data.data()),
                    static_cast<std::uint32_t>(data.size()), kob::kDefaultLevel,
                    payload.data(), kob::threadWorkMemory(), size);
  unsigned char header[kob::kHeaderSize];
  kob::encodeHeader(header, static_cast<std::uint32_t>(data.size()), size,
                    previous);
  file.append(reinterpret_cast<const char*>(header), sizeof header);
  file.append(reinterpret_cast<const char*>(payload.data()), size);
  previous = size;
}

// The damaged file with `megabytes` of junk, written once under /tmp.
std::string damagedFile(std::size_t megabytes, bool random) {
  const std::string path = std::string(P_tmpdir) + "/kob-recover-bench-" +
                           (random ? "random-" : "ff-") +
                           std::to_string(megabytes) + ".kob";
  if (access(path.c_str(), R_OK) == 0) return path;
  std::mt19937 rng(static_cast<unsigned>(megabytes));
  std::string file(reinterpret_cast<const char*>(kob::kSignature),
                   sizeof kob::kSignature);
  std::uint32_t previous = 0;
  appendChunk(file, text(65535, rng), previous);
  const std::size_t damaged = file.size();
  appendChunk(file, text(65535, rng), previous);
  file[damaged + 5] = static_cast<char>(file[damaged + 5] ^ 0x40);
  std::string junk(megabytes * kMiB, '\xff');
  if (random) {
    for (char& byte : junk) byte = static_cast<char>(rng());
  }
  file += junk;
  appendChunk(file, text(65535, rng), previous);
  unsigned char end[kob::kHeaderSize];
  kob::encodeHeader(end, 0, 0, previous);
  file.append(reinterpret_cast<const char*>(end), sizeof end);
  std::FILE* out = std::fopen(path.c_str(), "wb");
  std::fwrite(file.data(), 1, file.size(), out);
  std::fclose(out);
  return path;
}

void report(benchmark::State& state, const Counts& counts, std::size_t runs,
            std::int64_t size) {
  state.SetBytesProcessed(static_cast<std::int64_t>(runs) * size);
  state.counters["reads"] = static_cast<double>(counts.reads) / static_cast<double>(runs);
  state.counters["read_per_byte"] = static_cast<double>(counts.bytes) /
                                    static_cast<double>(runs) /
                                    static_cast<double>(size);
}

void Recover(benchmark::State& state, bool random) {
  const std::string path = damagedFile(static_cast<std::size_t>(state.range(0)), random);
  Counts counts;
  std::size_t runs = 0;
  std::int64_t size = 0;
  std::uint64_t lost = 0;
  for (auto _ : state) {
    std::FILE* out = std::fopen("/dev/null", "wb");
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    size = lseek(fd, 0, SEEK_END);
    kob::OpenRules rules;
    rules.needSeek = true;
    const kob::RecoveryReport recovered = kob::recoverPacked(
        kob::openSource(std::make_unique<CountingFile>(fd, counts), "", rules),
        out, {}, kob::IndexChoice::none());
    std::fclose(out);
    if (!recovered.failure.ok()) state.SkipWithError("the salvage failed");
    lost = recovered.losses;
    ++runs;
  }
  report(state, counts, runs, size);
  state.counters["lost_chunks"] = static_cast<double>(lost);
}

// The same file read once from start to end, 256 KiB at a time: what
// reading it at all costs.
void Plain(benchmark::State& state) {
  const std::string path = damagedFile(static_cast<std::size_t>(state.range(0)), true);
  Counts counts;
  std::size_t runs = 0;
  std::int64_t size = 0;
  std::vector<unsigned char> buffer(256 * 1024);
  for (auto _ : state) {
    CountingFile file(::open(path.c_str(), O_RDONLY | O_CLOEXEC), counts);
    size = file.identity().size;
    int error = 0;
    for (std::int64_t at = 0;;) {
      const std::int64_t got = file.readAt(at, buffer.data(), buffer.size(), error);
      if (got <= 0) break;
      benchmark::DoNotOptimize(buffer[0]);
      at += got;
    }
    ++runs;
  }
  report(state, counts, runs, size);
}

BENCHMARK_CAPTURE(Recover, ff, false)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Recover, random, true)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(Plain)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
