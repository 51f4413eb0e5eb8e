// SPDX-License-Identifier: GPL-2.0-or-later
#include "whole_file.h"

#include <pybind11/stl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "buffers.h"
#include "errors.h"
#include "kob.h"
#include "kob_index.h"
#include "kob_names.h"
#include "kob_open.h"
#include "kob_packer.h"
#include "kob_scan.h"
#include "kob_shared.h"
#include "output_file.h"
#include "source/opening.h"
#include "source/source.h"
#include "writer.h"

namespace kobpy {
namespace {

// Bytes read from an input, or written to an output, at a time.
constexpr std::size_t kBlockSize = 64 * 1024;

// An output made through the support library, raising as Python does.
class Output {
 public:
  // `replace`: over a file already there (`kob -f`), or never: refused at
  // once (FileExistsError), and at the rename for one made meanwhile.
  explicit Output(const std::string& path, bool replaceExisting = true)
      : name(path), file(path), replace(replaceExisting) {
    refuseUrl(path);
    struct stat there {};
    if (!replaceExisting && ::lstat(path.c_str(), &there) == 0) {
      raiseErrno(EEXIST, path, "already exists; force=True replaces it");
    }
  }

  // Returns: 0, or the errno. Without the GIL.
  int create() {
    if (kobsupport::OutputError problem = file.create()) {
      return problem.error != 0 ? problem.error : EIO;
    }
    return file.stream() == nullptr ? (errno ? errno : EIO) : 0;
  }
  std::FILE* stream() { return file.stream(); }
  int commit(const struct stat* keptFrom = nullptr) {
    kobsupport::OutputError problem = file.commit(keptFrom, replace);
    return problem ? (problem.error != 0 ? problem.error : EIO) : 0;
  }

  const std::string name;

