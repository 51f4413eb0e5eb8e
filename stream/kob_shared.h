// kob::SharedReader: one packed file read by many threads at once.
//
//   kob::SharedReader dictionary;
//   dictionary.open("dictionary.data.kob");
//   dictionary.setPartialDecoding(true);
//   // in any thread, at the same time:
//   char entry[512];
//   kob::ReadResult got = dictionary.readAt(offset, entry, length);
//
// Reads are positional: each says where it reads and moves no shared
// position, so threads need no coordination. They share one chunk index,
// loaded from the file's saved index (see kob::writeIndex) or learned once
// as reads walk the headers; a lock guards the index only, never held while
// a chunk is decompressed. Each read checks the headers it meets and the
// payloads it decompresses as KobFile does, and serves no byte of a chunk
// that fails; it serves bytes of the chunks before, and damage stops that
// read only: a later read elsewhere in the file goes on.
//
// A KobFile is still the choice for one thread reading in order; this is
// for many threads looking things up at random in one file.

#ifndef KOB_KOB_SHARED_H
#define KOB_KOB_SHARED_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "kob_damage.h"
#include "kob_export.h"

namespace kob {

struct ReadResult {
  std::size_t bytes = 0;         // delivered
  Damage damage = Damage::None;  // what stopped the read short, if damage
  int error = 0;                 // the errno of a read that failed, if one

  // False when damage or a failed read stopped the read short; a short
  // count with ok() true means the data ended.
  bool ok() const { return damage == Damage::None && error == 0; }
};

class KOB_EXPORT SharedReader {
 public:
  SharedReader();
  ~SharedReader();
  SharedReader(const SharedReader&) = delete;
  SharedReader& operator=(const SharedReader&) = delete;

  // Opens the packed file at `path`, which must be a file that can seek
  // (positional reads need one). A file open before is closed first; no
  // thread may be reading then.
  // Returns: true when open; false when the file cannot be opened (errno
  //   tells why), cannot seek (ESPIPE) or is not packed (EINVAL).
  bool open(const char* path);
  void close();
  bool isOpen() const;

  // As KobFile::setPartialDecoding: reads decompress a chunk only as far as
  // they need. Off by default; may change while threads read.
  void setPartialDecoding(bool on);

  // Reads up to `len` bytes of the data from `position` into `buf`; any
  // number of threads at once.
  // Returns: the bytes delivered, fewer than `len` when the data ends (0 at
  //   or beyond its end) or when damage or a failed read stops it (then
  //   ok() is false and says which). With no file open: 0 bytes, error
  //   EBADF.
  ReadResult readAt(std::uint64_t position, void* buf, std::size_t len);

  // Returns: the size of the data, walking the headers to its end the first
  //   time; -1 when damage or a failed read hides the end, or no file is
  //   open.
  std::int64_t size();

 private:
  struct File;
  std::unique_ptr<File> file;
};

}  // namespace kob

#endif  // KOB_KOB_SHARED_H
