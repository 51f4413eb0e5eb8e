// SPDX-License-Identifier: GPL-2.0-or-later
//
// kob._kob: the C++ half of the Python module kob. It holds what must be
// fast or must run without the GIL: positional reads over a
// kob::SharedReader (or, for a plain file, over its descriptor), the packing
// writer over a kob::Packer, and the whole-file operations. The Python half,
// kob/__init__.py, builds the io classes on top.

#include <fcntl.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kob.h"
#include "kob_pack.h"
#include "source/source.h"
#include "kob_shared.h"
#include "kob_version.h"

namespace py = pybind11;

namespace {

PyObject* damageErrorType = nullptr;

const char* damageName(kob::Damage damage) {
  switch (damage) {
    case kob::Damage::None: return "none";
    case kob::Damage::CutShort: return "cut_short";
    case kob::Damage::PayloadRejected: return "payload_rejected";
    case kob::Damage::WrongExpandedSize: return "wrong_expanded_size";
    case kob::Damage::DataAfterEnd: return "data_after_end";
    case kob::Damage::BrokenBackLink: return "broken_back_link";
    case kob::Damage::ChecksumMismatch: return "checksum_mismatch";
    case kob::Damage::NotPacked: return "not_packed";
  }
  return "unknown";
}

py::object optionalInt(std::int64_t value) {
  if (value < 0) return py::none();
  return py::int_(value);
}

// Raises OSError(errno, message, filename): Python picks the subclass
// (FileNotFoundError, PermissionError, ...) from the errno.
// A file's name as an error shows it: a URL without its credentials and
// query.
py::object shownName(const std::string& path) {
  if (path.empty()) return py::none();
  return py::str(kob::displayName(path));
}

[[noreturn]] void raiseErrno(int error, const std::string& message,
                             const std::string& path) {
  py::object exc = py::reinterpret_borrow<py::object>(PyExc_OSError)(
      error, message, shownName(path));
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
  throw py::error_already_set();
}

[[noreturn]] void raiseNotPacked(const std::string& path) {
  raiseErrno(EINVAL, "not a packed file", path);
}

[[noreturn]] void raiseFailure(const kob::Failure& failure,
                               const std::string& path) {
  if (failure.damage == kob::Damage::NotPacked) raiseNotPacked(path);
  if (!failure.isDamage()) {
    raiseErrno(failure.error != 0 ? failure.error : EIO,
               failure.error != 0 ? std::strerror(failure.error)
                                  : failure.describe(),
               path);
  }
  py::object type = py::reinterpret_borrow<py::object>(damageErrorType);
  py::object exc = type(failure.describe());
  exc.attr("damage") = damageName(failure.damage);
  exc.attr("chunk") = optionalInt(failure.chunk);
  exc.attr("offset") = optionalInt(failure.fileOffset);
  exc.attr("position") = optionalInt(failure.position);
  exc.attr("filename") = shownName(path);
  PyErr_SetObject(damageErrorType, exc.ptr());
  throw py::error_already_set();
}

[[noreturn]] void raiseClosed() {
  throw py::value_error("I/O operation on closed file.");
}

// A path as Python gives it: str, bytes or os.PathLike.
std::string fsPath(const py::object& path) {
  py::object bytes = py::reinterpret_steal<py::object>(
      PyOS_FSPath(path.ptr()));
  if (!bytes) throw py::error_already_set();
  if (PyUnicode_Check(bytes.ptr())) {
    bytes = py::reinterpret_steal<py::object>(
        PyUnicode_EncodeFSDefault(bytes.ptr()));
    if (!bytes) throw py::error_already_set();
  }
  std::string result = bytes.cast<std::string>();
  if (result.find('\0') != std::string::npos) {
    throw py::value_error("embedded null byte in path");
  }
  return result;
}

// A buffer taken with the GIL held and given back with it held.
class Buffer {
 public:
  Buffer(const py::object& object, bool writable) {
    if (PyObject_GetBuffer(object.ptr(), &view,
                           writable ? PyBUF_WRITABLE : PyBUF_SIMPLE) != 0) {
      throw py::error_already_set();
    }
  }
  ~Buffer() { PyBuffer_Release(&view); }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  void* data() const { return view.buf; }
  std::size_t size() const { return static_cast<std::size_t>(view.len); }

