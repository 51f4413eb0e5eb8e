// SPDX-License-Identifier: GPL-2.0-or-later
//
// The C++ half of kob.RawWriter: a packed file written through a
// kob::Packer, to a path (through the support library's output file:
// private and under a short name until complete, then renamed into place;
// or appended to as a new packed member), or to a Python file object.

#ifndef KOB_PYTHON_WRITER_H
#define KOB_PYTHON_WRITER_H

#include <pybind11/pybind11.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "common/unique_fd.h"
#include "kob_packer.h"
#include "output_file.h"

namespace kobpy {

namespace py = pybind11;

// The packing options as Python gives them, checked: ValueError for a
// chunk size, level or thread count out of range. Threads beyond the
// cores are not started, as `kob -T` starts none (the bytes are the same).
// `seal`: sealed, as `kob` packs, or the plain format (`kob --no-seal`).
kob::PackOptions packOptions(int chunkSize, const py::object& threads,
                             const py::object& level, bool seal);

// The cores this machine has, at least 1: as many threads as help.
unsigned coreCount();

// Whether `name` is a URL, and so nothing to write to: raises OSError
// (EROFS) if it is.
void refuseUrl(const std::string& name);

class Writer {
 public:
  // `mode`: 'w' replaces the file at close, 'x' makes a new one only, 'a'
  // appends a new packed member at its end. A file object is written to
  // where it stands, whatever the mode.
  Writer(const py::object& target, char mode, const kob::PackOptions& options);
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  std::size_t write(const py::object& data);
  std::uint64_t tell();
  // Finishes the packed file: renamed into place, or its member complete.
  void close();
  // Closes without finishing: nothing is created; an append is undone.
  void abort();
  bool closed();
  // Whether this object came to a process forked from the one that opened
  // it: it then writes nothing, and its file stays the parent's.
  bool inherited() const;

  const std::string name;

 private:
  void checkOwner();
  void detach();
  void undoAppend();

  const pid_t owner;
  std::mutex door;  // guards what follows; taken without the GIL
  std::optional<kobsupport::OutputFile> output;  // a new file
  bool replace = true;
  kob::UniqueFd direct;  // a device, FIFO or a file appended to
  std::int64_t appendedAt = -1;  // the appended file's size before
  std::FILE* stream = nullptr;   // what the packer writes to, ours
  bool* dropUnwritten = nullptr;  // a file object's stream: see streamTo
  const void* streamMark = nullptr;  // that stream's, for the whole life
  std::unique_ptr<kob::Packer> packer;
};

}  // namespace kobpy

#endif  // KOB_PYTHON_WRITER_H
