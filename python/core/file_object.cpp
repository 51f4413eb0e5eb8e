// SPDX-License-Identifier: GPL-2.0-or-later
#include "file_object.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "buffers.h"
#include "errors.h"

namespace kobpy {
namespace {

// The objects whose calls into Python this thread is inside, innermost
// last (see callingBack).
thread_local std::vector<const void*> callingBackFor;

// Bytes handed to a file object's write at a time: a Py_ssize_t holds them.
constexpr std::size_t kLargestCall = std::size_t{1} << 30;
// The stdio buffer before a file object's write: each write costs a call
// into Python, so it takes a few chunks at once.
constexpr std::size_t kWriteBlock = 64 * 1024;

// Keeps an exception raised in Python, or a C++ one from a conversion of
// what Python gave back, for the module's caller.
void keepException() {
  try {
    throw;
  } catch (py::error_already_set& error) {
    error.restore();
  } catch (const py::builtin_exception& error) {
    error.set_error();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_TypeError, error.what());
  }
  CallbackErrors::keepCurrent();
}

class FileObjectSource final : public kob::Source {
 public:
  explicit FileObjectSource(const py::object& object) : file(object) {
    if (py::hasattr(file, "seekable")) {
      try {
        canSeek = py::bool_(file.attr("seekable")());
        if (canSeek) {
          start = file.attr("tell")().cast<std::int64_t>();
          const auto end = file.attr("seek")(0, 2).cast<std::int64_t>();
          size = end > start ? end - start : 0;
        }
      } catch (py::error_already_set&) {
        // A file that says it seeks but cannot: read as a stream.
        canSeek = false;
      }
    }
    useReadinto = py::hasattr(file, "readinto");
  }

  ~FileObjectSource() override {
    py::gil_scoped_acquire gil;
    file = py::object();
  }

  std::int64_t readAt(std::int64_t offset, unsigned char* into,
                      std::size_t count, int& error) override {
    std::lock_guard<std::mutex> lock(door);
    py::gil_scoped_acquire gil;
    CallingBack inside(this);
    try {
      if (!canSeek && offset != streamPosition) {
        error = ESPIPE;
        return -1;
      }
      if (canSeek) file.attr("seek")(start + offset, 0);
      std::size_t done = 0;
      while (done < count) {
        const std::size_t got = readOnce(into + done, count - done);
        if (got == kNoneNow) {
          if (done > 0) break;
          error = EAGAIN;
          return -1;
        }
        if (got == 0) break;
        done += got;
        if (!canSeek) break;  // a stream gives what it has
      }
      streamPosition += static_cast<std::int64_t>(done);
      return static_cast<std::int64_t>(done);
    } catch (...) {
      keepException();
      error = EIO;
      return -1;
    }
  }

  bool seekable() const override { return canSeek; }

  kob::Identity identity() const override {
    kob::Identity who;
    who.size = canSeek ? size : -1;
    return who;
  }

 private:
  // One call of readinto (or read). Returns: the bytes, 0 at the end, or
  // kNoneNow for a file that has none now (None).
  std::size_t readOnce(unsigned char* into, std::size_t want) {
    if (useReadinto) return fillBy(file.attr("readinto"), into, want);
    want = std::min(want, kLargestFill);
    py::object answer = file.attr("read")(want);
    if (answer.is_none()) return kNoneNow;
    Buffer bytes(answer, false);
    if (bytes.size() > want) {
      throw py::value_error("read() returned more bytes than asked");
    }
    std::memcpy(into, bytes.data(), bytes.size());
    return bytes.size();
  }

  py::object file;
  bool canSeek = false;
  bool useReadinto = false;
  std::int64_t start = 0;  // where the file stood: offset 0
  std::int64_t size = 0;
  std::mutex door;  // one call into the file at a time; taken before the GIL
  std::int64_t streamPosition = 0;
};

// A std::FILE's cookie: the file object written to.
struct WriteCookie {
  py::object file;
  bool dropUnwritten = false;
};

ssize_t writeToObject(void* cookie, const char* bytes, std::size_t size) {
  auto* to = static_cast<WriteCookie*>(cookie);
  if (to->dropUnwritten) return static_cast<ssize_t>(size);
  py::gil_scoped_acquire gil;
  CallingBack inside(&to->dropUnwritten);  // the writer's mark of this stream
  try {
    std::size_t done = 0;
    while (done < size) {
      const std::size_t want = std::min(size - done, kLargestCall);
      // bytes, not a view: a file object may keep what it is given.
      py::object piece = py::bytes(bytes + done, want);
      py::object answer = to->file.attr("write")(piece);
      // A raw file may take fewer bytes. None, from a write that returns
      // nothing, is taken as all of them, as gzip takes it.
      const long long count = answer.is_none() ? static_cast<long long>(want)
                                               : answer.cast<long long>();
      if (count <= 0 || static_cast<unsigned long long>(count) > want) {
        errno = count == 0 ? EAGAIN : EIO;
        return done > 0 ? static_cast<ssize_t>(done) : -1;
      }
      done += static_cast<std::size_t>(count);
    }
    return static_cast<ssize_t>(size);
  } catch (...) {
    keepException();
    errno = EIO;
    return -1;
  }
}

int closeObjectStream(void* cookie) {
  py::gil_scoped_acquire gil;
  delete static_cast<WriteCookie*>(cookie);
  return 0;
}

}  // namespace

CallingBack::CallingBack(const void* owner) {
  callingBackFor.push_back(owner);
}

CallingBack::~CallingBack() { callingBackFor.pop_back(); }

bool callingBack(const void* owner) {
  return owner != nullptr &&
         std::find(callingBackFor.begin(), callingBackFor.end(), owner) != callingBackFor.end();
}

void refuseReentry(const void* owner, const std::string& what) {
  if (!callingBack(owner)) return;
  // As io.BufferedReader answers a call back into itself.
  PyErr_SetString(PyExc_RuntimeError, ("reentrant call inside " + what).c_str());
  throw py::error_already_set();
}

bool isFileObject(const py::handle& object) {
  return py::hasattr(object, "read") || py::hasattr(object, "readinto") ||
         py::hasattr(object, "write");
}

std::unique_ptr<kob::Source> sourceOf(const py::object& file) {
  if (!py::hasattr(file, "read") && !py::hasattr(file, "readinto")) {
    throw py::type_error("a file object to read from needs read() or readinto()");
  }
  return std::make_unique<FileObjectSource>(file);
}

ObjectStream streamTo(const py::object& file) {
  if (!py::hasattr(file, "write")) {
    throw py::type_error("a file object to write to needs write()");
  }
  auto* cookie = new WriteCookie{file};
  cookie_io_functions_t functions{};
  functions.write = &writeToObject;
  functions.close = &closeObjectStream;
  ObjectStream made;
  made.file = fopencookie(cookie, "w", functions);
  if (made.file == nullptr) {
    const int error = errno;
    delete cookie;
    errno = error;
    return made;
  }
  made.dropUnwritten = &cookie->dropUnwritten;
  std::setvbuf(made.file, nullptr, _IOFBF, kWriteBlock);
  return made;
}

}  // namespace kobpy
