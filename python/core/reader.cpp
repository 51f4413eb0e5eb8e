// SPDX-License-Identifier: GPL-2.0-or-later
#include "reader.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#include "buffers.h"
#include "errors.h"
#include "file_object.h"
#include "kob.h"
#include "kob_open.h"
#include "kob_shared.h"
#include "source/aws_settings.h"
#include "source/opening.h"

namespace kobpy {
namespace {

// A read larger than this is not allocated whole before the data's size
// says it can be filled: up to it, a lookup allocates once, and beyond it
// a stream's read grows by this much at a time.
constexpr std::size_t kTrustedRead = std::size_t{1} << 20;

// A KobFile reads at most INT_MAX bytes a call.
constexpr std::size_t kLargestStreamRead = std::size_t{1} << 30;

// The name a file object shows in errors: its own, where it is a str.
std::string nameOf(const py::object& file) {
  if (!isFileObject(file)) return fsPath(file);
  py::object name = py::getattr(file, "name", py::none());
  if (PyUnicode_Check(name.ptr()) || PyBytes_Check(name.ptr())) {
    try {
      return fsPath(name);
    } catch (py::error_already_set&) {
    }
  }
  return std::string();
}

}  // namespace

// What a Reader reads. Shared with reads under way, so that a close in one
// thread leaves the reads of others to finish on the file they began.
struct Reader::Content {
  // The file object's source, whose calls into Python may call back.
  const void* calledBackBy = nullptr;
  std::unique_ptr<kob::SharedReader> packed;  // a packed file that seeks
  std::unique_ptr<kob::Source> plain;         // a plain one that seeks
  // A stream, packed or plain, read in order from `streamAt`.
  std::unique_ptr<KobFile> stream;
  std::mutex streamDoor;
  std::uint64_t streamAt = 0;

  kob::Failure attach(kob::OpenedFile&& file, bool partial, unsigned threads) {
    if (!file.ok()) return file.failure();
    if (file.seekable()) {
      if (!file.packed()) {
        plain = file.takeSource();
        return {};
      }
      const kob::IndexChoice index = file.name().empty()
                                         ? kob::IndexChoice::none()
                                         : kob::IndexChoice::beside();
      packed = std::make_unique<kob::SharedReader>();
      packed->setPartialDecoding(partial);
      packed->setThreads(threads);
      return packed->open(std::move(file), index);
    }
    stream = std::make_unique<KobFile>();
    stream->setPartialDecoding(partial);
    stream->setIndexFile("");
    if (!stream->open(std::move(file))) {
      kob::Failure failure = stream->failure();
      return failure.failed() ? failure : kob::Failure::ofError(errno ? errno : EIO);
    }
    return {};
  }

  // As SharedReader::readAt, for every kind.
  kob::ReadResult readAt(std::uint64_t position, void* buf, std::size_t len) {
    if (packed) return packed->readAt(position, buf, len);
    if (stream) return readStream(position, buf, len);
    kob::ReadResult result;
    auto* out = static_cast<unsigned char*>(buf);
    while (result.bytes < len) {
      int error = 0;
      const std::int64_t got = plain->readAt(
          static_cast<std::int64_t>(position + result.bytes), out + result.bytes,
          len - result.bytes, error);
      if (got < 0) {
        result.failure = kob::Failure::ofError(error);
        break;
      }
      if (got == 0) break;
      result.bytes += static_cast<std::size_t>(got);
    }
    return result;
  }

  kob::ReadResult readStream(std::uint64_t position, void* buf, std::size_t len) {
    std::lock_guard<std::mutex> lock(streamDoor);
    kob::ReadResult result;
    if (position < streamAt) {
      result.failure = kob::Failure::ofError(ESPIPE);
      return result;
    }
    if (position > streamAt && stream->isCompressed()) {
      const std::int64_t landed =
          stream->seek64(static_cast<std::int64_t>(position), SEEK_SET);
      if (landed >= 0) streamAt = static_cast<std::uint64_t>(landed);
    }
    // A plain stream cannot seek: what lies before is read and dropped.
    unsigned char skipped[4096];
    while (streamAt < position && !stream->hasError()) {
      const auto want = static_cast<unsigned>(
          std::min<std::uint64_t>(sizeof skipped, position - streamAt));
      const int got = stream->read(skipped, want);
      if (got <= 0) break;
      streamAt += static_cast<std::uint64_t>(got);
    }
    if (stream->hasError()) {
      result.failure = stream->failure();
      return result;
    }
    if (streamAt < position) return result;  // the data ended first
    auto* out = static_cast<unsigned char*>(buf);
    while (result.bytes < len) {
      const std::size_t want = std::min(len - result.bytes, kLargestStreamRead);
      const int got =
          stream->read(out + result.bytes, static_cast<unsigned>(want));
      if (got <= 0) break;
      result.bytes += static_cast<std::size_t>(got);
      if (static_cast<std::size_t>(got) < want) break;
    }
    streamAt += result.bytes;
    if (stream->hasError()) result.failure = stream->failure();
    return result;
  }

