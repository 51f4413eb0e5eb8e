// SPDX-License-Identifier: GPL-2.0-or-later
// Benchmarks of KobFile, each beside a yardstick measured in the same run, so
// that the ratios can be read off one report. Random lookups are measured on
// kob and on two peer formats holding the same data: BGZF (htslib's gzip
// blocks of 64 KiB, with its .gzi index) and zstd (frames of 16 KiB of input,
// with a table of their offsets; see ZstdFrames).
//
//   LookupYardstick                   the reference for every lookup below:
//                                     decompress the LZO chunk(s) that hold
//                                     the entry, from memory
//   RandomLookup/FORMAT               one open reader, repeated lookups
//                                     (seek, read 100-2000 bytes)
//   ColdLookup/FORMAT/40MB|400MB      a fresh reader for each lookup: open
//                                     the file (kob: KobFile's open, which
//                                     reads the saved index when there is
//                                     one; BGZF: load the .gzi; zstd: read
//                                     the frame table), look up one entry
//                                     near the end, close
//   FreshProcessLookup/FORMAT/400MB   a fresh process for each lookup near
//                                     the end (bench/cold_lookup.cpp):
//                                     kob-indexed, kob-shared and bgzf with
//                                     their indexes, and "none", a process
//                                     that only starts and exits
//   LookupThreads/FORMAT/threads:1|2  the random lookups from 1 and 2 threads
//                                     at once; Time is wall time per lookup
//                                     (all threads together), CPU the
//                                     process's CPU time per lookup
//
// The formats: kob (a KobFile, whole chunks decompressed), kob-partial (a
// KobFile with partial decoding), kob-indexed (the same, on a copy of the
// file with its saved index beside it, so every payload read is checked
// against its checksum: kob-indexed beside kob-partial is what the
// checksums cost), kob-shared (one kob::SharedReader
// for all threads, partial decoding, saved index), kob-mapped (the same,
// the file read through a mapping of it into memory), bgzf, zstd.
//   SequentialRead/1K,64K  vs DecompressYardstick (lzo1x_decompress_safe over
//                                     the same chunks)
//   Pack                   vs CompressYardstick (lzo1x_999_compress)
//   PackLevel/1,8,9        kob -1 (LZO1X-1), the default, kob -9
//   PackThreads/1,2        (kob::packStream; the speed-up from threads)
//   LookupAtSize/4,40,400 MB          (kob; must stay flat)
//   Checksum/0,1            XXH3 and CRC32C over every payload: the
//                                     choice of the saved index's checksum
//   ChunksWithoutData/0,1   KobFile (0) and SharedReader (1) reading through
//                                     2,000,000 chunks without data: the
//                                     same road, about the same time
//
// Data: --kob_corpus=PATH reads a text corpus (tens of MB is the honest
// case); without it a synthetic text of 40 MB is made. The 400 MB files hold
// the corpus 10 times over. Files built from the corpus are kept in the
// scratch directory under the corpus's fingerprint, so reruns are quick.
// The page cache is warm throughout: "cold" means a fresh reader, not a
// fresh disk. Before any timing, every reader's lookups are checked against
// the corpus.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <htslib/bgzf.h>
#include <lzo/lzo1x.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xxhash.h>
#include <zstd.h>

extern char** environ;

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "kob.h"
#include "kob_pack.h"
#include "kob_open.h"
#include "kob_shared.h"

namespace {

constexpr int kChunkSize = 16384;
// zstd's default level: on the C-header corpus its 16 KiB frames come to
// about 10% less than LZO1X-999's chunks (the startup line prints the sizes).
constexpr int kZstdLevel = 3;
std::string corpusPath;

// printf into a string.
[[gnu::format(printf, 1, 2)]] std::string printed(const char* format, ...) {
  char text[256];
  std::va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "kob_bench: %s\n", message.c_str());
  std::exit(1);
}

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

// Where a file built from the corpus is kept: `name` in the scratch
// directory, behind the corpus's size and hash so that another corpus gets
// files of its own.
std::string cachedPath(const std::string& name) {
  static const std::string tag = [] {
    char text[48];
    std::snprintf(text, sizeof text, "%zu-%016zx", corpus().size(),
                  std::hash<std::string_view>{}(corpus()));
    return std::string(text);
  }();
  return scratchDir() + "/" + tag + "-" + name;
}

