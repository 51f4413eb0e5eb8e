// SPDX-License-Identifier: GPL-2.0-or-later
// KobStreamBuf: a read-only std::streambuf over a KobFile, so that a packed
// file (or a plain one) can be read with std::istream, std::getline and >>:
//
//   KobFile file("dictionary.data.kob", READ);
//   KobStreamBuf buffer(file);
//   std::istream in(&buffer);
//   for (std::string line; std::getline(in, line);) { ... }
//
// seekg and tellg map onto KobFile::seek64 and tell64, counting
// uncompressed bytes. A seek whose target the file cannot reach (before the
// start or past the end of the data) fails, as the stream's failbit shows;
// seeking from the end finds the data size by seeking past it first. Damage in
// a packed file ends the data early; the file's hasError() tells.
//
// The KobFile must stay open while the buffer reads from it; the buffer
// neither opens nor closes it.

#ifndef KOB_KOB_STREAMBUF_H
#define KOB_KOB_STREAMBUF_H

#include <streambuf>

#include "kob.h"
#include "kob_export.h"

class KOB_EXPORT KobStreamBuf : public std::streambuf {
 public:
  explicit KobStreamBuf(KobFile& file);

  KobStreamBuf(const KobStreamBuf&) = delete;
  KobStreamBuf& operator=(const KobStreamBuf&) = delete;

 protected:
  int_type underflow() override;
  std::streamsize xsgetn(char_type* s, std::streamsize count) override;
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                   std::ios_base::openmode which) override;
  pos_type seekpos(pos_type position, std::ios_base::openmode which) override;

 private:
  static constexpr std::size_t kBufferSize = 4096;

  // The file's position for the byte at gptr().
  off_type position();
  pos_type moveTo(off_type target);

  KobFile& file;
  char buffer[kBufferSize];
};

#endif  // KOB_KOB_STREAMBUF_H
