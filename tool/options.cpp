// SPDX-License-Identifier: GPL-2.0-or-later
#include "options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>

#include "kob_version.h"

namespace kobtool {
namespace {

constexpr unsigned kMostThreads = 1024;

Outcome usageError(const std::string& what) {
  return Outcome::usage(what + " (kob --help lists the options)");
}

// A numeric option as given on the command line, and its limits.
struct CountOption {
  const char* flag;
  std::uint64_t lowest;
  std::uint64_t highest;
  std::string text;
  CLI::Option* given = nullptr;

  // The value, or a message naming the option.
  std::optional<std::uint64_t> read(std::string& problem) const {
    const std::optional<std::uint64_t> value = parseCount(text);
    if (!value) {
      problem = std::string(flag) + ": '" + text +
                "' is not a decimal number (with an optional k, M or G)";
    } else if (*value < lowest || *value > highest) {
      problem = std::string(flag) + ": " + text + " is out of range (" +
                std::to_string(lowest) + " to " + std::to_string(highest) + ")";
    }
    return problem.empty() ? value : std::nullopt;
  }
};

// Checks combinations CLI11 cannot; returns an error message or "".
std::string conflicts(const Options& o) {
  int modes = o.decompress + o.test + o.list;
  if (modes > 1) return "choose one of -d, -t and -l";
  if (o.hasRange() && !o.decompress) return "-b and -s need -d";
  if (o.hasRange() && o.removeInput) return "--rm does not go with -b or -s";
  if (!o.output.empty() && o.files.size() > 1) return "-o takes a single input";
  if (!o.output.empty() && o.toStdout) return "-o and -c exclude each other";
  if (!o.output.empty() && (o.test || o.list)) {
    return "-o does not go with -t or -l";
  }
  if (o.index && (modes > 0 || o.toStdout)) {
    return "-i indexes packed files: not with -d, -t, -l or -c";
  }
  if (o.index && (o.files.empty() ||
                  std::find(o.files.begin(), o.files.end(),
                            std::string(kStandardStream)) != o.files.end())) {
    return "-i needs a named file: standard input has nowhere to keep an index";
  }
  return "";
}

constexpr const char* kDescription =
    "Packs files into chunks of 16 KiB compressed with LZO1X-999, which\n"
    "KobFile reads back with random access. With no FILE, or when FILE is -,\n"
    "reads standard input and writes standard output.";

constexpr const char* kFooter =
    "Numbers are decimal; they may end in k, M or G (1024, 1024^2, 1024^3).\n"
    "Symbolic links, FIFOs and devices are read only with -f or -c (-t and\n"
    "-l always read them); -f also writes packed data to a terminal. -c with\n"
    "several inputs packs them, one after another, into one packed stream.\n"
    "\n"
    "Examples:\n"
    "  kob dictionary.data             pack into dictionary.data.kob\n"
    "  kob -d dictionary.data.kob      unpack into dictionary.data\n"
    "  kob -c a b > ab.kob             pack a then b as one packed file\n"
    "  kob -o out.kob < data           pack standard input into out.kob\n"
    "  kob -t -v *.kob                 check packed files\n"
    "  kob -l dictionary.data.kob      sizes, ratio, chunks, index\n"
    "  kob -i dictionary.data          pack, and write its index\n"
    "  kob --index x.kob               index a packed file\n"
    "  kob -d -b 1000 -s 200 x.kob     bytes 1000 to 1199 to standard output\n"
    "  kob -T 0 -B 32k big.data        pack on every core, in 32 KiB chunks\n"
    "\n"
    "Exit status: 0 success, 1 error, 2 an input skipped with a warning.\n"
    "See kob(1).";

}  // namespace

std::optional<std::uint64_t> parseCount(const std::string& text) {
  std::size_t digits = 0;
  std::uint64_t value = 0;
  for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9';
       ++digits) {
    const unsigned digit = static_cast<unsigned>(text[digits] - '0');
    value = value > (UINT64_MAX - digit) / 10 ? UINT64_MAX : value * 10 + digit;
  }
  if (digits == 0) return std::nullopt;
  const std::string suffix = text.substr(digits);
  unsigned shift = 0;
  if (suffix == "k" || suffix == "K") {
    shift = 10;
  } else if (suffix == "M") {
    shift = 20;
  } else if (suffix == "G") {
    shift = 30;
  } else if (!suffix.empty()) {
    return std::nullopt;
  }
  return value > (UINT64_MAX >> shift) ? UINT64_MAX : value << shift;
}

std::optional<Outcome> parseCommandLine(int argc, char** argv,
                                        Options& options) {
  CLI::App app(kDescription, "kob");
  app.footer(kFooter);
  CountOption offset{"-b", 0, INT64_MAX, "", nullptr};
  CountOption size{"-s", 0, INT64_MAX, "", nullptr};
  CountOption chunkSize{"-B", 1, 65535, "", nullptr};
  CountOption threads{"-T", 0, kMostThreads, "", nullptr};
  app.add_option("FILE", options.files, "Files to work on");
  app.add_flag("-d,--decompress", options.decompress,
               "Unpack FILE.kob into FILE");
  app.add_flag("-c,--stdout", options.toStdout,
               "Write to standard output; keep inputs");
  app.add_option("-o,--output", options.output,
                 "Write to PATH (one input, or standard input)")
      ->option_text("PATH");
  app.add_flag("-f,--force", options.force,
               "Overwrite outputs; read links, FIFOs, devices");
  app.add_flag("--rm", options.removeInput, "Remove each input after success");
  app.add_flag("-t,--test", options.test, "Check packed files");
  app.add_flag("-l,--list", options.list,
               "List packed files (-v: every chunk)");
  app.add_flag("-i,--index", options.index,
               "Write FILE.kob.kbi, an index for fast random access: of each "
               "packed FILE, or of each output packed");
  offset.given = app.add_option("-b,--offset", offset.text,
                                "With -d: start the output at byte N of the "
                                "data")
                     ->option_text("N");
  size.given =
      app.add_option("-s,--size", size.text, "With -d: write at most N bytes")
          ->option_text("N");
  chunkSize.given = app.add_option("-B,--chunk-size", chunkSize.text,
                                   "Bytes of data a chunk, 1 to 65535 "
                                   "(16384)")
                        ->option_text("N");
  threads.given = app.add_option("-T,--threads", threads.text,
                                 "Compress on up to N threads (0: one per "
                                 "core; 1)")
                      ->option_text("N");
  app.add_flag("-v,--verbose", options.verbose, "Say more");
  app.add_flag("-q,--quiet", options.quiet, "No progress meter");
  app.set_version_flag("-V,--version", std::string("kob ") + kob::version());
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {
      app.exit(e);
      return Outcome();
    }
    return usageError(e.what());
  }
  std::string problem;
  auto value = [&problem](const CountOption& option) {
    return option.given->count() > 0 && problem.empty() ? option.read(problem)
                                                        : std::nullopt;
  };
  options.offset = value(offset);
  options.size = value(size);
  options.chunkSize = static_cast<int>(value(chunkSize).value_or(kob::kDefaultChunkSize));
  options.threads = static_cast<unsigned>(value(threads).value_or(1));
  if (problem.empty()) problem = conflicts(options);
  if (!problem.empty()) return usageError(problem);
  if (options.files.empty()) options.files.push_back(kStandardStream);
  return std::nullopt;
}

}  // namespace kobtool