 private:
  Py_buffer view{};
};

struct Descriptor {
  explicit Descriptor(int fd) : fd(fd) {}
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int fd;
};

// What a Reader reads: a packed file through a SharedReader, or a plain one
// through the source the library opened it with. Shared with reads under
// way, so that a close in one thread leaves the reads of others to finish
// on the file they began.
struct Source {
  std::unique_ptr<kob::SharedReader> packed;
  std::unique_ptr<kob::Source> plain;

  // As SharedReader::readAt, for either kind.
  kob::ReadResult readAt(std::uint64_t position, void* buf, std::size_t len) {
    if (packed) return packed->readAt(position, buf, len);
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

  kob::Failure size(std::uint64_t& size) {
    if (packed) return packed->dataSize(size);
    const std::int64_t known = plain->identity().size;
    if (known < 0) return kob::Failure::ofError(ESPIPE);
    size = static_cast<std::uint64_t>(known);
    return {};
  }
};

class Reader {
 public:
  Reader(const py::object& pathObject, bool partial)
      : path(fsPath(pathObject)) {
    auto opened = std::make_shared<Source>();
    kob::Failure failure;
    {
      py::gil_scoped_release unlocked;
      kob::OpenRules rules;
      rules.needSeek = true;
      kob::OpenedFile file = kob::openFile(path, rules);
      if (!file.ok()) {
        failure = file.failure();
      } else if (file.packed()) {
        opened->packed = std::make_unique<kob::SharedReader>();
        opened->packed->setPartialDecoding(partial);
        failure = opened->packed->open(std::move(file));
      } else {
        // Not packed: read plain, as KobFile does.
        opened->plain = file.takeSource();
      }
    }
    if (failure.failed()) raiseFailure(failure, path);
    source = std::move(opened);
  }

  py::bytes pread(Py_ssize_t n, std::int64_t offset) {
    if (n < 0) throw py::value_error("pread: negative size");
    if (offset < 0) throw py::value_error("pread: negative offset");
    std::shared_ptr<Source> open = current();
    std::size_t len = static_cast<std::size_t>(n);
    kob::ReadResult got;
    // Ask no more than the data holds, so a large n allocates nothing
    // needless; a lookup's n is allocated as it is, with the GIL given up
    // once a read, not twice.
    std::int64_t size = -1;
    if (len > (std::size_t{1} << 20)) {
      py::gil_scoped_release unlocked;
      std::uint64_t known = 0;
      if (open->size(known).ok()) size = static_cast<std::int64_t>(known);
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
    if (!got.ok() && (got.bytes == 0 || !got.failure.isDamage())) {
      raiseFailure(got.failure, path);
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

  std::size_t readintoAt(const py::object& target, std::int64_t offset) {
    if (offset < 0) throw py::value_error("readinto_at: negative offset");
    std::shared_ptr<Source> open = current();
    Buffer buffer(target, true);
    kob::ReadResult got;
    {
      py::gil_scoped_release unlocked;
      got = open->readAt(static_cast<std::uint64_t>(offset), buffer.data(),
                         buffer.size());
    }
    // Bytes before damage are served; the damage is raised by the read
    // that starts on it.
    if (!got.ok() && (got.bytes == 0 || !got.failure.isDamage())) {
      raiseFailure(got.failure, path);
    }
    return got.bytes;
  }

  std::uint64_t size() {
    std::shared_ptr<Source> open = current();
    std::uint64_t size = 0;
    kob::Failure failure;
    {
      py::gil_scoped_release unlocked;
      failure = open->size(size);
    }
    if (failure.failed()) raiseFailure(failure, path);
    return size;
  }

  void close() {
    std::lock_guard<std::mutex> lock(door);
    source.reset();
  }

  bool closed() {
    std::lock_guard<std::mutex> lock(door);
    return source == nullptr;
  }

  bool packed() { return current()->packed != nullptr; }

  const std::string path;

 private:
  std::shared_ptr<Source> current() {
    std::shared_ptr<Source> open;
    {
      std::lock_guard<std::mutex> lock(door);
      open = source;
    }
    if (!open) raiseClosed();
    return open;
  }

  std::mutex door;
  std::shared_ptr<Source> source;
};

// The permissions a new file gets: 0666 less the umask.
mode_t newFileMode() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) {
      return 0666 & ~static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
    }
  }
  return 0644;
}

// A file written under a temporary name in the directory of `target` and
// renamed over it once complete; removed if it never is.
class PendingFile {
 public:
  explicit PendingFile(std::string target) : target(std::move(target)) {}
  ~PendingFile() { discard(); }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  // Returns: 0, or the errno.
  int create(mode_t mode) {
    const std::size_t slash = target.rfind('/');
    const std::string dir =
        slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string name =
        slash == std::string::npos ? target : target.substr(slash + 1);
    temporary = dir + "." + name + ".XXXXXX";
    std::vector<char> templ(temporary.begin(), temporary.end());
    templ.push_back('\0');
    const int fd = ::mkostemp(templ.data(), O_CLOEXEC);
    if (fd < 0) {
      temporary.clear();
      return errno;
    }
    temporary = templ.data();
    if (::fchmod(fd, mode) != 0 || (stream = ::fdopen(fd, "wb")) == nullptr) {
      const int error = errno;
      ::close(fd);
      discard();
      return error;
    }
    return 0;
  }

