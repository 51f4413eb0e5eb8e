// SPDX-License-Identifier: GPL-2.0-or-later
//
// kob's command line: the options it takes, read into Options. `kob --help`
// and man/kob.1 list the same options (a test keeps them equal).

#ifndef KOB_TOOL_OPTIONS_H
#define KOB_TOOL_OPTIONS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kob_limits.h"
#include "kob_open.h"
#include "outcome.h"

namespace kobtool {

// The name that stands for standard input or output.
constexpr const char* kStandardStream = "-";

struct Options {
  std::vector<std::string> files;
  bool decompress = false;
  bool toStdout = false;
  std::string output;
  bool force = false;
  bool removeInput = false;
  bool test = false;
  bool list = false;
  bool verbose = false;
  bool quiet = false;
  bool index = false;
  // --index-file: the saved index written with -i and read by every mode
  // that reads a packed file; "" for the one beside the file (FILE.kbi).
  std::string indexFile;
  // --cacert: certificate authorities an https server may chain to (see
  // kob::OpenRules::caFile); "" for the environment's.
  std::string caFile;
  bool json = false;  // -l as JSON lines
  bool recover = false;
  // Packing writes the seal (--no-seal: the plain format); --seal seals
  // packed files.
  bool seal = true;
  bool sealExisting = false;
  bool keep = false;  // inputs are kept anyway; taken for gzip's habit
  // The compression level, 1 to 9 (-1 ... -9, --fast, --best).
  int level = kob::kDefaultLevel;
  std::optional<std::uint64_t> offset;
  std::optional<std::uint64_t> size;
  int chunkSize = kob::kDefaultChunkSize;
  unsigned threads = 1;

  // The saved index to read: --index-file, or the one beside the file.
  kob::IndexChoice indexChoice() const {
    return indexFile.empty() ? kob::IndexChoice::beside()
                             : kob::IndexChoice::at(indexFile);
  }
  bool hasRange() const { return offset || size; }
  bool packing() const {
    return !decompress && !test && !list && !recover && !sealExisting;
  }
  // Packing seals unless told not to, or asked for a saved index, which
  // a sealed file needs none of.
  bool sealsWhenPacking() const { return seal && !index; }
  // What is not a regular file, or is reached through a symbolic link, is
  // read only when asked for (-f), or when nothing is written beside it
  // and no input is removed.
  bool readsAnyFile() const {
    return force || toStdout || test || list || hasRange();
  }
};

// Reads a count: decimal digits, then optionally k, M or G for 1024, 1024²
// or 1024³. No sign, and no octal or hexadecimal: "010" is ten. A value
// too large for 64 bits comes back as UINT64_MAX, beyond every limit.
std::optional<std::uint64_t> parseCount(const std::string& text);

// Parses the command line into `options`, as getopt_long would: short
// flags cluster ("-dcv"), a short option's value is the rest of its word or
// the next word ("-B4k", "-b -1": a value that starts with "-" is still a
// value), a long one's follows "=" or is the next word, levels are digits
// among short flags ("-9", "-9cv"; the last level given counts), and "--"
// ends the options. Every malformed word is a usage error naming the words
// as typed and what is allowed ("kob: -19: no such level: ...", "kob: -r:
// unknown option"). Called as kobcat, kob unpacks to standard output (as
// kob -dc). Returns an outcome when the run ends here: after help or the
// version (done), or a usage error (failed).
std::optional<Outcome> parseCommandLine(int argc, char** argv,
                                        Options& options);

}  // namespace kobtool

#endif  // KOB_TOOL_OPTIONS_H
