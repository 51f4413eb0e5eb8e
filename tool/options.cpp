// SPDX-License-Identifier: GPL-2.0-or-later
#include "options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <climits>
#include <vector>
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
  int modes = o.decompress + o.test + o.list + o.recover;
  if (modes > 1) return "choose one of -d, -t, -l and --recover";
  if (o.hasRange() && (o.test || o.list || o.recover)) {
    return "-b and -s read a range of the data: not with -t, -l or --recover";
  }
  if (o.hasRange() && o.removeInput) return "--rm does not go with -b or -s";
  if (o.recover && o.removeInput) {
    return "--rm does not go with --recover: the damaged file is kept";
  }
  if (!o.output.empty() && o.files.size() > 1) return "-o takes a single input";
  if (!o.output.empty() && o.toStdout) return "-o and -c exclude each other";
  if (!o.output.empty() && (o.test || o.list)) {
    return "-o does not go with -t or -l";
  }
  if (o.index && (modes > 0 || o.toStdout)) {
    return "-i indexes packed files: not with -d, -t, -l, --recover or -c";
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
    "-l always read them); -f also writes packed data to a terminal, reads it\n"
    "from one, and with -d passes data that is not packed through as it is.\n"
    "-c with several inputs packs them, one after another, into one packed\n"
    "stream. -b and -s imply -d.\n"
    "A FILE that starts with http:// or https:// is a URL: -d, -t, -l and\n"
    "--recover read it with ranged requests (and its index from URL.kbi when\n"
    "the server has one); -d writes the last segment of its path, less .kob, in\n"
    "the current directory (as wget does). Messages show a URL without its\n"
    "credentials and query. ./http:x names a local file.\n"
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
    "  kob -b 1000 -s 200 x.kob        bytes 1000 to 1199 to standard output\n"
    "  kob -b 1M -s 80 https://host/x.kob  80 bytes from a web server\n"
    "  kob -T 0 -B 32k big.data        pack on every core, in 32 KiB chunks\n"
    "  kob -1 big.data                 pack fast (LZO1X-1), a little larger\n"
    "  kob --recover broken.kob        save every intact chunk into broken\n"
    "  kobcat x.kob | less             unpack to standard output (kob -dc)\n"
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

namespace {

// The flags that take no value, which may come together as one word with
// a level among them ("-9v", "-dc", as gzip takes them).
constexpr const char* kClusterable = "dcfktlivqV";

// gzip's and lzop's levels, -1 to -9, as --level=N, which CLI11 reads; a
// word of flags with a level among them ("-9cv") is split so. Other words
// are left as they are: "-B4k" gives -B its value.
std::vector<std::string> withLevelsSpelledOut(int argc, char** argv) {
  std::vector<std::string> words;
  bool afterDoubleDash = false;
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (word == "--") afterDoubleDash = true;
    const bool cluster =
        !afterDoubleDash && word.size() >= 2 && word[0] == '-' &&
        word[1] != '-' &&
        word.find_first_not_of(std::string(kClusterable) + "123456789", 1) ==
            std::string::npos &&
        word.find_first_of("123456789") != std::string::npos;
    if (!cluster) {
      words.push_back(word);
      continue;
    }
    std::string flags = "-";
    for (char c : word.substr(1)) {
      if (c >= '1' && c <= '9') {
        words.push_back(std::string("--level=") + c);
      } else {
        flags += c;
      }
    }
    if (flags.size() > 1) words.push_back(flags);
  }
  return words;
}

}  // namespace

std::optional<Outcome> parseCommandLine(int argc, char** argv,
                                        Options& options) {
  const std::string called = argc > 0 ? argv[0] : "kob";
  const bool asKobcat =
      called.size() >= 6 && called.compare(called.size() - 6, 6, "kobcat") == 0 &&
      (called.size() == 6 || called[called.size() - 7] == '/');
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
  app.add_flag("--recover", options.recover,
               "Unpack FILE.kob into FILE, every intact chunk; lost chunks "
               "as zeros, each named on stderr");
  app.add_flag("-k,--keep", options.keep, "Keep inputs (they are kept anyway)");
  app.add_option("--level", options.level,
                 "Compression level: -1 (--fast, LZO1X-1) to -9 (--best, "
                 "LZO1X-999); 8")
      ->check(CLI::Range(kob::kFastestLevel, kob::kBestLevel))
      ->option_text("N");
  bool fast = false;
  bool best = false;
  app.add_flag("--fast", fast, "Compress fastest: -1");
  app.add_flag("--best", best, "Compress smallest: -9");
  app.add_flag("-v,--verbose", options.verbose,
               "Say what was done with each file, on stderr");
  app.add_flag("-q,--quiet", options.quiet, "No progress meter");
  app.set_version_flag("-V,--version", std::string("kob ") + kob::version());
  std::vector<std::string> words = withLevelsSpelledOut(argc, argv);
  std::reverse(words.begin(), words.end());  // CLI11 takes them so
  try {
    app.parse(words);
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
  if (fast) options.level = kob::kFastestLevel;
  if (best) options.level = kob::kBestLevel;
  if (asKobcat) {
    options.decompress = !options.test && !options.list && !options.recover;
    options.toStdout = true;
  }
  // A range is of the data: it needs no -d.
  if (options.hasRange() && !options.test && !options.list &&
      !options.recover) {
    options.decompress = true;
  }
  if (problem.empty()) problem = conflicts(options);
  if (!problem.empty()) return usageError(problem);
  if (options.files.empty()) options.files.push_back(kStandardStream);
  return std::nullopt;
}

}  // namespace kobtool
