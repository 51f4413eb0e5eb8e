// SPDX-License-Identifier: GPL-2.0-or-later
//
// One lookup in a fresh process, for the benchmark FreshProcessLookup:
// opens PATH with its index, reads LENGTH bytes of the data from POSITION,
// exits 0 when it got them. Built twice, each linking only its own library:
// for kob (a KobFile, or with "shared" a kob::SharedReader) and for BGZF
// (htslib, with the file's .gzi).
//
//   cold_lookup_kob PATH POSITION LENGTH [shared]
//   cold_lookup_bgzf PATH POSITION LENGTH

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef COLD_LOOKUP_BGZF
#include <htslib/bgzf.h>
#else
#include "kob.h"
#include "kob_shared.h"
#endif

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  const char* path = argv[1];
  const long long position = std::atoll(argv[2]);
  const std::size_t length = std::strtoull(argv[3], nullptr, 10);
  std::vector<unsigned char> entry(length);
#ifdef COLD_LOOKUP_BGZF
  BGZF* file = bgzf_open(path, "r");
  const std::string index = std::string(path) + ".gzi";
  if (file == nullptr || bgzf_index_load(file, index.c_str(), nullptr) < 0 ||
      bgzf_useek(file, static_cast<off_t>(position), SEEK_SET) < 0) {
    return 1;
  }
  const ssize_t got = bgzf_read(file, entry.data(), length);
  bgzf_close(file);
  return got == static_cast<ssize_t>(length) ? 0 : 1;
#else
  if (argc > 4 && std::strcmp(argv[4], "shared") == 0) {
    kob::SharedReader file;
    file.setPartialDecoding(true);
    if (file.open(path).failed()) return 1;
    return file.readAt(static_cast<std::uint64_t>(position), entry.data(),
                       length)
                       .bytes == length
               ? 0
               : 1;
  }
  KobFile file;
  file.setPartialDecoding(true);
  if (!file.open(path, READ) || file.seek64(position, 0) != position) return 1;
  return file.read(entry.data(), static_cast<unsigned>(length)) ==
                 static_cast<int>(length)
             ? 0
             : 1;
#endif
}
