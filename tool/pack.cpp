// SPDX-License-Identifier: GPL-2.0-or-later
//
// Packing: inputs read one after another into a kob::Packer.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "inputs.h"
#include "kob_names.h"
#include "kob_packer.h"
#include "modes.h"
#include "outputs.h"
#include "progress.h"

namespace kobtool {
namespace {

constexpr const char* kSuffix = ".kob";
// Bytes read from the input at a time.
constexpr std::size_t kBlockSize = 64 * 1024;

// Threads beyond the input's chunks, or beyond the cores, would have nothing
// to do, and each holds memory: two chunks and the compressor's work area.
unsigned threadsFor(const Options& options,
                    std::optional<std::uint64_t> inputSize) {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const unsigned wanted =
      std::min(cores, options.threads == 0 ? cores : options.threads);
  if (!inputSize) return wanted;
  const auto chunkSize = static_cast<std::uint64_t>(options.chunkSize);
  const std::uint64_t chunks =
      std::max<std::uint64_t>(1, (*inputSize + chunkSize - 1) / chunkSize);
  return static_cast<unsigned>(std::min<std::uint64_t>(wanted, chunks));
}

// What a packing came to, and the bytes it took and gave.
struct Packed {
  Outcome outcome;
  std::uint64_t in = 0;
  std::uint64_t out = 0;
};

// Packs what `inputs` reads into `out`, the stream of `destination`.
Packed packSequence(const Options& options, InputSequence& inputs,
                    std::optional<std::uint64_t> inputSize,
                    const std::string& meterName,
                    const Destination& destination, std::FILE* out) {
  kob::PackOptions settings;
  settings.chunkSize = options.chunkSize;
  settings.threads = threadsFor(options, inputSize);
  settings.level = options.level;
  settings.seal = options.sealsWhenPacking();
  ProgressMeter meter(options.quiet, meterName, inputSize.value_or(0));
  try {
    kob::Packer packer(out, settings);
    std::vector<unsigned char> block(kBlockSize);
    kob::Failure written;
    for (;;) {
      const long got = inputs.read(block.data(), block.size());
      if (got < 0) return {inputs.outcome()};
      if (got == 0) break;
      written = packer.write(block.data(), static_cast<std::size_t>(got));
      if (written.failed()) break;
      meter.update(packer.bytesTaken());
    }
    if (written.ok()) written = packer.finish();
    Outcome outcome = inputs.outcome();
    if (written.failed()) outcome += destination.writeFailed(written.error);
    return {outcome, packer.bytesTaken(), packer.bytesWritten()};
  } catch (const std::bad_alloc&) {
    return {Outcome::failed(meterName, "cannot pack", ENOMEM)};
  } catch (const std::system_error&) {
    return {Outcome::failed(meterName, "cannot pack: no thread could start")};
  }
}

}  // namespace

Outcome packToFile(const Options& options, const std::string& name) {
  // Nothing can be written beside an object elsewhere: said before it is
  // asked for.
  if (kob::isRemote(name) && options.output.empty()) {
    const std::string shown = kob::displayName(name);
    if (options.index) {
      return Outcome::failed(
          shown,
          "a URL cannot be indexed in place: download it, index the copy "
          "(kob --index FILE.kob), and put FILE.kob.kbi beside the URL on "
          "its server or name it with --index-file");
    }
    return Outcome::failed(shown,
                           "a URL is not packed in place: use -c or -o PATH");
  }
  OpenedInput opened = openInput(options, name);
  if (!opened.input) return opened.outcome;
  Input& input = *opened.input;
  if (options.output.empty() && input.isRegular() && input.file.packed()) {
    if (options.index) return writeIndexFor(options, name, input.descriptor());
    return Outcome::skipped(
        name, "already packed; skipped (use -o or -c to pack it again)");
  }
  const std::string path =
      options.output.empty() ? name + kSuffix : options.output;
  if (Outcome allowed = checkOutputPath(options, input, path); !allowed.ok()) {
    // Asked to pack and index a file packed already: how to index that.
    if (options.index && options.output.empty() && allowed.status() == kSkipped) {
      return Outcome::skipped(path, "already exists; skipped (use -f to "
                                    "overwrite it, or kob --index " +
                                        kob::displayName(path) +
                                        " to index it)");
    }
    return allowed;
  }
  Destination destination(path);
  Outcome outcome;
  std::FILE* out = destination.open(outcome);
  if (!out) return outcome;
  InputSequence inputs(options, input);
  const Packed packed = packSequence(options, inputs, input.knownSize(),
                                     input.shown(), destination, out);
  outcome += packed.outcome;
  if (!outcome.ok()) return outcome;
  // The index describes the file as it stands once in place: read back
  // through a descriptor of its own, never by its name again.
  const kob::UniqueFd written = destination.readBack();
  outcome += destination.commit(input, options.force);
  if (outcome.ok() && options.index) {
    outcome += writeIndexFor(options, path, written.get());
  }
  if (outcome.ok()) outcome += removeInput(options, input, destination);
  if (outcome.ok() && options.verbose) {
    outcome += Outcome::told(input.shown(), savedShare(packed.in, packed.out) +
                                                " -- created " + path);
  }
  return outcome;
}

namespace {

// The total size of `names` when every one is a regular file.
std::optional<std::uint64_t> totalSize(const std::vector<std::string>& names) {
  std::uint64_t total = 0;
  for (const std::string& name : names) {
    struct stat info;
    if (name == kStandardStream || stat(name.c_str(), &info) != 0 ||
        !S_ISREG(info.st_mode)) {
      return std::nullopt;
    }
    total += static_cast<std::uint64_t>(info.st_size);
  }
  return total;
}

}  // namespace

Outcome packToStdout(const Options& options,
                     const std::vector<std::string>& names) {
  if (!options.force && isatty(STDOUT_FILENO)) {
    return Outcome::failed(
        kStdoutName, "refusing to write packed data to a terminal (use -f)");
  }
  // Nothing is written unless one of them opens.
  Outcome outcome;
  std::optional<Input> first;
  std::size_t next = 0;
  while (!first && next < names.size()) {
    OpenedInput opened = openInput(options, names[next++]);
    if (opened.input) opened.outcome = checkNotStandardOutput(*opened.input);
    outcome += opened.outcome;
    if (opened.input && opened.outcome.ok()) first = std::move(opened.input);
  }
  if (!first) return outcome;
  const std::string shown = names.size() == 1 ? first->shown() : "(inputs)";
  InputSequence inputs(options, *first);
  for (; next < names.size(); ++next) inputs.append(names[next]);
  const Destination destination("");
  const Packed packed = packSequence(options, inputs, totalSize(names), shown,
                                     destination, stdout);
  outcome += packed.outcome;
  if (outcome.status() != kFailed && options.verbose) {
    outcome += Outcome::told(shown, savedShare(packed.in, packed.out));
  }
  return outcome;
}

}  // namespace kobtool
