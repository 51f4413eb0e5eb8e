// A plain file, passed straight to standard I/O. A stream opened for
// reading may already have given up its first bytes to the test for the
// packed signature; they are served first, so that no byte is lost.

#ifndef KOB_PLAIN_FILE_H
#define KOB_PLAIN_FILE_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

namespace kob {

class PlainFile {
 public:
  // Takes `file` over. `consumed`: the bytes already read from it.
  explicit PlainFile(std::FILE* file, std::vector<unsigned char> consumed = {},
                     bool probeFailed = false);

  PlainFile(const PlainFile&) = delete;
  PlainFile& operator=(const PlainFile&) = delete;

  std::size_t read(unsigned char* buf, std::size_t len);
  int get();
  std::size_t write(const char* buf, std::size_t len);
  int put(int c);
  // fseeko's result: 0 or -1.
  int seek(std::int64_t offset, int whence);
  // ftello's result: the position or -1.
  std::int64_t tell();
  bool isEOF();
  bool hasError();
  // fclose; returns -1 when a write or the close failed.
  int close();

 private:
  struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };

  std::size_t pendingLeft() const { return pending.size() - pendingPos; }

  std::unique_ptr<std::FILE, FileCloser> file;
  std::vector<unsigned char> pending;
  std::size_t pendingPos = 0;
  bool errorSeen;
};

}  // namespace kob

#endif  // KOB_PLAIN_FILE_H
