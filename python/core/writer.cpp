// SPDX-License-Identifier: GPL-2.0-or-later
#include "writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "buffers.h"
#include "errors.h"
#include "file_object.h"
#include "kob_limits.h"
#include "kob_names.h"

namespace kobpy {
namespace {

[[noreturn]] void raiseInherited(pid_t owner) {
  throw py::value_error(
      "this kob writer belongs to process " + std::to_string(owner) +
      ", which forked this one: a forked process cannot write to it (its "
      "file is still the parent's to finish)");
}

// Opens a file appended to, or a device or FIFO written through. Returns:
// the descriptor, -1 with errno set.
int openDirect(const std::string& path, int flags) {
  return ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY, 0666);
}

}  // namespace

unsigned coreCount() {
  return std::max(1u, std::thread::hardware_concurrency());
}

kob::PackOptions packOptions(int chunkSize, const py::object& threads,
                             const py::object& level, bool seal) {
  kob::PackOptions options;
  options.seal = seal;
  if (chunkSize < 1 || chunkSize > kob::kLargestChunkSize) {
    throw py::value_error("chunk_size must be 1..65535");
  }
  options.chunkSize = chunkSize;
  // Any count is taken, as `kob -T` takes one up to its limit: threads
  // beyond the cores would have nothing to do and each holds memory.
  const py::int_ wanted = py::reinterpret_steal<py::int_>(PyNumber_Index(threads.ptr()));
  if (!wanted) throw py::error_already_set();
  if (wanted < py::int_(0)) {
    throw py::value_error("threads must be 0 (one per core) or more");
  }
  const unsigned cores = coreCount();
  options.threads = cores;
  if (wanted < py::int_(cores) && wanted > py::int_(0)) {
    options.threads = wanted.cast<unsigned>();
  }
  if (!level.is_none()) {
    const py::int_ asked = py::reinterpret_steal<py::int_>(PyNumber_Index(level.ptr()));
    if (!asked) throw py::error_already_set();
    if (asked < py::int_(kob::kFastestLevel) || asked > py::int_(kob::kBestLevel)) {
      throw py::value_error("level must be 1..9");
    }
    options.level = asked.cast<int>();
  }
  if (kob::Packer::validOptions(options).failed()) {
    throw py::value_error("invalid packing options");
  }
  return options;
}

void refuseUrl(const std::string& name) {
  if (kob::isRemote(name)) raiseErrno(EROFS, name, "a URL is read only");
}

Writer::Writer(const py::object& target, char mode, const kob::PackOptions& options)
    : name(isFileObject(target) ? std::string() : fsPath(target)), owner(getpid()) {
  if (isFileObject(target)) {
    ObjectStream made = streamTo(target);
    if (made.file == nullptr) raiseErrno(errno, name);
    stream = made.file;
    dropUnwritten = made.dropUnwritten;
    streamMark = made.dropUnwritten;
  } else {
    refuseUrl(name);
    py::gil_scoped_release unlocked;
    int error = 0;
    kob::Failure notReady;  // a file appended to that does not end as it must
    struct stat info {};
    const bool exists = ::stat(name.c_str(), &info) == 0;
    if (mode == 'x' && (exists || errno != ENOENT)) {
      error = exists ? EEXIST : errno;
    } else if (exists && S_ISDIR(info.st_mode)) {
      error = EISDIR;
    } else if ((mode == 'a' && (exists || errno != ENOENT)) ||
               (exists && !S_ISREG(info.st_mode))) {
      // Appended to in place; a device or FIFO is written through, as
      // open() writes to one, never replaced by a file. A file appended to
      // that is not there is made as a new one is, below.
      const int flags = O_WRONLY | (mode == 'a' ? O_APPEND | O_CREAT : 0);
      bool readable = mode == 'a';
      direct = kob::UniqueFd(openDirect(name, readable ? (flags & ~O_WRONLY) | O_RDWR : flags));
      if (direct.get() < 0 && errno == EACCES && readable) {
        readable = false;
        direct = kob::UniqueFd(openDirect(name, flags));
      }
      struct stat opened {};
      // A file that cannot be read (opened for writing only) is not asked.
      if (direct.get() >= 0 && readable) notReady = kob::readyToAppend(direct.get());
      if (direct.get() < 0 || ::fstat(direct.get(), &opened) != 0) {
        error = errno;
      } else if (notReady.failed()) {
        error = -1;
      } else {
        if (mode == 'a' && S_ISREG(opened.st_mode)) appendedAt = opened.st_size;
        const int copy = ::fcntl(direct.get(), F_DUPFD_CLOEXEC, 0);
        stream = copy < 0 ? nullptr : ::fdopen(copy, mode == 'a' ? "ab" : "wb");
        if (stream == nullptr) {
          error = errno;
          if (copy >= 0) ::close(copy);
        }
      }
    } else {
      replace = mode == 'w';  // "a": not over a file made meanwhile
      output.emplace(name);
      if (kobsupport::OutputError problem = output->create()) {
        error = problem.error != 0 ? problem.error : EIO;
      } else if ((stream = output->stream()) == nullptr) {
        error = errno;
      }
    }
    if (error != 0) {
      py::gil_scoped_acquire locked;
      if (error < 0) raiseFailure(notReady, name);
      raiseErrno(error, name);
    }
  }
  try {
    packer = std::make_unique<kob::Packer>(stream, options);
  } catch (const std::system_error& problem) {
    raiseErrno(EAGAIN, name, std::string("cannot start a thread: ") + problem.what());
  } catch (const std::bad_alloc&) {
    raiseErrno(ENOMEM, name);
  }
}

