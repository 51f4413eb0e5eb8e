#include "write/plain_file.h"

#include <sys/types.h>

#include <algorithm>
#include <cstring>

namespace kob {

PlainFile::PlainFile(std::FILE* aFile, std::vector<unsigned char> consumed,
                     bool probeFailed)
    : file(aFile), pending(std::move(consumed)), errorSeen(probeFailed) {}

std::size_t PlainFile::read(unsigned char* buf, std::size_t len) {
  const std::size_t early = std::min(len, pendingLeft());
  if (early > 0) std::memcpy(buf, pending.data() + pendingPos, early);
  pendingPos += early;
  if (early == len) return len;
  return early + std::fread(buf + early, 1, len - early, file.get());
}

int PlainFile::get() {
  if (pendingLeft() > 0) return pending[pendingPos++];
  return std::fgetc(file.get());
}

std::size_t PlainFile::write(const char* buf, std::size_t len) {
  return std::fwrite(buf, 1, len, file.get());
}

int PlainFile::put(int c) { return std::fputc(c, file.get()); }

int PlainFile::seek(std::int64_t offset, int whence) {
  // Bytes still pending stand before the stream's own position.
  if (whence == SEEK_CUR) offset -= static_cast<std::int64_t>(pendingLeft());
  if (fseeko(file.get(), static_cast<off_t>(offset), whence) != 0) return -1;
  pending.clear();
  pendingPos = 0;
  return 0;
}

std::int64_t PlainFile::tell() {
  const std::int64_t position = ftello(file.get());
  return position < 0 ? -1
                      : position - static_cast<std::int64_t>(pendingLeft());
}

bool PlainFile::isEOF() {
  return pendingLeft() == 0 && std::feof(file.get()) != 0;
}

bool PlainFile::hasError() { return errorSeen || std::ferror(file.get()); }

int PlainFile::close() {
  bool failed = std::ferror(file.get()) != 0;
  if (std::fclose(file.release()) != 0) failed = true;
  return failed ? -1 : 0;
}

}  // namespace kob