  std::FILE* file() const { return stream; }

  // Closes and renames into place. Returns: 0, or the errno.
  int commit() {
    if (stream == nullptr) return EBADF;
    int error = 0;
    if (std::fflush(stream) != 0 || std::ferror(stream)) error = errno ? errno : EIO;
    if (std::fclose(stream) != 0 && error == 0) error = errno;
    stream = nullptr;
    if (error == 0 && std::rename(temporary.c_str(), target.c_str()) != 0) {
      error = errno;
    }
    if (error == 0) {
      temporary.clear();
    } else {
      discard();
    }
    return error;
  }

  void discard() {
    if (stream != nullptr) std::fclose(stream);
    stream = nullptr;
    if (!temporary.empty()) ::unlink(temporary.c_str());
    temporary.clear();
  }

 private:
  std::string target;
  std::string temporary;
  std::FILE* stream = nullptr;
};

kob::PackOptions packOptions(int chunkSize, int threads, const py::object& level) {
  kob::PackOptions options;
  if (threads < 0) throw py::value_error("threads must be 0 (one per core) or more");
  options.chunkSize = chunkSize;
  options.threads = static_cast<unsigned>(threads);
  if (!level.is_none()) options.level = level.cast<int>();
  if (chunkSize < 1 || chunkSize > kob::kLargestChunkSize) {
    throw py::value_error("chunk_size must be 1..65535");
  }
  if (options.level < kob::kFastestLevel || options.level > kob::kBestLevel) {
    throw py::value_error("level must be 1..9");
  }
  if (kob::Packer::validOptions(options).failed()) {
    throw py::value_error("invalid packing options");
  }
  return options;
}

class Writer {
 public:
  Writer(const py::object& pathObject, int chunkSize, int threads,
         const py::object& level)
      : path(fsPath(pathObject)),
        options(packOptions(chunkSize, threads, level)),
        pending(path) {
    int error;
    {
      py::gil_scoped_release unlocked;
      error = pending.create(newFileMode());
    }
    if (error != 0) raiseErrno(error, std::strerror(error), path);
    try {
      packer = std::make_unique<kob::Packer>(pending.file(), options);
    } catch (const std::system_error& problem) {
      raiseErrno(problem.code().value(), problem.what(), path);
    }
  }

  std::size_t write(const py::object& data) {
    Buffer buffer(data, false);
    kob::Failure failure;
    {
      py::gil_scoped_release unlocked;
      std::lock_guard<std::mutex> lock(door);
      if (!packer) {
        failure = kob::Failure::ofError(EBADF);
      } else {
        failure = packer->write(buffer.data(), buffer.size());
      }
    }
    if (failure.error == EBADF && !isOpen()) raiseClosed();
    if (failure.failed()) raiseFailure(failure, path);
    return buffer.size();
  }

  std::uint64_t tell() {
    std::lock_guard<std::mutex> lock(door);
    if (!packer) raiseClosed();
    return packer->bytesTaken();
  }

  // Finishes the packed file and renames it into place. Later calls do
  // nothing.
  void close() {
    kob::Failure failure;
    int error = 0;
    {
      py::gil_scoped_release unlocked;
      std::lock_guard<std::mutex> lock(door);
      if (!packer) return;
      failure = packer->finish();
      packer.reset();
      if (failure.ok()) {
        error = pending.commit();
      } else {
        pending.discard();
      }
    }
    if (failure.failed()) raiseFailure(failure, path);
    if (error != 0) raiseErrno(error, std::strerror(error), path);
  }

  // Closes without finishing: the file is not created.
  void abort() {
    py::gil_scoped_release unlocked;
    std::lock_guard<std::mutex> lock(door);
    packer.reset();
    pending.discard();
  }

  bool isOpen() {
    std::lock_guard<std::mutex> lock(door);
    return packer != nullptr;
  }

