// SPDX-License-Identifier: GPL-2.0-or-later
//
// KobFile's packed writer: a kob::Packer on a file KobFile opened, with
// the answers KobFile promises (see kob.h): writes return what they were
// given, a failure shows in hasError() and close().

#ifndef KOB_PACKED_WRITER_H
#define KOB_PACKED_WRITER_H

#include <cstdint>
#include <cstdio>
#include <memory>

#include "kob_packer.h"

namespace kob {

class PackedWriter {
 public:
  // Writes the signature to `file`, which it owns from now on. `chunkSize`
  // is 1..65535.
  PackedWriter(std::FILE* file, int chunkSize);
  // Finishes the file as close() does.
  ~PackedWriter() { close(); }

  PackedWriter(const PackedWriter&) = delete;
  PackedWriter& operator=(const PackedWriter&) = delete;

  unsigned int write(const char* buf, unsigned int len);
  int put(int c);

  bool hasError() const;
  Failure failure() const;
  // Writes what is still collected and the end marker, then closes the
  // file. Returns 0, or -1 when any write failed. Later calls return 0.
  int close();

 private:
  struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };

  std::unique_ptr<std::FILE, FileCloser> file;
  Packer packer;
  Failure closing;  // what close() met
};

}  // namespace kob

#endif  // KOB_PACKED_WRITER_H