  kob::Failure size(std::uint64_t& size) {
    if (packed) return packed->dataSize(size);
    if (stream) return kob::Failure::ofError(ESPIPE);
    const std::int64_t known = plain->identity().size;
    if (known < 0) return kob::Failure::ofError(ESPIPE);
    size = static_cast<std::uint64_t>(known);
    return {};
  }
};

kob::S3Options s3OptionsOf(const py::object& options) {
  kob::S3Options s3;
  if (options.is_none()) return s3;
  if (!PyDict_Check(options.ptr())) throw py::type_error("s3 options are a dict");
  for (const auto& [key, value] : py::reinterpret_borrow<py::dict>(options)) {
    const std::string name = py::str(key);
    if (name == "anon") {
      if (!PyBool_Check(value.ptr())) throw py::type_error("s3 option anon is a bool");
      s3.anonymous = value.cast<bool>();
      continue;
    }
    std::string* into = name == "endpoint_url" ? &s3.endpoint
                        : name == "region"     ? &s3.region
                        : name == "key"        ? &s3.accessKey
                        : name == "secret"     ? &s3.secretKey
                        : name == "token"      ? &s3.sessionToken
                        : name == "profile"    ? &s3.profile
                                               : nullptr;
    if (into == nullptr) throw py::type_error("no such s3 option: " + name);
    if (value.is_none()) continue;
    if (!PyUnicode_Check(value.ptr())) throw py::type_error("s3 option " + name + " is a str");
    *into = value.cast<std::string>();
  }
  return s3;
}

py::dict s3Settings(const py::object& options) {
  const kob::S3Options given = s3OptionsOf(options);
  kob::AwsSettings found;
  kob::Failure failure;
  bool ok = false;
  {
    py::gil_scoped_release unlocked;  // the settings files are read
    ok = kob::findAwsSettings(given, found, failure);
  }
  if (!ok) raiseFailure(failure, "");
  auto orNone = [](const std::string& text) -> py::object {
    return text.empty() ? py::object(py::none()) : py::object(py::str(text));
  };
  py::dict settings;
  settings["endpoint_url"] = found.endpoint;
  settings["region"] = found.region;
  settings["key"] = orNone(found.accessKey);
  settings["secret"] = orNone(found.secretKey);
  settings["token"] = orNone(found.sessionToken);
  return settings;
}

Reader::Reader(const py::object& file, bool partial, bool plain, int threads,
               const std::string& caFile, const py::object& s3)
    : name(nameOf(file)) {
  if (threads < 0) throw py::value_error("threads must be 0 (one per core) or more");
  const auto helpers = static_cast<unsigned>(threads);
  auto opened = std::make_shared<Content>();
  kob::Failure failure;
  kob::OpenRules rules;
  rules.needPacked = !plain;
  rules.caFile = caFile;
  rules.s3 = s3OptionsOf(s3);
  CallbackErrors callbacks;
  if (isFileObject(file)) {
    std::unique_ptr<kob::Source> source = sourceOf(file);
    opened->calledBackBy = source.get();
    py::gil_scoped_release unlocked;
    // No name: a file object has no saved index beside it.
    failure = opened->attach(kob::openSource(std::move(source), "", rules), partial,
                             helpers);
  } else {
    // Positional reads need a file that seeks; a FIFO is refused before
    // it is opened, since opening one waits for a writer.
    rules.needSeek = true;
    py::gil_scoped_release unlocked;
    failure = opened->attach(kob::openFile(name, rules), partial, helpers);
  }
  callbacks.raiseKept();
  if (failure.failed()) raiseFailure(failure, name);
  content = std::move(opened);
}

py::bytes Reader::pread(Py_ssize_t n, std::int64_t offset) {
  if (n < 0) throw py::value_error("pread: negative size");
  if (offset < 0) throw py::value_error("pread: negative offset");
  std::shared_ptr<Content> open = current();
  CallbackErrors callbacks;
  std::size_t len = static_cast<std::size_t>(n);
  kob::ReadResult got;
  std::vector<char> grown;  // a large read of a stream, grown as it fills
  // Ask no more than the data holds, so a large n allocates nothing
  // needless; a lookup's n is allocated as it is, with the GIL given up
  // once a read, not twice.
  std::int64_t size = -1;
  if (len > kTrustedRead) {
    py::gil_scoped_release unlocked;
    std::uint64_t known = 0;
    if (open->size(known).ok()) {
      size = static_cast<std::int64_t>(known);
    } else if (open->stream) {
      while (got.ok() && grown.size() < len) {
        const std::size_t before = grown.size();
        const std::size_t step = std::min(kTrustedRead, len - before);
        grown.resize(before + step);
        kob::ReadResult piece = open->readAt(
            static_cast<std::uint64_t>(offset) + before, grown.data() + before, step);
        grown.resize(before + piece.bytes);
        got.bytes += piece.bytes;
        got.failure = piece.failure;
        if (piece.bytes < step) break;
      }
    }
  }
  if (open->stream && len > kTrustedRead) {
    callbacks.raiseKept();
    if (!got.ok() && (got.bytes == 0 || !got.failure.isDamage())) {
      raiseFailure(got.failure, name);
    }
    return py::bytes(grown.data(), grown.size());
  }
  if (size >= 0) {
    const std::uint64_t left =
        offset >= size ? 0 : static_cast<std::uint64_t>(size - offset);
    if (len > left) len = static_cast<std::size_t>(left);
  }
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(len));
  if (bytes == nullptr) throw py::error_already_set();
  py::object result = py::reinterpret_steal<py::object>(bytes);
  {
    py::gil_scoped_release unlocked;
    got = open->readAt(static_cast<std::uint64_t>(offset),
                       PyBytes_AS_STRING(bytes), len);
  }
  callbacks.raiseKept();
  // Bytes before damage are served; the damage is raised by the read that
  // starts on it.
  if (!got.ok() && (got.bytes == 0 || !got.failure.isDamage())) {
    raiseFailure(got.failure, name);
  }
  if (got.bytes != len) {
    PyObject* resized = result.release().ptr();
    if (_PyBytes_Resize(&resized, static_cast<Py_ssize_t>(got.bytes)) != 0) {
      throw py::error_already_set();
    }
    result = py::reinterpret_steal<py::object>(resized);
  }
  return py::reinterpret_steal<py::bytes>(result.release());
}