  const std::string path;

 private:
  kob::PackOptions options;
  PendingFile pending;
  std::mutex door;
  std::unique_ptr<kob::Packer> packer;
};

int openForReading(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) raiseErrno(errno, std::strerror(errno), path);
  return fd;
}

std::string indexState(const py::object& pathObject) {
  const std::string path = fsPath(pathObject);
  kob::IndexState state;
  {
    py::gil_scoped_release unlocked;
    state = kob::indexState(path);
  }
  return kob::describe(state);
}


std::string writeIndex(const py::object& pathObject) {
  const std::string path = fsPath(pathObject);
  const std::string indexPath = kob::indexPathFor(path);
  Descriptor packed(openForReading(path));
  struct stat info;
  if (::fstat(packed.fd, &info) != 0) raiseErrno(errno, std::strerror(errno), path);
  PendingFile index(indexPath);
  // Nobody but the owner may write an index, or readers would not trust it.
  int error;
  {
    py::gil_scoped_release unlocked;
    error = index.create(info.st_mode & 0644);
  }
  if (error != 0) raiseErrno(error, std::strerror(error), indexPath);
  kob::ScanReport report;
  {
    py::gil_scoped_release unlocked;
    report = kob::writeIndex(packed.fd, index.file());
  }
  if (report.failure.failed()) raiseFailure(report.failure, path);
  {
    py::gil_scoped_release unlocked;
    error = index.commit();
  }
  if (error != 0) raiseErrno(error, std::strerror(error), indexPath);
  return indexPath;
}

py::list scan(const py::object& pathObject, bool check) {
  const std::string path = fsPath(pathObject);
  Descriptor packed(openForReading(path));
  std::vector<kob::ChunkInfo> chunks;
  kob::ScanReport report;
  const std::string indexPath = kob::indexPathFor(path);
  {
    py::gil_scoped_release unlocked;
    report = kob::scanPacked(
        packed.fd, check,
        [&chunks](const kob::ChunkInfo& chunk) { chunks.push_back(chunk); },
        check ? indexPath.c_str() : nullptr);
  }
  if (report.failure.failed()) raiseFailure(report.failure, path);
  py::list result;
  for (const kob::ChunkInfo& chunk : chunks) {
    result.append(py::make_tuple(chunk.number, chunk.fileOffset, chunk.position,
                                 chunk.dataSize, chunk.payloadSize));
  }
  return result;
}

void pack(const py::object& srcObject, const py::object& dstObject,
          const py::object& level, int threads, int chunkSize) {
  const std::string src = fsPath(srcObject);
  const std::string dst = fsPath(dstObject);
  const kob::PackOptions options = packOptions(chunkSize, threads, level);
  Descriptor input(openForReading(src));
  std::FILE* in = ::fdopen(input.fd, "rb");
  if (in == nullptr) raiseErrno(errno, std::strerror(errno), src);
  input.fd = -1;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> inFile(in, &std::fclose);
  PendingFile output(dst);
  int error;
  kob::Failure failure;
  {
    py::gil_scoped_release unlocked;
    error = output.create(newFileMode());
    if (error == 0) failure = kob::packStream(in, output.file(), options);
    if (error == 0 && failure.ok()) error = output.commit();
  }
  if (failure.failed()) {
    raiseFailure(failure, failure.action == kob::Failure::Action::Reading ? src : dst);
  }
  if (error != 0) raiseErrno(error, std::strerror(error), dst);
}

void unpack(const py::object& srcObject, const py::object& dstObject) {
  const std::string src = fsPath(srcObject);
  const std::string dst = fsPath(dstObject);
  const int fd = openForReading(src);
  KobFile reader;
  if (!reader.openDescriptor(fd, READ, src.c_str())) {
    raiseErrno(errno ? errno : EIO, std::strerror(errno ? errno : EIO), src);
  }
  if (!reader.isCompressed()) raiseNotPacked(src);
  PendingFile output(dst);
  int error;
  kob::Failure failure;
  {
    py::gil_scoped_release unlocked;
    error = output.create(newFileMode());
    std::vector<unsigned char> buffer(1 << 16);
    while (error == 0) {
      const int got = reader.read(buffer.data(), static_cast<unsigned>(buffer.size()));
      if (got > 0 &&
          std::fwrite(buffer.data(), 1, static_cast<std::size_t>(got),
                      output.file()) != static_cast<std::size_t>(got)) {
        error = errno ? errno : EIO;
        break;
      }
      if (got < static_cast<int>(buffer.size())) break;
    }
    if (error == 0 && reader.hasError()) failure = reader.failure();
    if (error == 0 && failure.ok()) error = output.commit();
  }
  if (failure.failed()) raiseFailure(failure, src);
  if (error != 0) raiseErrno(error, std::strerror(error), dst);
}

// The same lookups through a SharedReader, timed in C++: the library's own
// cost per lookup, for the benchmark to set beside the module's.
double timeSharedReader(const py::object& pathObject,
                        const std::vector<std::uint64_t>& offsets,
                        const std::vector<std::size_t>& lengths,
                        bool partial) {
  if (offsets.size() != lengths.size()) {
    throw py::value_error("offsets and lengths differ in length");
  }
  const std::string path = fsPath(pathObject);
  kob::SharedReader reader;
  reader.setPartialDecoding(partial);
  if (kob::Failure failed = reader.open(path.c_str()); failed.failed()) {
    raiseFailure(failed, path);
  }
  std::size_t largest = 0;
  for (std::size_t length : lengths) largest = std::max(largest, length);
  std::vector<char> buffer(largest);
  py::gil_scoped_release unlocked;
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    reader.readAt(offsets[i], buffer.data(), lengths[i]);
  }
  const auto end = std::chrono::steady_clock::now();
  return std::chrono::duration<double>(end - start).count();
}

}  // namespace

