// SPDX-License-Identifier: GPL-2.0-or-later
//
// A regular file mapped into memory and read in place: a reader's window
// then serves the file's bytes where they lie, with no read and no copy.
//
// A mapped file that another program cuts short while it is mapped raises
// SIGBUS on the next access to a page beyond its new end, where a read
// would merely come back short. So a mapping is made only when asked for
// (OpenRules::mapIntoMemory), for files nobody rewrites while they are
// read; every other reader reads with pread.

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "source/source.h"

namespace kob {
namespace {

class MapSource final : public Source {
 public:
  MapSource(UniqueFd aFd, void* aBase, std::size_t aLength)
      : fd(std::move(aFd)), base(static_cast<unsigned char*>(aBase)),
        length(aLength) {}
  ~MapSource() override {
    if (length > 0) munmap(base, length);
  }
  MapSource(const MapSource&) = delete;
  MapSource& operator=(const MapSource&) = delete;

  std::int64_t readAt(std::int64_t offset, unsigned char* into,
                      std::size_t count, int& error) override {
    if (offset < 0) {
      error = EINVAL;
      return -1;
    }
    if (static_cast<std::uint64_t>(offset) >= length) return 0;
    const std::size_t n =
        std::min(count, length - static_cast<std::size_t>(offset));
    std::memcpy(into, base + offset, n);
    return static_cast<std::int64_t>(n);
  }
  bool seekable() const override { return true; }
  Identity identity() const override {
    struct stat info;
    if (fstat(fd.get(), &info) != 0) return Identity();
    return Identity::ofLocal(info);
  }
  bool inPlace(const unsigned char*& bytes, std::size_t& count) const override {
    // An empty file maps nothing, but is still there to be read.
    static const unsigned char kNothing = 0;
    bytes = length > 0 ? base : &kNothing;
    count = length;
    return true;
  }

 private:
  UniqueFd fd;
  unsigned char* base;
  std::size_t length;
};

}  // namespace

std::unique_ptr<Source> mapFile(UniqueFd& fd) {
  struct stat info;
  if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
  const auto length = static_cast<std::size_t>(info.st_size);
  void* base = nullptr;
  if (length > 0) {
    base = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (base == MAP_FAILED) return nullptr;
  }
  return std::make_unique<MapSource>(std::move(fd), base, length);
}

}  // namespace kob
