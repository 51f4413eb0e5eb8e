// SPDX-License-Identifier: GPL-2.0-or-later
// The memory a kob::SharedReader holds, measured against the bound its
// header states: 8 threads of random lookups (and some reads spanning
// many chunks on helper threads) on a packed file of 4 GB with its saved
// index. Prints the process's peak resident memory before the reader
// opened and after the lookups, the growth, and the stated bound.
// Usage: memory_bound SCRATCH_DIR [GIGABYTES]

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kob_index.h"
#include "kob_packer.h"
#include "kob_shared.h"

namespace {

long peakKilobytes() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: memory_bound SCRATCH_DIR [GIGABYTES]\n");
    return 2;
  }
  const std::string path = std::string(argv[1]) + "/memory_bound.kob";
  const std::uint64_t size = (argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 4) << 30;
  const std::uint64_t chunk = kob::kDefaultChunkSize;
  if (access(path.c_str(), R_OK) != 0) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    kob::PackOptions options;
    options.level = kob::kFastestLevel;
    options.threads = 0;
    kob::Packer packer(out, options);
    std::vector<unsigned char> block(1 << 20);
    std::mt19937 rng(1);
    for (std::uint64_t done = 0; done < size; done += block.size()) {
      // Text-like bytes that compress, a little different each block.
      for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<unsigned char>('a' + (i * 7 + done / block.size()) % 26);
      }
      block[rng() % block.size()] = static_cast<unsigned char>(rng());
      packer.write(block.data(), block.size());
    }
    if (packer.finish().failed() || std::fclose(out) != 0) return 1;
    const int fd = ::open(path.c_str(), O_RDONLY);
    std::FILE* index = std::fopen((path + ".kbi").c_str(), "wb");
    if (!kob::writeIndex(fd, index).ok() || std::fclose(index) != 0) return 1;
    ::close(fd);
  }
  constexpr int kThreads = 8;
  constexpr int kLookups = 20000;
  // The threads' own buffers, made and touched before the count starts.
  std::vector<std::vector<unsigned char>> entries(
      kThreads, std::vector<unsigned char>(2 << 20, 1));
  const long before = peakKilobytes();
  kob::SharedReader reader;
  reader.setPartialDecoding(true);
  reader.setThreads(0);
  if (reader.open(path.c_str()).failed()) return 1;
  std::atomic<std::uint64_t> bytes{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 rng(static_cast<unsigned>(t));
      std::vector<unsigned char>& entry = entries[static_cast<std::size_t>(t)];
      for (int i = 0; i < kLookups; ++i) {
        const std::size_t length =
            i % 1000 == 0 ? entry.size() : 100 + rng() % 1900;
        bytes += reader.readAt(rng() % size, entry.data(), length).bytes;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const long after = peakKilobytes();
  const std::uint64_t chunks = size / chunk;
  // The bound kob_shared.h states: the saved index's records (10 bytes a
  // chunk, and its milestones), and a cursor for each thread at once
  // (a chunk's data and a read window), the helpers' among them.
  const std::uint64_t bound =
      chunks * 10 + chunks / 64 * 16 +
      static_cast<std::uint64_t>(kThreads + std::thread::hardware_concurrency()) *
          (64 * 1024 + 128 * 1024 + 64 * 1024);
  std::printf("%d threads, %d lookups each, %.1f GB read\n", kThreads, kLookups,
              static_cast<double>(bytes) / 1e9);
  std::printf("peak resident: %ld kB before opening, %ld kB after\n", before,
              after);
  std::printf("growth: %ld kB; stated bound: %llu kB\n", after - before,
              static_cast<unsigned long long>(bound / 1024));
  return 0;
}
