// SPDX-License-Identifier: GPL-2.0-or-later
//
// Unpacking: a packed input read through KobFile, whole or a range of its
// data, into a file or standard output.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "inputs.h"
#include "kob.h"
#include "kob_names.h"
#include "kob_index.h"
#include "kob_recover.h"
#include "kob_scan.h"
#include "modes.h"
#include "outputs.h"
#include "progress.h"

namespace kobtool {
namespace {

constexpr const char* kSuffix = ".kob";

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Where the data of `name` goes: "" for standard output; nullopt when it is
// skipped, with `outcome` saying why.
std::optional<std::string> unpackedPath(const Options& options,
                                        const std::string& name,
                                        Outcome& outcome) {
  if (!options.output.empty()) return options.output;
  if (options.toStdout || name == kStandardStream || options.hasRange()) {
    return std::string();
  }
  if (kob::isRemote(name)) {
    // As wget and curl -O do: the last segment of the URL's path, here.
    const std::string shown = kob::displayName(name);
    const std::string last = kob::lastSegment(name);
    if (!endsWith(last, kSuffix) || last.size() == std::strlen(kSuffix) ||
        last.find_first_of("/\\") != std::string::npos || last == ".." ||
        kob::displayName(last) != last) {
      outcome = Outcome::skipped(
          shown, "no name ending in .kob in the URL; skipped (use -o or -c)");
      return std::nullopt;
    }
    return last.substr(0, last.size() - std::strlen(kSuffix));
  }
  if (!endsWith(name, kSuffix)) {
    outcome = Outcome::skipped(name, "no .kob suffix; skipped (use -o or -c)");
    return std::nullopt;
  }
  std::string path = name.substr(0, name.size() - std::strlen(kSuffix));
  if (path.empty() || path.back() == '/') {
    outcome = Outcome::skipped(
        name, "nothing before the .kob suffix; skipped (use -o or -c)");
    return std::nullopt;
  }
  return path;
}

// Opens `input`, handing its descriptor over, as packed data; with -f a
// file that is not packed is read as it is, to be passed through.
Outcome openPacked(const Options& options, KobFile& file, Input& input) {
  if (!options.indexFile.empty()) file.setIndexFile(options.indexFile.c_str());
  errno = 0;
  if (!file.open(std::move(input.file))) {
    return Outcome::failed(input.shown(), "cannot read", errno);
  }
  if (!file.isCompressed() && !options.force) {
    return Outcome::failed(input.shown(), "not a packed file");
  }
  if (file.hasError()) return Outcome::failed(input.shown(), file.failure());
  return Outcome();
}

// Copies up to `limit` bytes of `file`'s data from where it stands to
// `out`, counting them in `done`.
Outcome copyData(KobFile& file, std::FILE* out, std::uint64_t limit,
                 const Input& input, const Destination& destination,
                 ProgressMeter& meter, std::uint64_t& done) {
  static unsigned char block[1 << 16];
  while (done < limit) {
    const auto wanted = static_cast<unsigned int>(
        std::min<std::uint64_t>(sizeof block, limit - done));
    const int got = file.read(block, wanted);
    if (got > 0 &&
        std::fwrite(block, 1, got, out) != static_cast<std::size_t>(got)) {
      return destination.writeFailed(errno);
    }
    done += got > 0 ? got : 0;
    meter.update(done);
    if (got < static_cast<int>(wanted)) break;
  }
  if (file.hasError()) return Outcome::failed(input.shown(), file.failure());
  return Outcome();
}

// Unpacks the whole of the packed `input` into `out` through the library's
// one walk, decompressing on -T threads; the same bytes and the same
// failure at any count.
Outcome unpackWhole(const Options& options, Input& input, std::FILE* out,
                    const Destination& destination, ProgressMeter& meter,
                    std::uint64_t& done) {
  kob::ScanOptions walk;
  walk.decompress = true;
  walk.threads = options.threads;
  walk.index = options.indexChoice();
  walk.onData = [&](const unsigned char* data, std::size_t size) {
    if (std::fwrite(data, 1, size, out) != size) {
      return kob::Failure::ofError(errno != 0 ? errno : EIO,
                                   kob::Failure::Action::Writing);
    }
    done += size;
    meter.update(done);
    return kob::Failure();
  };
  const kob::ScanReport report = kob::scanPacked(std::move(input.file), walk);
  if (report.failure.ok()) return Outcome();
  if (report.failure.action == kob::Failure::Action::Writing) {
    return destination.writeFailed(report.failure.error);
  }
  return Outcome::failed(input.shown(), report.failure);
}

}  // namespace

Outcome unpack(const Options& options, const std::string& name) {
  Outcome outcome;
  const std::optional<std::string> path = unpackedPath(options, name, outcome);
  if (!path) return outcome;
  OpenedInput opened = openInput(options, name);
  if (!opened.input) return opened.outcome;
  Input& input = *opened.input;
  outcome = path->empty() ? checkNotStandardOutput(input)
                          : checkOutputPath(options, input, *path);
  if (outcome.ok()) outcome = checkNotATerminal(options, input);
  if (!outcome.ok()) return outcome;
  // Kept to tell an index of this file from anything else of its name.
  const kob::UniqueFd packed(
      input.descriptor() >= 0 ? fcntl(input.descriptor(), F_DUPFD_CLOEXEC, 0)
                              : -1);
  // The whole of a packed file goes through the walk, on -T threads; a
  // range, or data that is not packed (-f), through KobFile.
  const bool whole = input.file.ok() && input.file.packed() && !options.hasRange();
  KobFile file;
  std::uint64_t limit = options.size.value_or(UINT64_MAX);
  if (!whole) {
    if (outcome = openPacked(options, file, input); !outcome.ok()) {
      return outcome;
    }
    if (options.offset) {
      const auto offset = static_cast<std::int64_t>(*options.offset);
      if (file.seek64(offset, 0) != offset) limit = 0;  // past the end
      if (file.hasError()) return Outcome::failed(input.shown(), file.failure());
    }
  }
  Destination destination(*path);
  std::FILE* out = destination.open(outcome);
  if (!out) return outcome;
  ProgressMeter meter(options.quiet, input.shown(), options.size.value_or(0));
  std::uint64_t copied = 0;
  outcome = whole ? unpackWhole(options, input, out, destination, meter, copied)
                  : copyData(file, out, limit, input, destination, meter, copied);
  if (!outcome.ok()) return outcome;
  if (outcome = destination.commit(input, options.force); !outcome.ok()) {
    return outcome;
  }
  const bool removing = options.removeInput && input.isRegular() &&
                        !input.isStdin() && !destination.isStdout();
  outcome = removeInput(options, input, destination);
  // An index beside a packed file removed would only ever be stale; what
  // is not an index of it stays.
  if (removing && outcome.ok() && kob::isIndexOf(input.name, packed.get())) {
    unlink(kob::indexPathFor(input.name).c_str());
  }
  if (outcome.ok() && options.verbose && !options.hasRange()) {
    const std::uint64_t stored =
        input.isRegular() ? static_cast<std::uint64_t>(input.info.st_size) : 0;
    outcome += Outcome::told(
        input.shown(),
        (whole || file.isCompressed() ? savedShare(copied, stored)
                                      : "not packed") +
            (destination.isStdout() ? "" : " -- created " + *path));
  }
  return outcome;
}

Outcome recover(const Options& options, const std::string& name) {
  Outcome outcome;
  const std::optional<std::string> path = unpackedPath(options, name, outcome);
  if (!path) return outcome;
  OpenedInput opened = openInput(options, name);
  if (!opened.input) return opened.outcome;
  Input& input = *opened.input;
  outcome = path->empty() ? checkNotStandardOutput(input)
                          : checkOutputPath(options, input, *path);
  if (outcome.ok()) outcome = checkNotATerminal(options, input);
  if (!outcome.ok()) return outcome;
  Destination destination(*path);
  std::FILE* out = destination.open(outcome);
  if (!out) return outcome;
  // Each loss is said as it is met, so that the messages of many losses
  // are not held; the run then ends as failed.
  Outcome losses;
  const std::string indexPath = kob::indexPathFor(input.name);
  const auto onLoss = [&](const kob::Loss& loss) {
        std::string where = "chunk " + std::to_string(loss.chunk);
        if (loss.chunks > 1) {
          where = "chunks " + std::to_string(loss.chunk) + " to " +
                  std::to_string(loss.chunk + loss.chunks - 1);
        }
        if (loss.fileOffset >= 0) {
          where += " at offset " + std::to_string(loss.fileOffset);
        }
        const std::string from = std::to_string(loss.position);
        if (loss.kind != kob::Loss::Kind::Lost) {
          // Nothing lost, but the file is damaged there: said, the run
          // done.
          Outcome::failed(
              input.shown(),
              where + ": " +
                  (loss.kind == kob::Loss::Kind::HeaderMended
                       ? "header mended, its data taken whole from its payload"
                       : "bytes that hold no chunk passed over, nothing lost") +
                  ": " + kob::describe(loss.why.damage))
              .print();
          return;
        }
        const std::string lost =
            loss.toTheEnd ? "the data from byte " + from + " on is lost"
            : !loss.lengthKnown && loss.length == 0
                ? "data of unknown size lost at byte " + from +
                      ", none written in its place"
                : "data from byte " + from + " to " +
                      std::to_string(loss.position + loss.length) +
                      " lost, written as zeros" +
                      (loss.lengthKnown ? "" : " (its size inferred)");
        if (losses.ok()) losses = Outcome::alreadyReported();
        Outcome::failed(input.shown(),
                        where + ": " + lost + ": " + kob::describe(loss.why.damage))
            .print();
      };
  const kob::RecoveryReport report =
      kob::recoverPacked(std::move(input.file), out, onLoss,
                         options.indexChoice());
  if (report.failure.failed()) {
    if (report.failure.error == EINVAL) {
      return Outcome::failed(input.shown(), "not a packed file");
    }
    if (report.failure.error == ESPIPE) {
      return Outcome::failed(input.shown(),
                             "cannot recover from a stream: it needs a file");
    }
    return losses += report.failure.action == kob::Failure::Action::Writing
                         ? destination.writeFailed(report.failure.error)
                         : Outcome::failed(input.shown(), report.failure);
  }
  // What could be saved is kept, whatever was lost.
  outcome = destination.commit(input, options.force);
  if (outcome.ok() && options.verbose) {
    outcome += Outcome::told(
        input.shown(),
        std::to_string(report.dataWritten) + " bytes recovered, " +
            std::to_string(report.bytesLost) + " of them zeros for " +
            std::to_string(report.losses) + " lost chunks" +
            (report.usedSeal ? " (placed by its seal)"
                             : report.usedIndex ? " (placed by its index)" : "") +
            (destination.isStdout() ? "" : " -- created " + *path));
  }
  return losses += outcome;
}

}  // namespace kobtool