Writer::~Writer() {
  if (inherited()) {
    detach();
    return;
  }
  py::gil_scoped_release unlocked;
  std::lock_guard<std::mutex> lock(door);
  if (packer) {
    // Never finished: nothing is created, an append undone.
    packer.reset();
    undoAppend();
  }
  if (dropUnwritten != nullptr) *dropUnwritten = true;
  if (stream != nullptr && !output) std::fclose(stream);
  stream = nullptr;
  output.reset();
}

bool Writer::inherited() const { return getpid() != owner; }

void Writer::checkOwner() {
  if (inherited()) raiseInherited(owner);
  refuseReentry(streamMark, "a kob writer: its file object's write called it");
}

// In a forked child, the threads of the packer are not there to be stopped
// and the buffers are the parent's bytes: everything is let go as it is,
// nothing written, closed or removed.
void Writer::detach() {
  static_cast<void>(packer.release());
  if (output) output->abandon();
  static_cast<void>(direct.release());
  stream = nullptr;
}

void Writer::undoAppend() {
  if (appendedAt < 0 || stream == nullptr) return;
  std::fflush(stream);
  struct stat now {};
  // Only while the file holds nothing but what this writer added.
  if (::fstat(direct.get(), &now) == 0 && now.st_size >= appendedAt &&
      now.st_size <= appendedAt + static_cast<std::int64_t>(
                                      packer ? packer->bytesWritten() : now.st_size)) {
    static_cast<void>(::ftruncate(direct.get(), appendedAt));
  }
}

std::size_t Writer::write(const py::object& data) {
  checkOwner();
  Buffer buffer(data, false);
  CallbackErrors callbacks;
  kob::Failure failure;
  bool open = true;
  {
    py::gil_scoped_release unlocked;
    std::lock_guard<std::mutex> lock(door);
    if (!packer) {
      open = false;
    } else {
      failure = packer->write(buffer.data(), buffer.size());
    }
  }
  if (!open) raiseClosed();
  callbacks.raiseKept();
  if (failure.failed()) raiseFailure(failure, name);
  return buffer.size();
}

std::uint64_t Writer::tell() {
  checkOwner();
  std::uint64_t taken = 0;
  bool open = true;
  {
    py::gil_scoped_release unlocked;
    std::lock_guard<std::mutex> lock(door);
    if (!packer) {
      open = false;
    } else {
      taken = packer->bytesTaken();
    }
  }
  if (!open) raiseClosed();
  return taken;
}

void Writer::close() {
  if (inherited()) {
    detach();
    return;
  }
  checkOwner();
  CallbackErrors callbacks;
  kob::Failure failure;
  int error = 0;
  {
    py::gil_scoped_release unlocked;
    std::lock_guard<std::mutex> lock(door);
    if (!packer) return;
    failure = packer->finish();
    if (failure.failed()) {
      // Undone before the packer, whose count says what it added.
      undoAppend();
    }
    packer.reset();
    if (output) {
      if (failure.ok()) {
        if (kobsupport::OutputError problem = output->commit(nullptr, replace)) {
          error = problem.error != 0 ? problem.error : EIO;
        }
      }
      output.reset();  // removes the file unless committed
    } else {
      if (failure.failed() && dropUnwritten != nullptr) *dropUnwritten = true;
      errno = 0;
      const bool flushed = std::fflush(stream) == 0 && !std::ferror(stream);
      const int flushError = errno;
      const bool closed = std::fclose(stream) == 0;
      if (failure.ok() && (!flushed || !closed)) {
        error = !flushed && flushError != 0 ? flushError : (errno ? errno : EIO);
      }
    }
    stream = nullptr;
    dropUnwritten = nullptr;
  }
  callbacks.raiseKept();
  if (failure.failed()) raiseFailure(failure, name);
  if (error != 0) raiseErrno(error, name);
}

void Writer::abort() {
  if (inherited()) {
    detach();
    return;
  }
  checkOwner();
  py::gil_scoped_release unlocked;
  std::lock_guard<std::mutex> lock(door);
  if (!packer) return;
  undoAppend();
  packer.reset();
  if (dropUnwritten != nullptr) *dropUnwritten = true;
  if (stream != nullptr && !output) std::fclose(stream);
  stream = nullptr;
  dropUnwritten = nullptr;
  output.reset();
}

bool Writer::closed() {
  if (inherited()) return packer == nullptr;
  py::gil_scoped_release unlocked;
  std::lock_guard<std::mutex> lock(door);
  return packer == nullptr;
}

}  // namespace kobpy