 private:
  kobsupport::OutputFile file;
  const bool replace;
};

kob::OpenRules readRules(bool needSeek, bool needPacked) {
  kob::OpenRules rules;
  rules.needSeek = needSeek;
  rules.needPacked = needPacked;
  return rules;
}

std::string indexState(const py::object& nameObject) {
  const std::string name = fsPath(nameObject);
  kob::IndexState state;
  {
    py::gil_scoped_release unlocked;
    state = kob::indexState(name);
  }
  return kob::describe(state);
}

py::object writeIndex(const py::object& nameObject) {
  const std::string name = fsPath(nameObject);
  const std::string indexName = kob::indexPathFor(name);
  // The index is written beside the file: a URL's cannot be.
  Output index(indexName);
  kob::Failure failure;
  int error = 0;
  bool sealed = false;
  {
    py::gil_scoped_release unlocked;
    kob::OpenedFile packed = kob::openFile(name, readRules(true, true));
    if (!packed.ok()) {
      failure = packed.failure();
    } else if ((error = index.create()) == 0) {
      const kob::ScanReport report = kob::writeIndex(packed, index.stream());
      failure = report.failure;
      sealed = report.sealedMembers > 0;
      if (failure.ok() && !sealed) {
        // As `kob --index`: the packed file's owner, group and times;
        // nobody but its owner may write it, or readers would not trust it.
        struct stat kept {};
        if (packed.localStatus() != nullptr) kept = *packed.localStatus();
        kept.st_mode &= ~static_cast<mode_t>(S_IWGRP | S_IWOTH);
        error = index.commit(&kept);
      }
    }
  }
  if (failure.failed()) raiseFailure(failure, name);
  if (error != 0) raiseErrno(error, indexName);
  // A sealed file's seal is its index: none is written.
  if (sealed) return py::none();
  return py::str(indexName);
}

py::list scan(const py::object& nameObject, bool check) {
  const std::string name = fsPath(nameObject);
  std::vector<kob::ChunkInfo> chunks;
  kob::ScanReport report;
  {
    py::gil_scoped_release unlocked;
    // The saved index is taken up only to check payloads against it.
    report = kob::scanPacked(
        kob::openFile(name, readRules(false, false)), check,
        [&chunks](const kob::ChunkInfo& chunk) { chunks.push_back(chunk); },
        check ? kob::IndexChoice::beside() : kob::IndexChoice::none());
  }
  if (report.failure.failed()) raiseFailure(report.failure, name);
  py::list result;
  for (const kob::ChunkInfo& chunk : chunks) {
    result.append(py::make_tuple(chunk.number, chunk.fileOffset, chunk.position,
                                 chunk.dataSize, chunk.payloadSize));
  }
  return result;
}

void pack(const py::object& srcObject, const py::object& dstObject,
          const py::object& level, const py::object& threads, int chunkSize, bool force,
          bool seal) {
  const std::string src = fsPath(srcObject);
  kob::PackOptions options = packOptions(chunkSize, threads, level, seal);
  Output output(fsPath(dstObject), force);
  kob::Failure failure;
  int error = 0;
  {
    py::gil_scoped_release unlocked;
    kob::OpenRules rules;
    rules.testSignature = false;  // any file is data to pack
    kob::OpenedFile input = kob::openFile(src, rules);
    if (!input.ok()) {
      failure = input.failure();
    } else if ((error = output.create()) == 0) {
      // As `kob -T`: no more threads than the input has chunks.
      const std::int64_t size = input.size();
      if (size >= 0) {
        const auto chunks = static_cast<std::uint64_t>(
            std::max<std::int64_t>(1, (size + chunkSize - 1) / chunkSize));
        options.threads = static_cast<unsigned>(
            std::min<std::uint64_t>(options.threads, chunks));
      }
      try {
        kob::Packer packer(output.stream(), options);
        std::vector<unsigned char> block(kBlockSize);
        for (;;) {
          const long got = input.readOn(block.data(), block.size());
          if (got < 0) {
            failure = kob::Failure::ofError(errno ? errno : EIO);
            break;
          }
          if (got == 0) {
            failure = packer.finish();
            break;
          }
          failure = packer.write(block.data(), static_cast<std::size_t>(got));
          if (failure.failed()) break;
        }
      } catch (const std::bad_alloc&) {
        failure = kob::Failure::ofError(ENOMEM, kob::Failure::Action::Writing);
      } catch (const std::system_error&) {
        failure = kob::Failure::ofError(EAGAIN, kob::Failure::Action::Writing);
      }
      if (failure.ok()) error = output.commit();
    }
  }
  if (failure.failed()) {
    raiseFailure(failure,
                 failure.action == kob::Failure::Action::Reading ? src : output.name);
  }
  if (error != 0) raiseErrno(error, output.name);
}

void unpack(const py::object& srcObject, const py::object& dstObject, bool force) {
  const std::string src = fsPath(srcObject);
  Output output(fsPath(dstObject), force);
  kob::Failure failure;
  int error = 0;
  {
    py::gil_scoped_release unlocked;
    KobFile reader;
    kob::OpenedFile input = kob::openFile(src, readRules(false, true));
    if (!input.ok()) {
      failure = input.failure();
    } else if (!reader.open(std::move(input))) {
      failure = reader.failure();
      if (failure.ok()) failure = kob::Failure::ofError(errno ? errno : EIO);
    } else if ((error = output.create()) == 0) {
      std::vector<unsigned char> buffer(kBlockSize);
      for (;;) {
        const int got = reader.read(buffer.data(), static_cast<unsigned>(buffer.size()));
        if (got > 0 && std::fwrite(buffer.data(), 1, static_cast<std::size_t>(got),
                                   output.stream()) != static_cast<std::size_t>(got)) {
          error = errno ? errno : EIO;
          break;
        }
        if (got < static_cast<int>(buffer.size())) break;
      }
      if (error == 0 && reader.hasError()) failure = reader.failure();
      if (error == 0 && failure.ok()) error = output.commit();
    }
  }
  if (failure.failed()) raiseFailure(failure, src);
  if (error != 0) raiseErrno(error, output.name);
}

py::bytes compress(const py::object& data, const py::object& level,
                   const py::object& threads, int chunkSize, bool seal) {
  const kob::PackOptions options = packOptions(chunkSize, threads, level, seal);
  Buffer buffer(data, false);
  char* packed = nullptr;
  std::size_t length = 0;
  kob::Failure failure;
  {
    py::gil_scoped_release unlocked;
    std::FILE* out = open_memstream(&packed, &length);
    if (out == nullptr) {
      failure = kob::Failure::ofError(errno ? errno : ENOMEM);
    } else {
      try {
        kob::Packer packer(out, options);
        failure = packer.write(buffer.data(), buffer.size());
        if (failure.ok()) failure = packer.finish();
      } catch (const std::bad_alloc&) {
        failure = kob::Failure::ofError(ENOMEM, kob::Failure::Action::Writing);
      } catch (const std::system_error&) {
        failure = kob::Failure::ofError(EAGAIN, kob::Failure::Action::Writing);
      }
      if (std::fclose(out) != 0 && failure.ok()) {
        failure = kob::Failure::ofError(ENOMEM, kob::Failure::Action::Writing);
      }
    }
  }
  std::unique_ptr<char, decltype(&std::free)> owned(packed, &std::free);
  if (failure.failed()) raiseFailure(failure, "");
  return py::bytes(packed, length);
}

py::bytes decompress(const py::object& data, bool plain) {
  Buffer buffer(data, false);
  kob::Failure failure;
  std::vector<char> unpacked;
  bool packed = false;
  {
    py::gil_scoped_release unlocked;
    kob::OpenedFile file = kob::openSource(
        std::make_unique<kob::MemorySource>(std::string(
            static_cast<const char*>(buffer.data()), buffer.size())),
        "", readRules(true, !plain));
    if (!file.ok()) {
      failure = file.failure();
    } else if (file.packed()) {
      packed = true;
      kob::SharedReader reader;
      failure = reader.open(std::move(file), kob::IndexChoice::none());
      // Grown as the data comes, not by the size the headers claim.
      while (failure.ok()) {
        const std::size_t before = unpacked.size();
        unpacked.resize(before + kBlockSize * 16);
        const kob::ReadResult got =
            reader.readAt(before, unpacked.data() + before, unpacked.size() - before);
        unpacked.resize(before + got.bytes);
        failure = got.failure;
        if (got.bytes == 0) break;
      }
    }
  }
  if (failure.failed()) raiseFailure(failure, "");
  if (!packed) return py::bytes(static_cast<const char*>(buffer.data()), buffer.size());
  return py::bytes(unpacked.data(), unpacked.size());
}

// The same lookups through a SharedReader, timed in C++: the library's own
// cost per lookup, for the benchmark to set beside the module's.
double timeSharedReader(const py::object& nameObject,
                        const std::vector<std::uint64_t>& offsets,
                        const std::vector<std::size_t>& lengths, bool partial) {
  if (offsets.size() != lengths.size()) {
    throw py::value_error("offsets and lengths differ in length");
  }
  const std::string name = fsPath(nameObject);
  kob::SharedReader reader;
  reader.setPartialDecoding(partial);
  if (kob::Failure failed = reader.open(name.c_str()); failed.failed()) {
    raiseFailure(failed, name);
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

void addWholeFileOperations(py::module_& m) {
  m.def("index_state", &indexState, py::arg("name"));
  m.def("write_index", &writeIndex, py::arg("name"));
  m.def("scan", &scan, py::arg("name"), py::arg("check") = false);
  m.def("pack", &pack, py::arg("src"), py::arg("dst"), py::arg("level"),
        py::arg("threads"), py::arg("chunk_size"), py::arg("force"), py::arg("seal") = true);
  m.def("unpack", &unpack, py::arg("src"), py::arg("dst"), py::arg("force"));
  m.def("compress", &compress, py::arg("data"), py::arg("level"),
        py::arg("threads"), py::arg("chunk_size"), py::arg("seal") = true);
  m.def("decompress", &decompress, py::arg("data"), py::arg("plain"));
  m.def("time_shared_reader", &timeSharedReader, py::arg("path"),
        py::arg("offsets"), py::arg("lengths"), py::arg("partial") = false);
}

}  // namespace kobpy
