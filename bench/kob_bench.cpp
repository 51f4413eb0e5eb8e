// Benchmarks of KobFile, each beside a raw-LZO yardstick measured in the same
// run, so that the ratios can be read off one report:
//
//   RandomLookup         vs LookupYardstick        (decompress the chunks
//                                                   that hold the entry)
//   SequentialRead/1K,64K vs DecompressYardstick   (lzo1x_decompress_safe
//                                                   over the same chunks)
//   Pack                 vs CompressYardstick      (lzo1x_999_compress)
//   PackThreads/1,2      (kob::packStream; the speed-up from threads)
//   LookupAtSize/4,40,400 MB                       (must stay flat)
//
// Data: --kob_corpus=PATH reads a text corpus (tens of MB is the honest
// case); without it a synthetic text of 40 MB is made.

#include <benchmark/benchmark.h>
#include <lzo/lzo1x.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kob.h"
#include "kob_pack.h"

namespace {

constexpr int kChunkSize = 16384;
std::string corpusPath;

const std::string& corpus() {
  static const std::string data = [] {
    if (!corpusPath.empty()) {
      std::ifstream in(corpusPath, std::ios::binary);
      return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static const char* const kWords[] = {
        "the ",    "of ",         "and ",     "a ",         "to ",
        "in ",     "harbor ",     "lantern ", "meadow ",    "glacier ",
        "copper ", "quill ",      "zephyr ",  "tide ",      "granite ",
        "\n    ",  "lighthouse ", "orchard ", "barometer ", "equator ",
        ".\n\n"};
    std::mt19937 rng(42);
    std::string text;
    text.reserve(40 << 20);
    while (text.size() < (40u << 20)) {
      // Zipf-like: earlier words far more often.
      std::size_t pick = rng() % std::size(kWords);
      text += kWords[rng() % (pick + 1)];
    }
    return text;
  }();
  return data;
}

std::string scratchDir() {
  static const std::string dir = [] {
    std::string path = std::filesystem::temp_directory_path() / "kob-bench";
    std::filesystem::create_directories(path);
    return path;
  }();
  return dir;
}

std::string readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// One packed chunk, for the yardsticks that work from memory.
struct Chunk {
  std::size_t position;  // first uncompressed byte
  std::uint32_t dataSize;
  const unsigned char* payload;
  std::uint32_t payloadSize;
};

std::uint32_t field(const std::string& bytes, std::size_t at) {
  return (std::uint32_t(std::uint8_t(bytes[at])) << 8) |
         std::uint8_t(bytes[at + 1]);
}

std::vector<Chunk> chunksOf(const std::string& packed) {
  std::vector<Chunk> chunks;
  std::size_t offset = 6, position = 0;
  for (;;) {
    std::uint32_t dataSize = field(packed, offset);
    std::uint32_t payloadSize = field(packed, offset + 2);
    if (payloadSize == 0) return chunks;
    chunks.push_back(
        {position, dataSize,
         reinterpret_cast<const unsigned char*>(packed.data()) + offset + 6,
         payloadSize});
    position += dataSize;
    offset += 6 + payloadSize;
  }
}

// The corpus packed once with KobFile; repeated to reach other sizes (the
// chunks are independent, so only the repeated first back-link changes).
struct PackedFile {
  std::string path;
  std::string bytes;
  std::vector<Chunk> chunks;
  std::size_t dataSize;
};

const PackedFile& packedCorpus() {
  static const PackedFile file = [] {
    PackedFile f;
    f.path = scratchDir() + "/corpus.kob";
    KobFile writer(f.path.c_str(), WRITE, kChunkSize);
    writer.write(corpus().data(), static_cast<unsigned>(corpus().size()));
    writer.close();
    f.bytes = readWholeFile(f.path);
    f.chunks = chunksOf(f.bytes);
    f.dataSize = corpus().size();
    return f;
  }();
  return file;
}

// A packed file of about `megabytes` MB of data, made of repeats of the
// first 4 MB of the packed corpus, so that every size holds the same chunks
// and only the size differs.
std::string packedOfSize(std::size_t megabytes) {
  const PackedFile& base = packedCorpus();
  std::string path =
      scratchDir() + "/size-" + std::to_string(megabytes) + ".kob";
  if (std::filesystem::exists(path)) return path;
  std::size_t wanted = megabytes << 20;
  std::ofstream out(path, std::ios::binary);
  out.write(base.bytes.data(), 6);
  std::uint32_t lastPayload = 0;
  std::size_t written = 0;
  const std::size_t chunksInBlock = (4u << 20) / kChunkSize;
  while (written < wanted) {
    for (std::size_t i = 0; i < chunksInBlock; ++i) {
      const Chunk& c = base.chunks[i];
      unsigned char header[6] = {
          std::uint8_t(c.dataSize >> 8),    std::uint8_t(c.dataSize),
          std::uint8_t(c.payloadSize >> 8), std::uint8_t(c.payloadSize),
          std::uint8_t(lastPayload >> 8),   std::uint8_t(lastPayload)};
      out.write(reinterpret_cast<const char*>(header), 6);
      out.write(reinterpret_cast<const char*>(c.payload), c.payloadSize);
      lastPayload = c.payloadSize;
      written += c.dataSize;
      if (written >= wanted) break;
    }
  }
  unsigned char end[6] = {
      0, 0, 0, 0, std::uint8_t(lastPayload >> 8), std::uint8_t(lastPayload)};
  out.write(reinterpret_cast<const char*>(end), 6);
  return path;
}

std::size_t dataSizeOf(const std::string& path) {
  KobFile reader(path.c_str(), READ);
  return static_cast<unsigned>(reader.seek(0x7FFFFFFF, 0));
}

struct Lookup {
  std::size_t offset;
  unsigned length;
};

std::vector<Lookup> randomLookups(std::size_t dataSize) {
  std::mt19937 rng(7);
  std::vector<Lookup> lookups(4096);
  for (Lookup& l : lookups) {
    l.length = 100 + rng() % 1901;
    l.offset = rng() % (dataSize - l.length);
  }
  return lookups;
}

void lookupLoop(benchmark::State& state, const std::string& path,
                std::size_t dataSize) {
  KobFile reader(path.c_str(), READ);
  reader.seek(0x7FFFFFFF, 0);  // a first pass over the headers
  std::vector<Lookup> lookups = randomLookups(dataSize);
  std::vector<unsigned char> entry(2000);
  std::size_t i = 0;
  for (auto _ : state) {
    const Lookup& l = lookups[i++ % lookups.size()];
    reader.seek(static_cast<int>(l.offset), 0);
    benchmark::DoNotOptimize(reader.read(entry.data(), l.length));
  }
  state.SetItemsProcessed(state.iterations());
}

void RandomLookup(benchmark::State& state) {
  const PackedFile& f = packedCorpus();
  lookupLoop(state, f.path, f.dataSize);
}

void LookupYardstick(benchmark::State& state) {
  const PackedFile& f = packedCorpus();
  std::vector<Lookup> lookups = randomLookups(f.dataSize);
  std::vector<unsigned char> chunk(65536), entry(2000);
  std::size_t i = 0;
  for (auto _ : state) {
    const Lookup& l = lookups[i++ % lookups.size()];
    std::size_t first = l.offset / kChunkSize;
    std::size_t last = (l.offset + l.length - 1) / kChunkSize;
    std::size_t copied = 0;
    for (std::size_t c = first; c <= last; ++c) {
      const Chunk& ch = f.chunks[c];
      lzo_uint produced = ch.dataSize;
      lzo1x_decompress_safe(ch.payload, ch.payloadSize, chunk.data(), &produced,
                            nullptr);
      std::size_t from = c == first ? l.offset - ch.position : 0;
      std::size_t n =
          std::min<std::size_t>(ch.dataSize - from, l.length - copied);
      std::memcpy(entry.data() + copied, chunk.data() + from, n);
      copied += n;
    }
    benchmark::DoNotOptimize(entry.data());
  }
  state.SetItemsProcessed(state.iterations());
}

void SequentialRead(benchmark::State& state) {
  const PackedFile& f = packedCorpus();
  std::vector<unsigned char> block(state.range(0));
  for (auto _ : state) {
    KobFile reader(f.path.c_str(), READ);
    while (reader.read(block.data(), static_cast<unsigned>(block.size())) > 0) {
    }
  }
  state.SetBytesProcessed(state.iterations() * f.dataSize);
}

void DecompressYardstick(benchmark::State& state) {
  const PackedFile& f = packedCorpus();
  std::vector<unsigned char> chunk(65536);
  for (auto _ : state) {
    for (const Chunk& ch : f.chunks) {
      lzo_uint produced = ch.dataSize;
      lzo1x_decompress_safe(ch.payload, ch.payloadSize, chunk.data(), &produced,
                            nullptr);
      benchmark::DoNotOptimize(chunk.data());
    }
  }
  state.SetBytesProcessed(state.iterations() * f.dataSize);
}

// Packing is slow (LZO1X-999); a slice of the corpus keeps the run short.
std::string_view packSlice() {
  return std::string_view(corpus()).substr(0, 4 << 20);
}

void Pack(benchmark::State& state) {
  std::string path = scratchDir() + "/pack.kob";
  for (auto _ : state) {
    KobFile writer(path.c_str(), WRITE, kChunkSize);
    writer.write(packSlice().data(), static_cast<unsigned>(packSlice().size()));
    writer.close();
  }
  state.SetBytesProcessed(state.iterations() * packSlice().size());
}

void CompressYardstick(benchmark::State& state) {
  static lzo_align_t work[(LZO1X_999_MEM_COMPRESS + sizeof(lzo_align_t) - 1) /
                          sizeof(lzo_align_t)];
  std::vector<unsigned char> out(kChunkSize + kChunkSize / 16 + 64 + 3);
  for (auto _ : state) {
    for (std::size_t at = 0; at < packSlice().size(); at += kChunkSize) {
      std::size_t n =
          std::min<std::size_t>(kChunkSize, packSlice().size() - at);
      lzo_uint produced = 0;
      lzo1x_999_compress(
          reinterpret_cast<const unsigned char*>(packSlice().data()) + at, n,
          out.data(), &produced, work);
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetBytesProcessed(state.iterations() * packSlice().size());
}

// The parallel packer on 1, 2, ... threads, over the same slice as Pack.
void PackThreads(benchmark::State& state) {
  std::string input = scratchDir() + "/pack-input";
  if (!std::filesystem::exists(input)) {
    std::ofstream(input, std::ios::binary) << packSlice();
  }
  std::string path = scratchDir() + "/pack-threads.kob";
  for (auto _ : state) {
    std::FILE* in = std::fopen(input.c_str(), "rb");
    std::FILE* out = std::fopen(path.c_str(), "wb");
    kob::packStream(in, out, kChunkSize, static_cast<unsigned>(state.range(0)));
    std::fclose(out);
    std::fclose(in);
  }
  state.SetBytesProcessed(state.iterations() * packSlice().size());
}

void LookupAtSize(benchmark::State& state) {
  std::string path = packedOfSize(state.range(0));
  static std::size_t sizes[1024] = {};
  std::size_t& size = sizes[state.range(0) % 1024];
  if (size == 0) size = dataSizeOf(path);
  lookupLoop(state, path, size);
}

BENCHMARK(RandomLookup);
BENCHMARK(LookupYardstick);
BENCHMARK(SequentialRead)->Arg(1024)->Arg(65536)->Unit(benchmark::kMillisecond);
BENCHMARK(DecompressYardstick)->Unit(benchmark::kMillisecond);
BENCHMARK(Pack)->Unit(benchmark::kMillisecond);
BENCHMARK(CompressYardstick)->Unit(benchmark::kMillisecond);
BENCHMARK(PackThreads)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(LookupAtSize)->Arg(4)->Arg(40)->Arg(400);

}  // namespace

int main(int argc, char** argv) {
  lzo_init();
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--kob_corpus=", 13) == 0)
      corpusPath = argv[i] + 13;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
