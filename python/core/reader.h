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

#include "kob_open.h"

namespace kobpy {

namespace py = pybind11;

// The S3 settings a dict gives, by the names fsspec's S3 file systems
// take: endpoint_url, region, key, secret, token, profile (str or None)
// and anon (bool). None gives none. Raises TypeError for another name or
// a value of another type.
kob::S3Options s3OptionsOf(const py::object& options);

// The settings an s3:// URL is read with, given `options` (as above) and
// the environment, found as the library finds them: a dict of
// endpoint_url, region, key, secret and token (None where there is none).
// Raises OSError (EINVAL, ...) as opening the URL would.
py::dict s3Settings(const py::object& options);

class Reader {
 public:
  // `file`: a path (str, bytes, os.PathLike), a URL, or a file object.
  // `plain`: a file that is not packed reads as it is (else NotPackedError).
  // `threads`: a read of 1 MiB or more spreads its chunks over up to so
  // many threads (0: one per core), as SharedReader::setThreads says.
  // `caFile`: see kob::OpenRules::caFile.
  // `s3`: None, or a dict of S3 settings for an s3:// URL (s3OptionsOf).
  Reader(const py::object& file, bool partial, bool plain, int threads = 1,
         const std::string& caFile = std::string(), const py::object& s3 = py::none());

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
