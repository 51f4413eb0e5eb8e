// SPDX-License-Identifier: GPL-2.0-or-later
//
// The C++ half of kob.RawReader: positional reads of a packed file (or,
// where asked, a plain one) from a path, a URL or a Python file object.
// A file that seeks is read through a kob::SharedReader (or its source,
// plain), from any number of threads at once, the GIL released; a stream
// (a file object that does not seek) through a KobFile, in order.

#ifndef KOB_PYTHON_READER_H
#define KOB_PYTHON_READER_H

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace kobpy {

namespace py = pybind11;

class Reader {
 public:
  // `file`: a path (str, bytes, os.PathLike), a URL, or a file object.
  // `plain`: a file that is not packed reads as it is (else NotPackedError).
  // `threads`: a read of 1 MiB or more spreads its chunks over up to so
  // many threads (0: one per core), as SharedReader::setThreads says.
  // `caFile`: see kob::OpenRules::caFile.
  Reader(const py::object& file, bool partial, bool plain, int threads = 1,
         const std::string& caFile = std::string());

  // Up to `n` bytes at `offset`: fewer where the data ends or damage stops
  // the read (the read that starts on damage raises).
  py::bytes pread(Py_ssize_t n, std::int64_t offset);
  std::size_t readintoAt(const py::object& buffer, std::int64_t offset);
  std::uint64_t size();
  void close();
  bool closed();
  bool packed();
  bool seekable();

  // The name given ("" for a file object), as errors show it.
  const std::string name;

  struct Content;

 private:
  std::shared_ptr<Content> current();

  std::mutex door;  // guards `content`: the pointer, not the file
  std::shared_ptr<Content> content;
};

}  // namespace kobpy

#endif  // KOB_PYTHON_READER_H