PYBIND11_MODULE(_kob, m) {
  m.doc() = "The C++ half of kob; use the package kob.";

  damageErrorType = PyErr_NewExceptionWithDoc(
      "kob.DamageError",
      "A packed file's bytes are wrong: a chunk cut short, a payload the\n"
      "decompressor rejects, a broken back-link, data after the end marker,\n"
      "a checksum that does not match. An OSError whose errno is None.\n\n"
      "Attributes:\n"
      "  damage    the kind, a string: 'cut_short', 'payload_rejected',\n"
      "            'wrong_expanded_size', 'data_after_end',\n"
      "            'broken_back_link' or 'checksum_mismatch'\n"
      "  chunk     the damaged chunk's number (0 for the first), or None\n"
      "  offset    the file offset of its header, or None\n"
      "  position  the position in the data of its first byte, or None\n"
      "  filename  the packed file's path",
      PyExc_OSError, nullptr);
  if (damageErrorType == nullptr) throw py::error_already_set();
  py::object damageError = py::reinterpret_borrow<py::object>(damageErrorType);
  // The message alone, as describe() gives it; OSError's own str would
  // speak of an errno.
  damageError.attr("__str__") = py::cpp_function(
      [](py::handle self) -> py::str {
        py::tuple args = self.attr("args");
        return args.empty() ? py::str("") : py::str(args[0]);
      },
      py::is_method(damageError));
  m.attr("DamageError") = damageError;

  py::class_<Reader>(m, "Reader")
      .def(py::init<const py::object&, bool>(), py::arg("path"),
           py::arg("partial") = false)
      .def("pread", &Reader::pread, py::arg("n"), py::arg("offset"))
      .def("readinto_at", &Reader::readintoAt, py::arg("buffer"),
           py::arg("offset"))
      .def("size", &Reader::size)
      .def("close", &Reader::close)
      .def_property_readonly("closed", &Reader::closed)
      .def_property_readonly("packed", &Reader::packed)
      .def_readonly("path", &Reader::path);

  py::class_<Writer>(m, "Writer")
      .def(py::init<const py::object&, int, int, const py::object&>(),
           py::arg("path"), py::arg("chunk_size"), py::arg("threads"),
           py::arg("level"))
      .def("write", &Writer::write, py::arg("data"))
      .def("tell", &Writer::tell)
      .def("close", &Writer::close)
      .def("abort", &Writer::abort)
      .def_property_readonly("closed", [](Writer& w) { return !w.isOpen(); });

  m.def("index_state", &indexState, py::arg("path"));
  m.def("write_index", &writeIndex, py::arg("path"));
  m.def("scan", &scan, py::arg("path"), py::arg("check") = false);
  m.def("pack", &pack, py::arg("src"), py::arg("dst"), py::arg("level"),
        py::arg("threads"), py::arg("chunk_size"));
  m.def("unpack", &unpack, py::arg("src"), py::arg("dst"));
  m.def("time_shared_reader", &timeSharedReader, py::arg("path"),
        py::arg("offsets"), py::arg("lengths"), py::arg("partial") = false);
  m.attr("version") = kob::version();
}