std::size_t Reader::readintoAt(const py::object& target, std::int64_t offset) {
  if (offset < 0) throw py::value_error("readinto_at: negative offset");
  std::shared_ptr<Content> open = current();
  CallbackErrors callbacks;
  Buffer buffer(target, true);
  kob::ReadResult got;
  {
    py::gil_scoped_release unlocked;
    got = open->readAt(static_cast<std::uint64_t>(offset), buffer.data(),
                       buffer.size());
  }
  callbacks.raiseKept();
  if (!got.ok() && (got.bytes == 0 || !got.failure.isDamage())) {
    raiseFailure(got.failure, name);
  }
  return got.bytes;
}

std::uint64_t Reader::size() {
  std::shared_ptr<Content> open = current();
  CallbackErrors callbacks;
  std::uint64_t size = 0;
  kob::Failure failure;
  {
    py::gil_scoped_release unlocked;
    failure = open->size(size);
  }
  callbacks.raiseKept();
  if (failure.failed()) raiseFailure(failure, name);
  return size;
}

void Reader::close() {
  std::shared_ptr<Content> closing;
  {
    std::lock_guard<std::mutex> lock(door);
    closing = std::move(content);
  }
  // A file object's source takes the GIL to let its object go: outside
  // the door, which readers take without the GIL.
}

bool Reader::closed() {
  std::lock_guard<std::mutex> lock(door);
  return content == nullptr;
}

bool Reader::packed() {
  std::shared_ptr<Content> open = current();
  return open->packed != nullptr || (open->stream && open->stream->isCompressed());
}

bool Reader::seekable() { return current()->stream == nullptr; }

std::shared_ptr<Reader::Content> Reader::current() {
  std::shared_ptr<Content> open;
  {
    std::lock_guard<std::mutex> lock(door);
    open = content;
  }
  if (!open) raiseClosed();
  refuseReentry(open->calledBackBy, "a kob reader: its file object's readinto called it");
  return open;
}

}  // namespace kobpy
