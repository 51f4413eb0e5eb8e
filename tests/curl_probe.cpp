// SPDX-License-Identifier: GPL-2.0-or-later
// A program linked with the library, as any user's: it reads a packed
// file, says whether libcurl is mapped into it, then reads a URL and says
// it again.
//
//   usage: curl_probe PACKED_FILE [URL]
//   prints "file: BYTES mapped|unmapped", then "url: BYTES mapped|unmapped"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "kob.h"

namespace {

const char* curlMapped() {
  std::ifstream maps("/proc/self/maps");
  const std::string all(std::istreambuf_iterator<char>(maps), {});
  return all.find("libcurl") == std::string::npos ? "unmapped" : "mapped";
}

int readSome(const char* name, const char* what) {
  KobFile file;
  if (!file.open(name, READ)) {
    std::printf("%s: cannot open\n", what);
    return 1;
  }
  unsigned char bytes[11] = {};
  const int got = file.read(bytes, 10);
  std::printf("%s: %s %s\n", what, got < 0 ? "(failed)" : reinterpret_cast<const char*>(bytes), curlMapped());
  return got < 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  int status = readSome(argv[1], "file");
  if (argc > 2) status |= readSome(argv[2], "url");
  return status;
}
