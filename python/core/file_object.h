// SPDX-License-Identifier: GPL-2.0-or-later
//
// Python file objects as the library's files: a kob::Source that reads one
// through its readinto (or read) and seek, and a std::FILE that writes to
// one through its write. The library calls them without the GIL; each call
// takes the GIL only while it is inside Python, and an exception raised
// there is kept for the module's caller (see CallbackErrors).

#ifndef KOB_PYTHON_FILE_OBJECT_H
#define KOB_PYTHON_FILE_OBJECT_H

#include <pybind11/pybind11.h>

#include <cstdio>
#include <memory>
#include <string>

#include "source/source.h"

namespace kobpy {

namespace py = pybind11;

// Whether `object` is a file object rather than a name: it has read,
// readinto or write, as gzip.open tells them apart.
bool isFileObject(const py::handle& object);

// A file object to read from where it stands. It seeks when its
// seekable() says so (offsets then count from where it stood, and its size
// is taken from seek(0, 2)); otherwise it is a stream, read once in order.
// Made with the GIL held.
std::unique_ptr<kob::Source> sourceOf(const py::object& file);

// A stream writing to a file object through its write(), which is called
// with whole blocks; fclose does not close the object. Made with the GIL
// held; the stream may be used without it (it takes the GIL inside), and
// closed with or without it.
struct ObjectStream {
  std::FILE* file = nullptr;  // null with errno set when none could be made
  // Set before fclose: the bytes still buffered are dropped, not written.
  bool* dropUnwritten = nullptr;
};
ObjectStream streamTo(const py::object& file);

// A call into a file object's Python code, made by `owner` (a source that
// sourceOf made, or an ObjectStream's dropUnwritten): while it lasts, this
// thread holds the locks of the kob object reading or writing through it.
class CallingBack {
 public:
  explicit CallingBack(const void* owner);
  ~CallingBack();
  CallingBack(const CallingBack&) = delete;
  CallingBack& operator=(const CallingBack&) = delete;
};

// Whether this thread is inside such a call made by `owner`.
bool callingBack(const void* owner);

// Raises RuntimeError("reentrant call inside WHAT"), as io.BufferedReader
// does, when this thread is inside a call made by `owner`: the file
// object's code called back into the kob object that is calling it, which
// would wait for its own locks for ever. With the GIL held.
void refuseReentry(const void* owner, const std::string& what);

}  // namespace kobpy

#endif  // KOB_PYTHON_FILE_OBJECT_H
