// SPDX-License-Identifier: GPL-2.0-or-later
//
// --seal: a packed file sealed, in place or into -o PATH or standard
// output, through the library's kob::sealPacked.

#include <unistd.h>

#include "inputs.h"
#include "kob_names.h"
#include "kob_packer.h"
#include "modes.h"
#include "outputs.h"

namespace kobtool {

Outcome sealFile(const Options& options, const std::string& name) {
  OpenedInput opened = openInput(options, name);
  if (!opened.input) return opened.outcome;
  Input& input = *opened.input;
  // In place: the file itself is replaced, once its sealed copy is whole.
  const bool inPlace = options.output.empty() && !options.toStdout;
  if (inPlace && (input.isStdin() || input.isRemote() || !input.isRegular())) {
    return Outcome::failed(input.shown(),
                           "only a regular file is sealed in place: use -c "
                           "or -o PATH");
  }
  const std::string path = inPlace ? name : options.output;
  Outcome outcome = checkNotATerminal(options, input);
  if (outcome.ok() && !inPlace) {
    outcome = path.empty() ? checkNotStandardOutput(input)
                           : checkOutputPath(options, input, path);
  }
  if (outcome.ok() && path.empty() && !options.force && isatty(STDOUT_FILENO)) {
    outcome = Outcome::failed(
        kStdoutName, "refusing to write packed data to a terminal (use -f)");
  }
  if (!outcome.ok()) return outcome;
  Destination destination(path);
  std::FILE* out = destination.open(outcome);
  if (!out) return outcome;
  const kob::ScanReport report = kob::sealPacked(std::move(input.file), out);
  if (report.sealed) {
    return Outcome::skipped(input.shown(), "already sealed; nothing to do");
  }
  if (report.failure.failed()) {
    if (report.failure.action == kob::Failure::Action::Writing) {
      return destination.writeFailed(report.failure.error);
    }
    if (report.failure.damage == kob::Damage::NotPacked) {
      return Outcome::failed(input.shown(), "not a packed file; not sealed");
    }
    return Outcome::failed(input.shown(),
                           report.failure.describe() +
                               (report.failure.isDamage() ? "; not sealed" : ""));
  }
  if (outcome = destination.commit(input, inPlace || options.force);
      !outcome.ok()) {
    return outcome;
  }
  if (options.verbose) {
    outcome += Outcome::told(
        input.shown(),
        destination.isStdout() || inPlace ? "sealed" : "sealed -- created " + path);
  }
  return outcome;
}

}  // namespace kobtool
