// SPDX-License-Identifier: GPL-2.0-or-later
#include "options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "help_text.h"
#include "kob_names.h"
#include "kob_version.h"

namespace kobtool {
namespace {

constexpr unsigned kMostThreads = 1024;

Outcome usageError(const std::string& what) {
  return Outcome::usage(what + " (kob --help lists the options)");
}

// What each option does to Options.
enum class Act {
  Decompress, Stdout, Output, Force, RemoveInput, Test, List, Json, Index,
  IndexFile, CaCert, Offset, Size, ChunkSize, Threads, Recover, Seal, NoSeal,
  Keep, Level, Fast, Best, Verbose, Quiet, Version, Help
};

// An option: its letter ('\0': none), its long name, what its value is
// called (nullptr: it takes none), its line in --help.
struct OptionEntry {
  char letter;
  const char* name;
  const char* value;
  const char* help;
  Act act;
};

// In the order --help lists them; man/kob.1 lists the same (a test keeps
// them equal), and so does completion/kob.bash.
constexpr OptionEntry kOptions[] = {
    {'d', "decompress", nullptr, "Unpack FILE.kob into FILE", Act::Decompress},
    {'c', "stdout", nullptr, "Write to standard output; keep inputs",
     Act::Stdout},
    {'o', "output", "PATH", "Write to PATH (one input, or standard input)",
     Act::Output},
    {'f', "force", nullptr, "Overwrite outputs; read links, FIFOs, devices",
     Act::Force},
    {'\0', "rm", nullptr, "Remove each input after success",
     Act::RemoveInput},
    {'t', "test", nullptr, "Check packed files", Act::Test},
    {'l', "list", nullptr,
     "List packed files: sizes, space saved, chunks, index (-v: every chunk)",
     Act::List},
    {'\0', "json", nullptr,
     "With -l: one JSON object a file, a line each", Act::Json},
    {'i', "index", nullptr,
     "Write FILE.kob.kbi, an index for fast random access: of each packed "
     "FILE, or of each output packed",
     Act::Index},
    {'\0', "index-file", "PATH",
     "The index is PATH, not FILE.kob.kbi: written there with -i, read from "
     "there by the other modes (one input)",
     Act::IndexFile},
    {'\0', "cacert", "FILE",
     "Trust the certificate authorities in FILE (PEM) for https, beside the "
     "system's, as curl --cacert (else CURL_CA_BUNDLE or SSL_CERT_FILE)",
     Act::CaCert},
    {'b', "offset", "N", "With -d: start the output at byte N of the data",
     Act::Offset},
    {'s', "size", "N", "With -d: write at most N bytes", Act::Size},
    {'B', "chunk-size", "N", "Bytes of data a chunk, 1 to 65535 (16384)",
     Act::ChunkSize},
    {'T', "threads", "N", "Compress, or with -d and -t decompress, on up to N threads (0: one per core; 1)",
     Act::Threads},
    {'\0', "recover", nullptr,
     "Unpack FILE.kob into FILE, every intact chunk; lost chunks as zeros, "
     "each named on stderr",
     Act::Recover},
    {'\0', "seal", nullptr,
     "Seal each packed FILE.kob in place (or to -c, -o): its chunks copied "
     "and checked, and a trailer that checks every byte added",
     Act::Seal},
    {'\0', "no-seal", nullptr,
     "Pack without the seal: the plain format, as KobFile and kobpack write "
     "it (-i packs so too)",
     Act::NoSeal},
    {'k', "keep", nullptr, "Keep inputs (they are kept anyway)", Act::Keep},
    {'\0', "level", "N",
     "Compression level: -1 (--fast, LZO1X-1) to -9 (--best, LZO1X-999); 8",
     Act::Level},
    {'\0', "fast", nullptr, "Compress fastest: -1", Act::Fast},
    {'\0', "best", nullptr, "Compress smallest: -9", Act::Best},
    {'v', "verbose", nullptr, "Say what was done with each file, on stderr",
     Act::Verbose},
    {'q', "quiet", nullptr, "No progress meter", Act::Quiet},
    {'V', "version", nullptr, "Display program version information and exit",
     Act::Version},
    {'h', "help", nullptr, "Print this help message and exit", Act::Help},
};

const OptionEntry* byLetter(char letter) {
  for (const OptionEntry& entry : kOptions) {
    if (letter != '\0' && entry.letter == letter) return &entry;
  }
  return nullptr;
}

const OptionEntry* byName(const std::string& name) {
  for (const OptionEntry& entry : kOptions) {
    if (name == entry.name) return &entry;
  }
  return nullptr;
}

// A word as a shell would take it back: control characters escaped, and
// quoted when empty or holding what a shell would split or expand.
std::string asTyped(const std::string& word) {
  std::string shown = kob::isRemote(word) ? kob::displayName(word) : "";
  if (shown.empty()) {
    for (unsigned char c : word) {
      if (c < 0x20 || c == 0x7f) {
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\x%02x", c);
        shown += escape;
      } else {
        shown += static_cast<char>(c);
      }
    }
  }
  if (!shown.empty() &&
      shown.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRS"
                              "TUVWXYZ0123456789-_=+.,/:@%") ==
          std::string::npos) {
    return shown;
  }
  std::string quoted = "'";
  for (char c : shown) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// A count option's limits, and what its values are called in a message.
struct CountLimits {
  std::uint64_t lowest;
  std::uint64_t highest;
  const char* what;  // "chunk sizes are"
};

CountLimits limitsOf(Act act) {
  switch (act) {
    case Act::Offset:
      return {0, INT64_MAX, "offsets are"};
    case Act::Size:
      return {0, INT64_MAX, "sizes are"};
    case Act::ChunkSize:
      return {1, 65535, "chunk sizes are"};
    default:
      return {0, kMostThreads, "threads are 0 (one per core) to"};
  }
}

// Reads the value `text` of a count option typed as `typed`.
std::optional<std::uint64_t> readCount(Act act, const std::string& text,
                                       const std::string& typed,
                                       std::string& problem) {
  const CountLimits limits = limitsOf(act);
  const std::optional<std::uint64_t> value = parseCount(text);
  if (!value) {
    problem = typed +
              ": not a count: a count is decimal digits, then optionally k, "
              "M or G";
    return std::nullopt;
  }
  if (*value < limits.lowest || *value > limits.highest) {
    problem = typed + ": out of range: " + limits.what + " ";
    if (act != Act::Threads) problem += std::to_string(limits.lowest) + " to ";
    problem += std::to_string(limits.highest);
    return std::nullopt;
  }
  return value;
}

// Reads a level, typed as `typed`: 1 to 9, given as -N or as --level N.
bool readLevel(const std::string& text, const std::string& typed,
               bool asOption, Options& options, std::string& problem) {
  const char* levels = asOption ? "levels are 1 (fastest) to 9 (smallest)"
                                : "levels are -1 (fastest) to -9 (smallest)";
  const std::optional<std::uint64_t> value = parseCount(text);
  if (text.find_first_not_of("0123456789") != std::string::npos || !value) {
    problem = typed + ": not a level: " + levels;
  } else if (*value < static_cast<std::uint64_t>(kob::kFastestLevel) ||
             *value > static_cast<std::uint64_t>(kob::kBestLevel)) {
    problem = typed + ": no such level: " + levels;
  } else {
    options.level = static_cast<int>(*value);
  }
  return problem.empty();
}

// What the parse met besides Options.
struct Parsed {
  bool help = false;
  bool version = false;
};

// Applies `entry` (with `value`, typed as `typed`) to `options`; false with
// `problem` set when the value is not one it takes.
bool apply(const OptionEntry& entry, const std::string& value,
           const std::string& typed, Options& options, Parsed& parsed,
           std::string& problem) {
  std::optional<std::uint64_t> count;
  switch (entry.act) {
    case Act::Decompress: options.decompress = true; break;
    case Act::Stdout: options.toStdout = true; break;
    case Act::Force: options.force = true; break;
    case Act::RemoveInput: options.removeInput = true; break;
    case Act::Test: options.test = true; break;
    case Act::List: options.list = true; break;
    case Act::Json: options.json = true; break;
    case Act::Index: options.index = true; break;
    case Act::Recover: options.recover = true; break;
    case Act::Seal: options.sealExisting = true; break;
    case Act::NoSeal: options.seal = false; break;
    case Act::Keep: options.keep = true; break;
    case Act::Fast: options.level = kob::kFastestLevel; break;
    case Act::Best: options.level = kob::kBestLevel; break;
    case Act::Verbose: options.verbose = true; break;
    case Act::Quiet: options.quiet = true; break;
    case Act::Version: parsed.version = true; break;
    case Act::Help: parsed.help = true; break;
    case Act::Level: return readLevel(value, typed, true, options, problem);
    case Act::Output:
    case Act::IndexFile:
    case Act::CaCert:
      if (value.empty()) {
        problem = typed + ": an empty name";
        return false;
      }
      (entry.act == Act::Output      ? options.output
       : entry.act == Act::IndexFile ? options.indexFile
                                     : options.caFile) = value;
      break;
    case Act::Offset:
    case Act::Size:
    case Act::ChunkSize:
    case Act::Threads:
      count = readCount(entry.act, value, typed, problem);
      if (!count) return false;
      if (entry.act == Act::Offset) options.offset = *count;
      if (entry.act == Act::Size) options.size = *count;
      if (entry.act == Act::ChunkSize) options.chunkSize = static_cast<int>(*count);
      if (entry.act == Act::Threads) options.threads = static_cast<unsigned>(*count);
      break;
  }
  return true;
}

// Reads the words of the command line into `options`; "" or what is wrong
// with them. Stops at help or the version.
std::string readWords(int argc, char** argv, Options& options,
                      Parsed& parsed) {
  std::string problem;
  bool optionsEnded = false;
  auto spelled = [](const OptionEntry& entry, bool byItsLetter) {
    return byItsLetter ? std::string("-") + entry.letter
                       : std::string("--") + entry.name;
  };
  for (int i = 1; i < argc && !parsed.help && !parsed.version; ++i) {
    const std::string word = argv[i];
    if (optionsEnded || word.size() < 2 || word[0] != '-') {
      options.files.push_back(word);
      continue;
    }
    // The value of an option that takes one, from the rest of its word or
    // the next word; `typed` says how it came.
    auto valueOf = [&](const OptionEntry& entry, const std::string& attached,
                       bool hasAttached, std::string& value,
                       std::string& typed) {
      const bool byItsLetter = word[1] != '-';
      if (hasAttached) {
        value = attached;
        typed = asTyped(word);
      } else if (i + 1 < argc) {
        value = argv[++i];
        typed = asTyped(word) + " " + asTyped(value);
      } else {
        problem = asTyped(word) + ": needs a value: " +
                  spelled(entry, byItsLetter) + " " + entry.value;
        return false;
      }
      return true;
    };
    if (word == "--") {
      optionsEnded = true;
    } else if (word[1] == '-') {
      const std::size_t equals = word.find('=');
      const std::string name = word.substr(2, equals - 2);
      const OptionEntry* entry = byName(name);
      if (entry == nullptr) return asTyped(word) + ": unknown option";
      std::string value;
      std::string typed = asTyped(word);
      if (entry->value == nullptr && equals != std::string::npos) {
        return typed + ": --" + name + " takes no value";
      }
      if (entry->value != nullptr &&
          !valueOf(*entry, equals == std::string::npos ? "" : word.substr(equals + 1),
                   equals != std::string::npos, value, typed)) {
        return problem;
      }
      if (!apply(*entry, value, typed, options, parsed, problem)) return problem;
    } else {
      // A cluster of letters, and levels among them.
      for (std::size_t at = 1; at < word.size() && !parsed.help &&
                               !parsed.version; ++at) {
        const char letter = word[at];
        if (letter >= '0' && letter <= '9') {
          const std::size_t end = word.find_first_not_of("0123456789", at);
          const std::string digits = word.substr(at, end - at);
          if (!readLevel(digits, asTyped(word), false, options, problem)) {
            return problem;
          }
          at += digits.size() - 1;
          continue;
        }
        const OptionEntry* entry = byLetter(letter);
        if (entry == nullptr) {
          return asTyped(word) + ": unknown option" +
                 (word.size() > 2 ? std::string(" -") + asTyped(std::string(1, letter))
                                  : std::string());
        }
        std::string value;
        std::string typed = asTyped(word);
        if (entry->value != nullptr) {
          const std::string rest = word.substr(at + 1);
          if (!valueOf(*entry, rest, !rest.empty(), value, typed)) return problem;
          at = word.size();
        }
        if (!apply(*entry, value, typed, options, parsed, problem)) {
          return problem;
        }
      }
    }
  }
  return "";
}

// Checks combinations that no single word shows; returns an error message
// or "".
std::string conflicts(const Options& o) {
  int modes = o.decompress + o.test + o.list + o.recover + o.sealExisting;
  if (modes > 1) return "choose one of -d, -t, -l, --recover and --seal";
  if (o.hasRange() && (o.test || o.list || o.recover || o.sealExisting)) {
    return "-b and -s read a range of the data: not with -t, -l, --recover or "
           "--seal";
  }
  if (o.hasRange() && o.removeInput) return "--rm does not go with -b or -s";
  if (o.recover && o.removeInput) {
    return "--rm does not go with --recover: the damaged file is kept";
  }
  if (o.sealExisting && o.removeInput) {
    return "--rm does not go with --seal: a file sealed in place is replaced";
  }
  if (!o.seal && !o.packing()) {
    return "--no-seal is for packing: -d, -t, -l and --recover read both kinds";
  }
  if (!o.output.empty() && o.files.size() > 1) return "-o takes a single input";
  if (!o.output.empty() && o.toStdout) return "-o and -c exclude each other";
  if (!o.output.empty() && (o.test || o.list)) {
    return "-o does not go with -t or -l";
  }
  if (o.json && !o.list) return "--json is a form of -l's listing: add -l";
  if (o.index && (modes > 0 || o.toStdout)) {
    return "-i indexes packed files: not with -d, -t, -l, --recover, --seal "
           "or -c";
  }
  if (o.index && (o.files.empty() ||
                  std::find(o.files.begin(), o.files.end(),
                            std::string(kStandardStream)) != o.files.end())) {
    return "-i needs a named file: standard input has nowhere to keep an index";
  }
  if (!o.indexFile.empty() && o.packing() && !o.index) {
    return "--index-file names the index to write with -i, or to read with "
           "-d, -t, -l, -b, -s or --recover";
  }
  if (!o.indexFile.empty() && o.sealExisting) {
    return "--index-file does not go with --seal: a sealed file needs no index";
  }
  if (!o.indexFile.empty() && o.files.size() > 1) {
    return "--index-file names the index of one packed file: give one input";
  }
  return "";
}

// The help, laid out by CLI11 from the table.
std::string helpText() {
  CLI::App app(kDescription, "kob");
  app.footer(kFooter);
  app.set_help_flag();
  std::vector<std::string> files;
  app.add_option("FILE", files, "Files to work on");
  bool flag = false;
  std::string value;
  for (const OptionEntry& entry : kOptions) {
    const std::string names =
        (entry.letter != '\0' ? std::string("-") + entry.letter + "," : "") +
        "--" + entry.name;
    if (entry.value == nullptr) {
      app.add_flag(names, flag, entry.help);
    } else {
      app.add_option(names, value, entry.help)->option_text(entry.value);
    }
  }
  return app.help();
}

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
  const std::string called = argc > 0 ? argv[0] : "kob";
  const bool asKobcat =
      called.size() >= 6 && called.compare(called.size() - 6, 6, "kobcat") == 0 &&
      (called.size() == 6 || called[called.size() - 7] == '/');
  Parsed parsed;
  std::string problem = readWords(argc, argv, options, parsed);
  if (!problem.empty()) return usageError(problem);
  if (parsed.help || parsed.version) {
    const std::string text =
        parsed.help ? helpText() : std::string("kob ") + kob::version() + "\n";
    std::fputs(text.c_str(), stdout);
    return Outcome();
  }
  if (asKobcat) {
    options.decompress = !options.test && !options.list && !options.recover &&
                         !options.sealExisting;
    options.toStdout = true;
  }
  // A range is of the data: it needs no -d.
  if (options.hasRange() && !options.test && !options.list &&
      !options.recover && !options.sealExisting) {
    options.decompress = true;
  }
  problem = conflicts(options);
  if (!problem.empty()) return usageError(problem);
  if (options.files.empty()) options.files.push_back(kStandardStream);
  return std::nullopt;
}

}  // namespace kobtool
