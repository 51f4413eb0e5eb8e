// SPDX-License-Identifier: GPL-2.0-or-later
// lookup: prints a word's entry from a dictionary, packed or plain, using an
// index of the dictionary's entries: one seek and one read per lookup, with
// partial decoding, so that only the start of the chunk up to the entry is
// decompressed.
//
// Usage: lookup DICTIONARY INDEX WORD
//   DICTIONARY  the dictionary text, e.g. dictionary.data.kob
//   INDEX       lines of "word TAB offset TAB length", offsets and lengths
//               in bytes of the plain text, e.g. dictionary.index
// Exit status: 0 found, 1 not found, 2 a file could not be read.

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "kob.h"

namespace {

struct Entry {
  std::int64_t offset = 0;
  unsigned int length = 0;
};

// Finds `word` in the index; false when it is not there.
bool findEntry(std::istream& index, const std::string& word, Entry& entry) {
  for (std::string line; std::getline(index, line);) {
    std::istringstream fields(line);
    std::string key;
    if (std::getline(fields, key, '\t') && key == word) {
      return static_cast<bool>(fields >> entry.offset >> entry.length);
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: lookup DICTIONARY INDEX WORD\n");
    return 2;
  }
  std::ifstream index(argv[2]);
  if (!index) {
    std::fprintf(stderr, "lookup: cannot read %s\n", argv[2]);
    return 2;
  }
  Entry entry;
  if (!findEntry(index, argv[3], entry)) {
    std::fprintf(stderr, "lookup: %s: not in the dictionary\n", argv[3]);
    return 1;
  }

  KobFile dictionary;
  dictionary.setPartialDecoding(true);
  if (!dictionary.open(argv[1], READ)) {
    std::fprintf(stderr, "lookup: cannot open %s\n", argv[1]);
    return 2;
  }
  // seek64 returns the position landed on, for a packed and a plain file.
  const bool reached = dictionary.seek64(entry.offset, SEEK_SET) == entry.offset;
  std::string text(entry.length, '\0');
  const int got =
      reached ? dictionary.read(reinterpret_cast<unsigned char*>(text.data()),
                                entry.length)
              : 0;
  if (got != static_cast<int>(entry.length) || dictionary.hasError()) {
    std::fprintf(stderr, "lookup: %s: entry at %lld cannot be read\n", argv[1],
                 static_cast<long long>(entry.offset));
    return 2;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}
