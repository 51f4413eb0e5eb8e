// SPDX-License-Identifier: GPL-2.0-or-later
//
// What the seal costs and what it saves, each as a ratio to the same work
// on the plain format (or on a peer) measured in the same run, in paired
// rounds (one of each, alternating, the median of each kept):
//
//   checksums     per chunk: LZO1X decompression of its data, XXH3-64 of its
//                 payload (what the seal keeps), XXH3-64 of its data (what
//                 a checksum of the data would cost)
//   lookups       warm random lookups of 100-2000 bytes through one
//                 kob::SharedReader (partial decoding): sealed / plain
//   unpack        the whole file through kob::scanPacked (what kob -dc
//                 does), on 1 and 2 threads: sealed / plain, and the speed-up
//                 of 2 threads on the sealed file
//   pack          kob::Packer at the default level: sealed / plain
//   one-shot      `kob -b N -s M` in a fresh process near the end of a
//                 400 MB file: sealed without a .kbi, plain with its .kbi,
//                 and `bgzip -b N -s M` with its .gzi
//   kob -dc       in a fresh process, sealed / plain, and -T 2 / -T 1
//
//   usage: seal_bench KOB CORPUS [ROUNDS]
//
// CORPUS is repeated to 400 MB for the one-shot lookups; the other figures
// use it as it is (tens of MB is the honest case). Needs bgzip.

#include <fcntl.h>
#include <lzo/lzo1x.h>
#include <spawn.h>
#include <sys/wait.h>
#include <xxhash.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "kob_packer.h"
#include "kob_scan.h"
#include "kob_shared.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

[[noreturn]] void fail(const std::string& why) {
  std::fprintf(stderr, "seal_bench: %s\n", why.c_str());
  std::exit(1);
}

double seconds(const std::function<void()>& work) {
  const auto start = Clock::now();
  work();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Runs each of `works` once a round, `rounds` rounds, in turn; the median
// time of each.
std::vector<double> paired(int rounds,
                           const std::vector<std::function<void()>>& works) {
  std::vector<std::vector<double>> times(works.size());
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t i = 0; i < works.size(); ++i) {
      times[i].push_back(seconds(works[i]));
    }
  }
  std::vector<double> medians;
  for (const auto& t : times) medians.push_back(median(t));
  return medians;
}

void run(std::vector<std::string> words, const std::string& output = "/dev/null") {
  std::vector<char*> arguments;
  for (std::string& word : words) arguments.push_back(word.data());
  arguments.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t child = 0;
  if (posix_spawnp(&child, words[0].c_str(), &actions, nullptr, arguments.data(),
                   environ) != 0) {
    fail("cannot start " + words[0]);
  }
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fail(words[0] + " " + words[1] + " failed");
  }
}

void pack(const std::string& data, const std::string& path, bool seal) {
  std::FILE* out = std::fopen(path.c_str(), "wbe");
  if (out == nullptr) fail("cannot write " + path);
  kob::PackOptions options;
  options.seal = seal;
  options.threads = 0;
  kob::Packer packer(out, options);
  if (packer.write(data.data(), data.size()).failed() ||
      packer.finish().failed() || std::fclose(out) != 0) {
    fail("cannot pack " + path);
  }
}

