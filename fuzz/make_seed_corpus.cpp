// SPDX-License-Identifier: GPL-2.0-or-later
// Writes the fuzzers' seed corpus with KobFile itself: packed files of
// several chunk sizes, an empty one and a cut one, sealed ones (one member,
// and sealed members around a plain one); and LZO1X streams with the room
// for their output, whole and too small.
// Usage: make_seed_corpus CORPUS_DIR   (fills CORPUS_DIR/reader, /roundtrip,
//                                       /decoder)

#include <lzo/lzo1x.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "kob.h"
#include "kob_open.h"
#include "kob_packer.h"

namespace {

std::string sampleText(std::size_t size) {
  std::string text;
  while (text.size() < size) text += "lantern\n    A lamp with a case.\n\n";
  text.resize(size);
  return text;
}

std::string packed(const std::string& data, int chunkSize) {
  const char* scratch = "seed-corpus.tmp";
  KobFile writer;
  writer.setBufferSize(chunkSize);
  writer.open(scratch, WRITE);
  writer.write(data.data(), static_cast<unsigned>(data.size()));
  writer.close();
  std::ifstream in(scratch, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  std::filesystem::remove(scratch);
  return bytes;
}

void save(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// The packed `file` sealed, as kob --seal seals it.
std::string sealed(const std::string& file) {
  const char* plain = "seed-corpus.plain";
  const char* scratch = "seed-corpus.sealed";
  save(plain, file);
  std::FILE* out = std::fopen(scratch, "wb");
  if (out == nullptr) return file;
  kob::sealPacked(kob::openFile(plain), out);
  std::fclose(out);
  std::ifstream in(scratch, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  std::filesystem::remove(plain);
  std::filesystem::remove(scratch);
  return bytes;
}

// The reader fuzzer's input: flags, an operation count, the file, operations.
std::string readerInput(const std::string& file, std::mt19937& rng) {
  std::string input = {'\0', '\x20'};
  input += file;
  for (int i = 0; i < 0x20 * 3; ++i) input.push_back(static_cast<char>(rng()));
  return input;
}

// The decoder fuzzer's input: the room for the output, then an LZO1X
// stream of `data`.
std::string decoderInput(const std::string& data, std::size_t room) {
  static lzo_align_t work[(LZO1X_999_MEM_COMPRESS + sizeof(lzo_align_t) - 1) /
                          sizeof(lzo_align_t)];
  std::string stream(data.size() + data.size() / 16 + 67, '\0');
  lzo_uint length = 0;
  lzo1x_999_compress(
      reinterpret_cast<const unsigned char*>(data.data()), data.size(),
      reinterpret_cast<unsigned char*>(stream.data()), &length, work);
  stream.resize(length);
  return std::string{static_cast<char>(room & 0xFF),
                     static_cast<char>(room >> 8)} +
         stream;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::filesystem::path root = argv[1];
  std::filesystem::create_directories(root / "reader");
  std::filesystem::create_directories(root / "roundtrip");
  std::filesystem::create_directories(root / "decoder");
  lzo_init();
  std::mt19937 rng(1);
  const struct {
    const char* name;
    std::size_t size;
    int chunkSize;
  } seeds[] = {{"empty", 0, 16384},
               {"one-chunk", 300, 16384},
               {"small-chunks", 600, 64},
               {"tiny-chunks", 40, 3},
               {"two-chunks", 1500, 1000}};
  for (const auto& seed : seeds) {
    std::string file = packed(sampleText(seed.size), seed.chunkSize);
    save(root / "reader" / seed.name, readerInput(file, rng));
    std::string config = {static_cast<char>(seed.chunkSize & 0xFF),
                          static_cast<char>(seed.chunkSize >> 8), '\x07'};
    save(root / "roundtrip" / seed.name, config + sampleText(seed.size));
  }
  std::string cut = packed(sampleText(1500), 500);
  save(root / "reader" / "cut",
       readerInput(cut.substr(0, cut.size() - 40), rng));
  save(root / "reader" / "plain", readerInput(sampleText(200), rng));
  std::string noise(3000, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  save(root / "decoder" / "text", decoderInput(sampleText(5000), 5000));
  save(root / "decoder" / "text-cut-off", decoderInput(sampleText(5000), 700));
  save(root / "decoder" / "noise", decoderInput(noise, 3000));
  save(root / "decoder" / "runs", decoderInput(std::string(4000, 'a'), 4000));
  const std::string one = sealed(packed(sampleText(1500), 500));
  save(root / "reader" / "sealed", readerInput(one, rng));
  save(root / "reader" / "sealed-members",
       readerInput(one + packed(sampleText(300), 100) + one, rng));
  return 0;
}