// Builds `path` unless it is there: `build` writes to a temporary name that
// is renamed to `path` once complete, so a run stopped half-way leaves no
// file that looks finished.
void buildOnce(const std::string& path,
               const std::function<void(const std::string&)>& build) {
  if (std::filesystem::exists(path)) return;
  std::string part = path + ".part";
  build(part);
  std::filesystem::rename(part, path);
}

// Calls `use` on each 16 KiB block (the last may be shorter) of `copies`
// copies of the corpus laid back to back.
void forEachBlock(int copies,
                  const std::function<void(std::string_view)>& use) {
  const std::string& text = corpus();
  std::size_t total = text.size() * copies;
  std::string block;
  for (std::size_t at = 0; at < total; at += kChunkSize) {
    std::size_t length = std::min<std::size_t>(kChunkSize, total - at);
    block.clear();
    while (block.size() < length) {
      std::size_t from = (at + block.size()) % text.size();
      block.append(text, from,
                   std::min(length - block.size(), text.size() - from));
    }
    use(block);
  }
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

// Writes a packed file of the first `chunkCount` chunks of the packed corpus
// repeated until they hold at least `wanted` bytes of data.
void writeRepeatedChunks(const std::string& path, std::size_t chunkCount,
                         std::size_t wanted) {
  const PackedFile& base = packedCorpus();
  std::ofstream out(path, std::ios::binary);
  out.write(base.bytes.data(), 6);
  std::uint32_t lastPayload = 0;
  std::size_t written = 0;
  while (written < wanted) {
    for (std::size_t i = 0; i < chunkCount; ++i) {
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
  if (!out.flush()) fail("cannot write " + path);
}

// A packed file of about `megabytes` MB of data, made of repeats of the
// first 4 MB of the packed corpus, so that every size holds the same chunks
// and only the size differs.
std::string packedOfSize(std::size_t megabytes) {
  std::string path = cachedPath(printed("size-%zu.kob", megabytes));
  buildOnce(path, [&](const std::string& part) {
    writeRepeatedChunks(part, (4u << 20) / kChunkSize, megabytes << 20);
  });
  return path;
}

std::size_t dataSizeOf(const std::string& path) {
  KobFile reader(path.c_str(), READ);
  return static_cast<std::size_t>(reader.seek64(INT64_MAX, 0));
}

// kob: `copies` copies of the corpus, packed.
std::string kobFile(int copies) {
  if (copies == 1) return packedCorpus().path;
  std::string path = cachedPath(printed("x%d.kob", copies));
  buildOnce(path, [&](const std::string& part) {
    writeRepeatedChunks(part, packedCorpus().chunks.size(),
                        corpus().size() * copies);
  });
  return path;
}

// kob: a copy of kobFile(copies) with its saved index beside it (the index
// names the file it describes, so the copy needs one of its own).
std::string kobIndexedFile(int copies) {
  std::string path = cachedPath(printed("x%d-indexed2.kob", copies));
  buildOnce(path, [&](const std::string& part) {
    std::filesystem::copy_file(kobFile(copies), part);
  });
  if (kob::indexState(path) != kob::IndexState::Valid) {
    int fd = ::open(path.c_str(), O_RDONLY);
    std::FILE* out = std::fopen(kob::indexPathFor(path).c_str(), "wb");
    if (fd < 0 || out == nullptr || !kob::writeIndex(fd, out).ok() ||
        std::fclose(out) != 0) {
      fail("cannot index " + path);
    }
    ::close(fd);
  }
  return path;
}

// BGZF: `copies` copies of the corpus through bgzf_write at htslib's default
// level (blocks of 0xff00 bytes of input), and its index beside it, with
// ".gzi" appended to the name.
std::string bgzfFile(int copies) {
  std::string path = cachedPath(printed("x%d.bgzf", copies));
  buildOnce(path, [&](const std::string& part) {
    BGZF* out = bgzf_open(part.c_str(), "w");
    if (out == nullptr || bgzf_index_build_init(out) < 0)
      fail("cannot write " + part);
    for (int i = 0; i < copies; ++i) {
      if (bgzf_write(out, corpus().data(), corpus().size()) < 0)
        fail("cannot write " + part);
    }
    if (bgzf_index_dump(out, (path + ".gzi").c_str(), nullptr) < 0 ||
        bgzf_close(out) < 0) {
      fail("cannot write " + part);
    }
  });
  return path;
}

// zstd: the data cut into frames of 16 KiB of input (the last may hold
// less), each compressed on its own at kZstdLevel, and a table of where they
// are appended to the same file:
//
//   frames  frame 0, frame 1, ... back to back
//   table   frameCount + 1 file offsets: where each frame starts, then where
//           the table starts (so frame i is offsets[i]..offsets[i + 1])
//   footer  frameCount, then the data size
//
// Every number in table and footer is a little-endian uint64. Frame i holds
// the data from i * 16384 on. A reader reads the footer and the table at
// open; a lookup then preads the frames that hold the entry in one read.
void putLe64(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out += char(value >> (8 * i));
}

std::uint64_t getLe64(const unsigned char* in) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | in[i];
  return value;
}

std::string zstdFile(int copies) {
  std::string path = cachedPath(printed("x%d.zst", copies));
  buildOnce(path, [&](const std::string& part) {
    std::ofstream out(part, std::ios::binary);
    std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> cctx(ZSTD_createCCtx(),
                                                              ZSTD_freeCCtx);
    std::vector<char> frame(ZSTD_compressBound(kChunkSize));
    std::vector<std::uint64_t> offsets{0};
    forEachBlock(copies, [&](std::string_view block) {
      std::size_t size =
          ZSTD_compressCCtx(cctx.get(), frame.data(), frame.size(),
                            block.data(), block.size(), kZstdLevel);
      if (ZSTD_isError(size)) fail(ZSTD_getErrorName(size));
      out.write(frame.data(), size);
      offsets.push_back(offsets.back() + size);
    });
    std::string table;
    for (std::uint64_t offset : offsets) putLe64(table, offset);
    putLe64(table, offsets.size() - 1);
    putLe64(table, corpus().size() * copies);
    out.write(table.data(), table.size());
    if (!out.flush()) fail("cannot write " + part);
  });
  return path;
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

// The entry a cold reader looks up: 1000 bytes about 1 MB before the end of
// the data, near the end yet clear of the last block, which BGZF leaves short
// (a short block would make its lookup look cheaper than it is).
Lookup farEnd(std::size_t dataSize) {
  return {dataSize - (1 << 20) + 5000, 1000};
}

// The last 100 bytes of the data: a warm reader has read them once (which
// lets kob learn its whole chunk index).
Lookup lastBytes(std::size_t dataSize) { return {dataSize - 100, 100}; }

// A reader of one format. lookup() copies the entry into `entry` (room for
// 2000 bytes) and returns the number of bytes copied.
class Reader {
 public:
  Reader() = default;
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  virtual ~Reader() = default;
  virtual std::size_t lookup(const Lookup& l, unsigned char* entry) = 0;
};

// The yardstick: decompress the LZO chunk(s) holding the entry straight from
// the packed corpus in memory, with no file and no headers to read.
class LzoChunkReader final : public Reader {
 public:
  std::size_t lookup(const Lookup& l, unsigned char* entry) override {
    const PackedFile& f = packedCorpus();
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
      std::memcpy(entry + copied, chunk.data() + from, n);
      copied += n;
    }
    return copied;
  }

 private:
  std::vector<unsigned char> chunk = std::vector<unsigned char>(65536);
};

// kob: seek and read on a KobFile.
class KobReader final : public Reader {
 public:
  explicit KobReader(const std::string& path, bool partial = false) {
    file.setPartialDecoding(partial);
    if (!file.open(path.c_str(), READ)) fail("cannot open " + path);
  }
  std::size_t lookup(const Lookup& l, unsigned char* entry) override {
    const auto offset = static_cast<std::int64_t>(l.offset);
    if (file.seek64(offset, 0) != offset) return 0;
    int got = file.read(entry, l.length);
    return got > 0 ? got : 0;
  }

 private:
  KobFile file;
};

// kob: positional reads on a kob::SharedReader that any number of
// SharedKobReaders may share.
class SharedKobReader final : public Reader {
 public:
  explicit SharedKobReader(std::shared_ptr<kob::SharedReader> aFile)
      : file(std::move(aFile)) {}
  // `mapped`: the file read through a mapping of it into memory.
  static std::shared_ptr<kob::SharedReader> open(const std::string& path,
                                                 bool mapped = false) {
    auto file = std::make_shared<kob::SharedReader>();
    kob::OpenRules rules;
    rules.needSeek = true;
    rules.mapIntoMemory = mapped;
    if (file->open(kob::openFile(path, rules)).failed()) fail("cannot open " + path);
    file->setPartialDecoding(true);
    return file;
  }
  std::size_t lookup(const Lookup& l, unsigned char* entry) override {
    return file->readAt(l.offset, entry, l.length).bytes;
  }

 private:
  std::shared_ptr<kob::SharedReader> file;
};

// BGZF: a handle with the .gzi index loaded; bgzf_useek, then bgzf_read.
class BgzfReader final : public Reader {
 public:
  explicit BgzfReader(const std::string& path)
      : file(bgzf_open(path.c_str(), "r")) {
    if (file == nullptr ||
        bgzf_index_load(file, (path + ".gzi").c_str(), nullptr) < 0) {
      fail("cannot open " + path);
    }
  }
  ~BgzfReader() override { bgzf_close(file); }
  std::size_t lookup(const Lookup& l, unsigned char* entry) override {
    if (bgzf_useek(file, static_cast<off_t>(l.offset), SEEK_SET) < 0) return 0;
    ssize_t got = bgzf_read(file, entry, l.length);
    return got > 0 ? got : 0;
  }

 private:
  BGZF* file;
};

// zstd: the frame file's descriptor and table (see zstdFile), which any
// number of ZstdReaders may share: they only pread.
struct ZstdFrames {
  explicit ZstdFrames(const std::string& path)
      : fd(::open(path.c_str(), O_RDONLY)) {
    struct stat st;
    unsigned char footer[16];
    if (fd < 0 || fstat(fd, &st) != 0 || st.st_size < 16 ||
        pread(fd, footer, 16, st.st_size - 16) != 16) {
      fail("cannot read " + path);
    }
    std::uint64_t frames = getLe64(footer);
    if (frames >= std::uint64_t(st.st_size) / 8)
      fail("bad frame table in " + path);
    std::uint64_t tableSize = (frames + 1) * 8;
    std::vector<unsigned char> table(tableSize);
    if (tableSize + 16 > std::uint64_t(st.st_size) ||
        pread(fd, table.data(), tableSize, st.st_size - 16 - tableSize) !=
            ssize_t(tableSize)) {
      fail("bad frame table in " + path);
    }
    offsets.resize(frames + 1);
    for (std::size_t i = 0; i <= frames; ++i)
      offsets[i] = getLe64(table.data() + 8 * i);
  }
  ~ZstdFrames() { close(fd); }
  ZstdFrames(const ZstdFrames&) = delete;
  ZstdFrames& operator=(const ZstdFrames&) = delete;

  int fd;
  std::vector<std::uint64_t> offsets;
};

// zstd: find the frames through the table, pread them, decompress each with
// the reader's own ZSTD_DCtx, copy the entry out.
class ZstdReader final : public Reader {
 public:
  explicit ZstdReader(std::shared_ptr<const ZstdFrames> frames)
      : frames(std::move(frames)), dctx(ZSTD_createDCtx()) {}
  ~ZstdReader() override { ZSTD_freeDCtx(dctx); }
  std::size_t lookup(const Lookup& l, unsigned char* entry) override {
    const std::vector<std::uint64_t>& offsets = frames->offsets;
    std::size_t first = l.offset / kChunkSize;
    std::size_t last = (l.offset + l.length - 1) / kChunkSize;
    if (last + 1 >= offsets.size()) return 0;
    std::uint64_t begin = offsets[first], size = offsets[last + 1] - begin;
    if (size > compressed.size() ||
        pread(frames->fd, compressed.data(), size, begin) != ssize_t(size)) {
      return 0;
    }
    std::size_t copied = 0;
    for (std::size_t c = first; c <= last; ++c) {
      std::size_t produced = ZSTD_decompressDCtx(
          dctx, chunk.data(), chunk.size(),
          compressed.data() + offsets[c] - begin, offsets[c + 1] - offsets[c]);
      std::size_t from = c == first ? l.offset - c * kChunkSize : 0;
      if (ZSTD_isError(produced) || produced <= from) return copied;
      std::size_t n = std::min<std::size_t>(produced - from, l.length - copied);
      std::memcpy(entry + copied, chunk.data() + from, n);
      copied += n;
    }
    return copied;
  }

 private:
  std::shared_ptr<const ZstdFrames> frames;
  ZSTD_DCtx* dctx;
  std::vector<unsigned char> chunk = std::vector<unsigned char>(kChunkSize);
  std::vector<unsigned char> compressed =
      std::vector<unsigned char>(2 * ZSTD_compressBound(kChunkSize));
};

// A format: how to build its file and how to open readers, and which of
// the lookup benchmarks it takes part in.
struct Format {
  const char* name;
  bool warm, cold, threads;
  // `copies` copies of the corpus in this format, built once and cached.
  std::string (*file)(int copies);
  // A fresh reader: opens the file and reads whatever index it keeps.
  std::unique_ptr<Reader> (*open)(const std::string& path);
  // A reader of the corpus for one thread, sharing with the other threads'
  // readers what the format allows.
  std::unique_ptr<Reader> (*openForThread)();
};

const Format kFormats[] = {
    {"kob", true, true, true, kobFile,
     [](const std::string& path) -> std::unique_ptr<Reader> {
       return std::make_unique<KobReader>(path);
     },
     []() -> std::unique_ptr<Reader> {
       return std::make_unique<KobReader>(kobFile(1));
     }},
    {"kob-partial", true, false, false, kobFile,
     [](const std::string& path) -> std::unique_ptr<Reader> {
       return std::make_unique<KobReader>(path, true);
     },
     []() -> std::unique_ptr<Reader> {
       return std::make_unique<KobReader>(kobFile(1), true);
     }},
    {"kob-indexed", true, true, false, kobIndexedFile,
     [](const std::string& path) -> std::unique_ptr<Reader> {
       return std::make_unique<KobReader>(path, true);
     },
     []() -> std::unique_ptr<Reader> {
       return std::make_unique<KobReader>(kobIndexedFile(1), true);
     }},
    {"kob-shared", true, true, true, kobIndexedFile,
     [](const std::string& path) -> std::unique_ptr<Reader> {
       return std::make_unique<SharedKobReader>(SharedKobReader::open(path));
     },
     []() -> std::unique_ptr<Reader> {
       static const std::shared_ptr<kob::SharedReader> shared =
           SharedKobReader::open(kobIndexedFile(1));
       return std::make_unique<SharedKobReader>(shared);
     }},
    {"kob-mapped", true, true, false, kobIndexedFile,
     [](const std::string& path) -> std::unique_ptr<Reader> {
       return std::make_unique<SharedKobReader>(SharedKobReader::open(path, true));
     },
     []() -> std::unique_ptr<Reader> {
       return std::make_unique<SharedKobReader>(
           SharedKobReader::open(kobIndexedFile(1), true));
     }},
    {"bgzf", true, true, true, bgzfFile,
     [](const std::string& path) -> std::unique_ptr<Reader> {
       return std::make_unique<BgzfReader>(path);
     },
     []() -> std::unique_ptr<Reader> {
       return std::make_unique<BgzfReader>(bgzfFile(1));
     }},
    {"zstd", true, true, true, zstdFile,
     [](const std::string& path) -> std::unique_ptr<Reader> {
       return std::make_unique<ZstdReader>(std::make_shared<ZstdFrames>(path));
     },
     []() -> std::unique_ptr<Reader> {
       static const auto shared =
           std::make_shared<const ZstdFrames>(zstdFile(1));
       return std::make_unique<ZstdReader>(shared);
     }},
};

const Format& formatNamed(const std::string& name) {
  for (const Format& format : kFormats) {
    if (name == format.name) return format;
  }
  fail("no format " + name);
}

// Random lookups through one warm reader. Each thread starts at its own
// place in the list.
void lookupLoop(benchmark::State& state, Reader& reader, std::size_t dataSize) {
  std::vector<Lookup> lookups = randomLookups(dataSize);
  std::vector<unsigned char> entry(2000);
  reader.lookup(lastBytes(dataSize), entry.data());
  std::size_t i = state.thread_index() * lookups.size() / state.threads();
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        reader.lookup(lookups[i++ % lookups.size()], entry.data()));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

void LookupYardstick(benchmark::State& state) {
  LzoChunkReader reader;
  lookupLoop(state, reader, corpus().size());
}

void RandomLookup(benchmark::State& state, const Format& format) {
  std::unique_ptr<Reader> reader = format.openForThread();
  lookupLoop(state, *reader, corpus().size());
}

void ColdLookup(benchmark::State& state, const Format& format, int copies) {
  std::string path = format.file(copies);
  Lookup l = farEnd(corpus().size() * copies);
  std::vector<unsigned char> entry(2000);
  for (auto _ : state) {
    std::unique_ptr<Reader> reader = format.open(path);
    benchmark::DoNotOptimize(reader->lookup(l, entry.data()));
    benchmark::ClobberMemory();
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

// kob::Packer at the levels `kob -1` ... `-9` choose, over the same slice
// as Pack; the label gives the packed size beside the default's.
void PackLevel(benchmark::State& state) {
  const std::string path = scratchDir() + "/pack-level.kob";
  kob::PackOptions options;
  options.level = static_cast<int>(state.range(0));
  std::uint64_t packed = 0;
  for (auto _ : state) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    kob::Packer packer(out, options);
    packer.write(packSlice().data(), packSlice().size());
    packer.finish();
    packed = packer.bytesWritten();
    std::fclose(out);
  }
  state.SetBytesProcessed(state.iterations() * packSlice().size());
  state.SetLabel(printed("packed to %.1f%%",
                         100.0 * static_cast<double>(packed) /
                             static_cast<double>(packSlice().size())));
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
  std::string input = cachedPath("pack-input");
  buildOnce(input, [](const std::string& part) {
    std::ofstream(part, std::ios::binary) << packSlice();
  });
  std::string path = scratchDir() + "/pack-threads.kob";
  for (auto _ : state) {
    std::FILE* in = std::fopen(input.c_str(), "rb");
    std::FILE* out = std::fopen(path.c_str(), "wb");
    kob::packStream(in, out, {kChunkSize, static_cast<unsigned>(state.range(0))});
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
  KobReader reader(path);
  lookupLoop(state, reader, size);
}

// A crafted file of 2,000,000 chunks without data before one of "ab": a
// read from the start reads every header and checks every payload. KobFile
// and SharedReader read it down the same road, so they must take about the
// same time.
std::string manyEmptyChunksFile() {
  const std::string path = scratchDir() + "/empty-chunks.kob";
  buildOnce(path, [](const std::string& part) {
    std::string file("KOB\x01\x00\x00", 6);
    std::uint32_t previous = 0;
    auto chunk = [&](std::uint32_t dataSize, const std::string& payload) {
      const auto size = static_cast<std::uint32_t>(payload.size());
      const char header[6] = {char(dataSize >> 8), char(dataSize),
                              char(size >> 8),     char(size),
                              char(previous >> 8), char(previous)};
      file.append(header, 6);
      file += payload;
      previous = size;
    };
    for (int i = 0; i < 2000000; ++i) chunk(0, std::string("\x11\x00\x00", 3));
    chunk(2, std::string("\x13\x61\x62\x11\x00\x00", 6));
    chunk(0, "");
    std::ofstream(part, std::ios::binary) << file;
  });
  return path;
}

void ChunksWithoutData(benchmark::State& state) {
  const std::string path = manyEmptyChunksFile();
  for (auto _ : state) {
    char ab[2] = {};
    if (state.range(0) == 0) {
      KobFile file(path.c_str(), READ);
      if (file.read(reinterpret_cast<unsigned char*>(ab), 2) != 2) {
        fail("KobFile did not read through the chunks without data");
      }
    } else {
      kob::SharedReader shared;
      shared.open(path.c_str());
      if (shared.readAt(0, ab, 2).bytes != 2) {
        fail("SharedReader did not read through the chunks without data");
      }
    }
    benchmark::DoNotOptimize(ab);
  }
  state.SetLabel(state.range(0) == 0 ? "KobFile" : "SharedReader");
}

BENCHMARK(ChunksWithoutData)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The checksum the saved index keeps of each payload, beside the one it
// could have been: XXH3 (the one chosen) and CRC32C with the CPU's
// instruction, over the payloads of the packed corpus.
__attribute__((target("sse4.2"))) std::uint32_t crc32c(
    const unsigned char* bytes, std::size_t size) {
  std::uint64_t crc = 0xFFFFFFFF;
  for (; size >= 8; bytes += 8, size -= 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes, 8);
    crc = __builtin_ia32_crc32di(crc, word);
  }
  for (; size > 0; ++bytes, --size) {
    crc = __builtin_ia32_crc32qi(static_cast<std::uint32_t>(crc), *bytes);
  }
  return ~static_cast<std::uint32_t>(crc);
}

void Checksum(benchmark::State& state) {
  const PackedFile& f = packedCorpus();
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::uint32_t sum = 0;
    for (const Chunk& chunk : f.chunks) {
      sum += state.range(0) == 0
                 ? static_cast<std::uint32_t>(
                       XXH3_64bits(chunk.payload, chunk.payloadSize))
                 : crc32c(chunk.payload, chunk.payloadSize);
      bytes += chunk.payloadSize;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.SetLabel(state.range(0) == 0 ? "XXH3" : "CRC32C (SSE4.2)");
}
BENCHMARK(Checksum)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(SequentialRead)->Arg(1024)->Arg(65536)->Unit(benchmark::kMillisecond);
BENCHMARK(DecompressYardstick)->Unit(benchmark::kMillisecond);
BENCHMARK(Pack)->Unit(benchmark::kMillisecond);
BENCHMARK(CompressYardstick)->Unit(benchmark::kMillisecond);
BENCHMARK(PackLevel)->Arg(1)->Arg(8)->Arg(9)->Unit(benchmark::kMillisecond);
BENCHMARK(PackThreads)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(LookupAtSize)->Arg(4)->Arg(40)->Arg(400);

// A fresh process for each lookup near the end of the data: a small
// program (bench/cold_lookup.cpp) linking only its own library opens the
// file with its index, looks one entry up and exits, so that everything a
// first lookup costs is in the time: starting, loading the index, reading
// the chunk. "none" starts the same program with nothing to do: what any
// process costs.
void FreshProcessLookup(benchmark::State& state, const std::string& format,
                        int copies) {
  const bool bgzf = format == "bgzf";
  const std::string program = bgzf ? COLD_LOOKUP_BGZF : COLD_LOOKUP_KOB;
  const std::string path = format == "none" ? "" : formatNamed(format).file(copies);
  const Lookup l = farEnd(corpus().size() * copies);
  std::vector<std::string> words = {program, path, std::to_string(l.offset),
                                    std::to_string(l.length)};
  if (format == "kob-shared") words.push_back("shared");
  if (format == "none") words.resize(1);
  std::vector<char*> arguments;
  for (std::string& word : words) arguments.push_back(word.data());
  arguments.push_back(nullptr);
  for (auto _ : state) {
    pid_t child = 0;
    if (posix_spawn(&child, program.c_str(), nullptr, nullptr,
                    arguments.data(), environ) != 0) {
      fail("cannot start " + program);
    }
    int status = 0;
    waitpid(child, &status, 0);
    const int expected = format == "none" ? 2 : 0;  // "none": no arguments
    if (!WIFEXITED(status) || WEXITSTATUS(status) != expected) {
      fail("a fresh process's lookup failed: " + format + " " + path);
    }
  }
  state.SetItemsProcessed(state.iterations());
}

// The lookup benchmarks are named after the corpus's size, so they are
// registered once it is read.
void registerLookupBenchmarks() {
  using benchmark::RegisterBenchmark;
  RegisterBenchmark("LookupYardstick", LookupYardstick)
      ->Unit(benchmark::kMicrosecond);
  for (const Format& format : kFormats) {
    if (!format.warm) continue;
    std::string name = printed("RandomLookup/%s", format.name);
    RegisterBenchmark(name.c_str(), RandomLookup, format)
        ->Unit(benchmark::kMicrosecond);
  }
  for (const Format& format : kFormats) {
    if (!format.cold) continue;
    for (int copies : {1, 10}) {
      std::string name = printed("ColdLookup/%s/%zuMB", format.name,
                                 (corpus().size() * copies) >> 20);
      RegisterBenchmark(name.c_str(), ColdLookup, format, copies)
          ->Unit(benchmark::kMicrosecond);
    }
  }
  for (const char* format : {"none", "kob-indexed", "kob-shared", "bgzf"}) {
    std::string name = printed("FreshProcessLookup/%s/%zuMB", format,
                               (corpus().size() * 10) >> 20);
    RegisterBenchmark(name.c_str(), FreshProcessLookup, std::string(format),
                      10)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
  }
  RegisterBenchmark("LookupThreads/yardstick", LookupYardstick)
      ->Threads(1)
      ->Threads(2)
      ->MeasureProcessCPUTime()
      ->UseRealTime()
      ->Unit(benchmark::kMicrosecond);
  for (const Format& format : kFormats) {
    if (!format.threads) continue;
    std::string name = printed("LookupThreads/%s", format.name);
    RegisterBenchmark(name.c_str(), RandomLookup, format)
        ->Threads(1)
        ->Threads(2)
        ->MeasureProcessCPUTime()
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
  }
}

// The bytes `length` bytes from `offset` on in `period` repeated endlessly.
std::string repeatedSlice(std::string_view period, std::size_t offset,
                          std::size_t length) {
  std::string bytes;
  while (bytes.size() < length) {
    std::size_t from = (offset + bytes.size()) % period.size();
    bytes.append(period.substr(from, length - bytes.size()));
  }
  return bytes;
}

// A reader whose lookups return wrong bytes would make its timings
// meaningless: check every reader once, on the lookups the benchmarks make.
void check(Reader& reader, const std::vector<Lookup>& lookups,
           std::string_view period, const std::string& what) {
  std::vector<unsigned char> entry(2000);
  for (const Lookup& l : lookups) {
    std::size_t got = reader.lookup(l, entry.data());
    if (got != l.length ||
        std::memcmp(entry.data(),
                    repeatedSlice(period, l.offset, l.length).data(),
                    l.length) != 0) {
      fail(printed("%s: wrong bytes for the entry of %u bytes at %zu",
                   what.c_str(), l.length, l.offset));
    }
  }
}

void checkReaders() {
  const std::string& text = corpus();
  std::vector<Lookup> lookups = randomLookups(text.size());
  lookups.push_back(farEnd(text.size()));
  lookups.push_back(lastBytes(text.size()));
  LzoChunkReader yardstick;
  check(yardstick, lookups, text, "the yardstick");
  std::string sizes;
  for (const Format& format : kFormats) {
    check(*format.openForThread(), lookups, text, format.name);
    for (int copies : {1, 10}) {
      check(*format.open(format.file(copies)), {farEnd(text.size() * copies)},
            text, printed("%s x%d", format.name, copies));
    }
    char line[64];
    std::snprintf(line, sizeof line, " %s %.1f MB,", format.name,
                  std::filesystem::file_size(format.file(1)) / 1048576.0);
    sizes += line;
  }
  for (std::size_t megabytes : {4, 40, 400}) {
    std::string path = packedOfSize(megabytes);
    KobReader reader(path);
    check(reader, randomLookups(dataSizeOf(path)),
          std::string_view(text).substr(0, 4 << 20),
          printed("kob %zu MB", megabytes));
  }
  std::fprintf(stderr,
               "kob_bench: every reader checked; %.1f MB of data in%s"
               " zstd at level %d\n",
               text.size() / 1048576.0, sizes.c_str(), kZstdLevel);
}

}  // namespace

int main(int argc, char** argv) {
  lzo_init();
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--kob_corpus=", 13) == 0)
      corpusPath = argv[i] + 13;
  }
  benchmark::Initialize(&argc, argv);
  checkReaders();
  registerLookupBenchmarks();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