void line(const char* what, double a, double b, const char* unit, double scale) {
  std::printf("%-46s %10.2f %10.2f %s   ratio %.3f\n", what, a * scale, b * scale,
              unit, a / b);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s KOB CORPUS [ROUNDS]\n", argv[0]);
    return 2;
  }
  const std::string kob = argv[1];
  const std::string corpus = readAll(argv[2]);
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 15;
  if (corpus.size() < (1 << 20)) fail("the corpus should hold 1 MB at least");
  const fs::path scratch = fs::temp_directory_path() / "kob-seal-bench";
  fs::create_directories(scratch);
  const std::string plain = scratch / "plain.kob";
  const std::string sealed = scratch / "sealed.kob";
  pack(corpus, plain, false);
  pack(corpus, sealed, true);
  std::printf("corpus %zu bytes; plain %ju bytes, sealed %ju (+%.3f%%); %d rounds\n",
              corpus.size(), static_cast<std::uintmax_t>(fs::file_size(plain)),
              static_cast<std::uintmax_t>(fs::file_size(sealed)),
              100.0 * (static_cast<double>(fs::file_size(sealed)) /
                           static_cast<double>(fs::file_size(plain)) - 1),
              rounds);
  std::printf("%-46s %10s %10s\n", "", "this", "yardstick");

  // Checksums, per chunk of 16 KiB.
  {
    lzo_init();
    std::vector<std::vector<unsigned char>> payloads;
    std::vector<unsigned char> scratchArea(LZO1X_999_MEM_COMPRESS);
    std::vector<unsigned char> out(16384 + 16384 / 16 + 67);
    for (std::size_t at = 0; at + 16384 <= corpus.size(); at += 16384) {
      lzo_uint size = 0;
      lzo1x_1_compress(reinterpret_cast<const unsigned char*>(corpus.data()) + at,
                       16384, out.data(), &size, scratchArea.data());
      payloads.emplace_back(out.begin(), out.begin() + static_cast<long>(size));
    }
    std::vector<unsigned char> data(16384);
    std::uint64_t sink = 0;
    const auto times = paired(rounds, {
        [&] {
          for (const auto& p : payloads) {
            lzo_uint size = data.size();
            lzo1x_decompress_safe(p.data(), p.size(), data.data(), &size, nullptr);
            sink += data[size / 2];
          }
        },
        [&] { for (const auto& p : payloads) sink += XXH3_64bits(p.data(), p.size()); },
        [&] {
          for (std::size_t at = 0; at + 16384 <= corpus.size(); at += 16384) {
            sink += XXH3_64bits(corpus.data() + at, 16384);
          }
        }});
    const double n = static_cast<double>(payloads.size());
    std::printf("checksums per chunk (sink %ju):\n", static_cast<std::uintmax_t>(sink & 1));
    line("  XXH3-64 of the payload / decompression", times[1] / n, times[0] / n, "us", 1e6);
    line("  XXH3-64 of the data / decompression", times[2] / n, times[0] / n, "us", 1e6);
  }

  // Warm random lookups through one SharedReader.
  {
    kob::SharedReader readers[2];
    for (int i = 0; i < 2; ++i) {
      readers[i].setPartialDecoding(true);
      if (readers[i].open((i == 0 ? sealed : plain).c_str(), kob::IndexChoice::none())
              .failed()) {
        fail("cannot open");
      }
    }
    std::mt19937 rng(7);
    std::vector<std::pair<std::uint64_t, std::size_t>> lookups;
    for (int i = 0; i < 20000; ++i) {
      const std::size_t length = 100 + rng() % 1900;
      lookups.emplace_back(rng() % (corpus.size() - length), length);
    }
    std::vector<char> buffer(2000);
    auto look = [&](kob::SharedReader& reader) {
      for (const auto& [at, length] : lookups) {
        const kob::ReadResult got = reader.readAt(at, buffer.data(), length);
        if (got.bytes != length || std::memcmp(buffer.data(), corpus.data() + at, length) != 0) {
          fail("a lookup gave wrong bytes");
        }
      }
    };
    look(readers[0]);  // warm: every chunk known
    look(readers[1]);
    const auto times = paired(rounds, {[&] { look(readers[0]); }, [&] { look(readers[1]); }});
    const double n = static_cast<double>(lookups.size());
    line("warm SharedReader lookup: sealed / plain", times[0] / n, times[1] / n, "us", 1e6);
  }

  // The whole file, as kob -dc reads it.
  for (unsigned threads : {1u, 2u}) {
    auto unpack = [&](const std::string& path) {
      kob::ScanOptions options;
      options.decompress = true;
      options.threads = threads;
      options.index = kob::IndexChoice::none();
      std::uint64_t bytes = 0;
      options.onData = [&](const unsigned char*, std::size_t size) {
        bytes += size;
        return kob::Failure();
      };
      if (kob::scanPacked(kob::openFile(path), options).failure.failed() ||
          bytes != corpus.size()) {
        fail("cannot unpack " + path);
      }
    };
    const auto times = paired(rounds, {[&] { unpack(sealed); }, [&] { unpack(plain); }});
    line(threads == 1 ? "unpack in process, 1 thread: sealed / plain"
                      : "unpack in process, 2 threads: sealed / plain",
         times[0], times[1], "ms", 1e3);
  }

  // Packing.
  {
    const std::string out = scratch / "out.kob";
    auto packing = [&](bool seal) {
      std::FILE* file = std::fopen(out.c_str(), "wbe");
      kob::PackOptions options;
      options.seal = seal;
      kob::Packer packer(file, options);
      packer.write(corpus.data(), std::min<std::size_t>(corpus.size(), 8 << 20));
      packer.finish();
      std::fclose(file);
    };
    const auto times = paired(std::max(3, rounds / 3),
                              {[&] { packing(true); }, [&] { packing(false); }});
    line("pack 8 MB at level 8: sealed / plain", times[0], times[1], "ms", 1e3);
  }

  // kob -dc in a fresh process.
  {
    const auto times = paired(rounds, {
        [&] { run({kob, "-dc", sealed}); },
        [&] { run({kob, "-dc", plain}); },
        [&] { run({kob, "-dc", "-T", "2", sealed}); }});
    line("kob -dc: sealed / plain", times[0], times[1], "ms", 1e3);
    line("kob -dc -T 2 / -T 1, sealed (speed-up 1/ratio)", times[2], times[0], "ms", 1e3);
  }

  // One-shot lookups near the end of 400 MB.
  {
    std::string big;
    while (big.size() < (400u << 20)) big += corpus;
    const std::string bigData = scratch / "big";
    std::ofstream(bigData, std::ios::binary) << big;
    const std::string bigSealed = scratch / "big-sealed.kob";
    const std::string bigPlain = bigData + ".kob";
    pack(big, bigSealed, true);
    run({kob, "-q", "-f", "-i", "-T", "0", bigData});  // plain, with its .kbi
    run({"bgzip", "-f", "-k", "-i", "-@", "2", bigData});  // big.gz, big.gz.gzi
    const std::uint64_t at = big.size() - big.size() / 17;
    const std::string offset = std::to_string(at);
    const auto times = paired(rounds * 10, {
        [&] { run({kob, "-b", offset, "-s", "100", bigSealed}); },
        [&] { run({kob, "-b", offset, "-s", "100", bigPlain}); },
        [&] { run({"bgzip", "-b", offset, "-s", "100", bigData + ".gz"}); }});
    line("one-shot kob -b/-s, 400 MB: sealed / plain+.kbi", times[0], times[1], "ms", 1e3);
    line("one-shot kob -b/-s, 400 MB: sealed / bgzip+.gzi", times[0], times[2], "ms", 1e3);
    fs::remove(bigData);
    fs::remove(bigData + ".gz");
    fs::remove(bigData + ".gz.gzi");
  }
  fs::remove_all(scratch);
  return 0;
}
