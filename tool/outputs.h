// SPDX-License-Identifier: GPL-2.0-or-later
//
// Where kob writes: standard output, or a named file made through
// OutputFile (private until complete, then renamed into place), and the
// rules for which names it may take.

#ifndef KOB_TOOL_OUTPUTS_H
#define KOB_TOOL_OUTPUTS_H

#include <cstdio>
#include <optional>
#include <string>

#include "inputs.h"
#include "options.h"
#include "outcome.h"
#include "output_file.h"

namespace kobtool {

using kobsupport::OutputError;
using kobsupport::OutputFile;

constexpr const char* kStdoutName = "(stdout)";

// A failed write to standard output. Standard output fails for good once
// it fails: only the first is reported.
Outcome standardOutputFailed(int error);

// Checks standard output once more at exit: a listing still buffered, or a
// close that fails, is a failure too.
Outcome closeStandardOutput();

// Whether `path` may take the output made from `input`: not when it is the
// input itself, exists and -f was not given, or exists and is not a
// regular file.
Outcome checkOutputPath(const Options& options, const Input& input,
                        const std::string& path);

// Standard output, or a named file made through OutputFile.
class Destination {
 public:
  // `path` empty: standard output.
  explicit Destination(std::string aPath);

  bool isStdout() const { return !file; }
  const std::string& name() const { return path; }

  // The stream to write to, or nullptr with `outcome` saying why.
  std::FILE* open(Outcome& outcome);

  // A failed write.
  Outcome writeFailed(int error) const;

  // A descriptor of its own on the named file being written, for reading
  // it back once committed; -1 for standard output.
  kob::UniqueFd readBack() const;

  // Completes the output; a named file takes the permissions, owner and
  // times of a regular input named on the command line (standard input,
  // even redirected from a file, has no name to take them from).
  Outcome commit(const Input& input, bool replaceExisting);

 private:
  std::string path;
  std::optional<OutputFile> file;
};

// --rm: removes a regular input once its output is complete, if its name
// still leads to the file that was read (a symbolic link followed with -f
// is removed, not the file it leads to, as gzip does).
Outcome removeInput(const Options& options, const Input& input,
                    const Destination& destination);

}  // namespace kobtool

#endif  // KOB_TOOL_OUTPUTS_H
