// SPDX-License-Identifier: GPL-2.0-or-later
//
// kob's jobs, one per mode. Each works on one input (or, packing to
// standard output, on all of them), returns what it came to and prints no
// message: main prints them.

#ifndef KOB_TOOL_MODES_H
#define KOB_TOOL_MODES_H

#include <cstdint>
#include <string>
#include <vector>

#include "options.h"
#include "outcome.h"

namespace kobtool {

// Packs `name` into its own file: NAME.kob, or the -o PATH; with -i also
// writes the output's index. A packed input with -i is indexed instead.
Outcome packToFile(const Options& options, const std::string& name);

// Packs the concatenation of `names` into one packed stream on standard
// output.
Outcome packToStdout(const Options& options,
                     const std::vector<std::string>& names);

// Unpacks `name`, or with -b/-s the range of its data asked for.
Outcome unpack(const Options& options, const std::string& name);

// --recover: unpacks every intact chunk of `name`, the lost ones as zeros.
Outcome recover(const Options& options, const std::string& name);

// --seal: seals the packed file `name` in place, or into -o PATH or
// standard output (-c).
Outcome sealFile(const Options& options, const std::string& name);

// -t: reads every chunk of `name`.
Outcome test(const Options& options, const std::string& name);

// -l: a line of sizes for `name` (every chunk with -v), added to `totals`;
// the header first, and for several files a line of totals last. With
// --json, one JSON object a file on a line of its own, and no header or
// totals.
struct ListTotals {
  std::uint64_t files = 0;
  std::uint64_t packed = 0;
  std::uint64_t unpacked = 0;
  std::uint64_t chunks = 0;
};
void printListHeader(const Options& options);
Outcome list(const Options& options, const std::string& name,
             ListTotals& totals);
void printListTotals(const Options& options, const ListTotals& totals);

// Writes the index of the packed file `path`, open on `packedFd` (which
// stays the caller's, and is what is indexed: the name is not opened
// again), beside it as PATH.kbi, or at the --index-file PATH.
Outcome writeIndexFor(const Options& options, const std::string& path,
                      int packedFd);

}  // namespace kobtool

#endif  // KOB_TOOL_MODES_H
