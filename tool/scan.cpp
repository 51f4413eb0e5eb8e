// SPDX-License-Identifier: GPL-2.0-or-later
//
// The modes that read packed files without writing their data: -t checks,
// -l lists, -i writes an index beside.

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <optional>
#include <vector>

#include "inputs.h"
#include "kob_index.h"
#include "kob_names.h"
#include "kob_scan.h"
#include "modes.h"
#include "output_file.h"

namespace kobtool {
namespace {

std::string shownName(const std::string& name) {
  return name == kStandardStream ? std::string(kStdinName)
                                 : kob::displayName(name);
}

// Scans a packed input (see kob::scanPacked); `outcome` says why it could
// not be read, or where it is damaged.
std::optional<kob::ScanReport> scanInput(
    const Options& options, const std::string& name, bool decompress,
    const std::function<void(const kob::ChunkInfo&)>& onChunk,
    Outcome& outcome) {
  OpenedInput opened = openInput(options, name);
  if (!opened.input) {
    outcome = opened.outcome;
    return std::nullopt;
  }
  Input& input = *opened.input;
  outcome = checkNotATerminal(options, input);
  if (!outcome.ok()) return std::nullopt;
  const bool local = !input.isStdin() && !input.isRemote();
  const kob::UniqueFd kept(
      local ? fcntl(input.descriptor(), F_DUPFD_CLOEXEC, 0) : -1);
  kob::ScanReport scan =
      kob::scanPacked(std::move(input.file), decompress, onChunk);
  if (scan.ok()) {
    // The state of every block of the index, not just those the scan met,
    // unless the scan found the file disagreeing with it.
    if (local && scan.indexState != kob::IndexState::Stale) {
      scan.indexState = kob::indexState(input.name, kept.get());
    }
    return scan;
  }
  outcome = Outcome::failed(input.shown(), scan.failure);
  return std::nullopt;
}

}  // namespace

Outcome test(const Options& options, const std::string& name) {
  Outcome outcome;
  std::optional<kob::ScanReport> scan =
      scanInput(options, name, true, {}, outcome);
  if (!scan) return outcome;
  if (!options.verbose) return Outcome();
  return Outcome::told(shownName(name),
                       scan->contentChecked
                           ? "OK (content checked against its index)"
                           : "OK");
}

void printListHeader() {
  std::printf("%12s %12s %7s %8s %10s %8s  %s\n", "packed", "unpacked", "ratio",
              "chunks", "chunk size", "index", "name");
}

void printListTotals(const ListTotals& totals) {
  const double ratio =
      totals.unpacked ? 100.0 * static_cast<double>(totals.packed) /
                            static_cast<double>(totals.unpacked)
                      : 0;
  std::printf("%12llu %12llu %6.1f%% %8llu %10s %8s  (totals: %llu files)\n",
              static_cast<unsigned long long>(totals.packed),
              static_cast<unsigned long long>(totals.unpacked), ratio,
              static_cast<unsigned long long>(totals.chunks), "", "",
              static_cast<unsigned long long>(totals.files));
}

Outcome list(const Options& options, const std::string& name,
             ListTotals& totals) {
  Outcome outcome;
  std::vector<kob::ChunkInfo> chunks;
  const std::optional<kob::ScanReport> found = scanInput(
      options, name, false,
      [&](const kob::ChunkInfo& c) {
        if (options.verbose) chunks.push_back(c);
      },
      outcome);
  if (!found) return outcome;
  const kob::ScanReport& scan = *found;
  const double ratio = scan.dataSize
                           ? 100.0 * static_cast<double>(scan.packedSize) /
                                 static_cast<double>(scan.dataSize)
                           : 0;
  const char* index =
      name == kStandardStream ? "-" : kob::describe(scan.indexState);
  ++totals.files;
  totals.packed += static_cast<std::uint64_t>(scan.packedSize);
  totals.unpacked += scan.dataSize;
  totals.chunks += scan.chunks;
  std::printf("%12lld %12llu %6.1f%% %8llu %10u %8s  %s\n",
              static_cast<long long>(scan.packedSize),
              static_cast<unsigned long long>(scan.dataSize), ratio,
              static_cast<unsigned long long>(scan.chunks), scan.largestChunk,
              index, shownName(name).c_str());
  if (options.verbose && !chunks.empty()) {
    std::printf("%12s %12s %12s %8s %10s\n", "chunk", "offset", "position",
                "stored", "unpacked");
    for (const kob::ChunkInfo& c : chunks) {
      std::printf("%12llu %12lld %12llu %8u %10u\n",
                  static_cast<unsigned long long>(c.number),
                  static_cast<long long>(c.fileOffset),
                  static_cast<unsigned long long>(c.position), c.payloadSize,
                  c.dataSize);
    }
  }
  return Outcome();
}

// The index takes the packed file's owner, group and times; nobody but its
// owner may write it, or readers would not trust it. One there already is
// replaced.
Outcome writeIndexBeside(const std::string& path, int packedFd) {
  struct stat info;
  if (fstat(packedFd, &info) != 0) {
    return Outcome::failed(path, "cannot read", errno);
  }
  const std::string indexPath = kob::indexPathFor(path);
  OutputFile index(indexPath);
  if (OutputError problem = index.create()) {
    return Outcome::failed(indexPath, problem.action, problem.error);
  }
  std::FILE* out = index.stream();
  if (out == nullptr) return Outcome::failed(indexPath, "cannot create", errno);
  const kob::ScanReport scan = kob::writeIndex(packedFd, out);
  if (scan.failure.damage == kob::Damage::NotPacked) {
    return Outcome::failed(path, "not a packed file; not indexed");
  }
  if (scan.failure.failed()) {
    return Outcome::failed(path, scan.failure.describe() +
                                     (scan.failure.isDamage() ? "; not indexed"
                                                              : ""));
  }
  struct stat kept = info;
  kept.st_mode &= ~static_cast<mode_t>(S_IWGRP | S_IWOTH);
  if (OutputError problem = index.commit(&kept, true)) {
    return Outcome::failed(indexPath, problem.action, problem.error);
  }
  return Outcome();
}

}  // namespace kobtool
