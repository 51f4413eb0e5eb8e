// SPDX-License-Identifier: GPL-2.0-or-later
//
// A plain file written through standard I/O, as KobFile promises for
// WRITEPLAIN (kob.h): write as fwrite, put as fputc, close as fclose.

#ifndef KOB_WRITE_PLAIN_WRITER_H
#define KOB_WRITE_PLAIN_WRITER_H

#include <cstdint>
#include <cstdio>
#include <memory>

namespace kob {

class PlainWriter {
 public:
  // Takes `file` over.
  explicit PlainWriter(std::FILE* file) : file(file) {}

  PlainWriter(const PlainWriter&) = delete;
  PlainWriter& operator=(const PlainWriter&) = delete;

  std::size_t write(const char* buf, std::size_t len) {
    return std::fwrite(buf, 1, len, file.get());
  }
  int put(int c) { return std::fputc(c, file.get()); }
  // Returns: fseeko's result: 0 or -1.
  int seek(std::int64_t offset, int whence);
  // Returns: ftello's result: the position or -1.
  std::int64_t tell();
  bool isEOF() { return std::feof(file.get()) != 0; }
  bool hasError() { return std::ferror(file.get()) != 0; }
  // fclose. Returns: -1 when a write or the close failed, else 0.
  int close();

 private:
  struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };

  std::unique_ptr<std::FILE, FileCloser> file;
};

}  // namespace kob

#endif  // KOB_WRITE_PLAIN_WRITER_H
