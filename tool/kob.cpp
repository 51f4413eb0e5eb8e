// SPDX-License-Identifier: GPL-2.0-or-later
//
// kob: packs, unpacks, tests, lists and extracts packed files, the way the
// gzip family of tools does. `kob --help` and man/kob.1 describe the options.
//
// Exit status: 0 success, 1 an error, 2 an input skipped with a warning.

#include <optional>
#include <string>

#include "modes.h"
#include "options.h"
#include "outcome.h"
#include "output_file.h"
#include "outputs.h"

namespace {

using kobtool::Options;
using kobtool::Outcome;

// One input's job, by the mode (-l apart: it adds up what it lists).
Outcome runOne(const Options& options, const std::string& name) {
  if (options.test) return kobtool::test(options, name);
  if (options.recover) return kobtool::recover(options, name);
  if (options.sealExisting) return kobtool::sealFile(options, name);
  if (options.decompress) return kobtool::unpack(options, name);
  if (name == kobtool::kStandardStream && options.output.empty()) {
    return kobtool::packToStdout(options, {name});
  }
  return kobtool::packToFile(options, name);
}

kobtool::Status run(const Options& options) {
  if (options.packing() && options.toStdout) {
    const Outcome outcome = kobtool::packToStdout(options, options.files);
    outcome.print();
    return outcome.status();
  }
  if (options.list) kobtool::printListHeader(options);
  kobtool::ListTotals totals;
  kobtool::Status status = kobtool::kDone;
  for (const std::string& name : options.files) {
    const Outcome outcome = options.list ? kobtool::list(options, name, totals)
                                         : runOne(options, name);
    outcome.print();
    status = kobtool::worse(status, outcome.status());
  }
  if (options.list && options.files.size() > 1) {
    kobtool::printListTotals(options, totals);
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  kobsupport::occupyClosedStandardDescriptors();
  Options options;
  if (std::optional<Outcome> early =
          kobtool::parseCommandLine(argc, argv, options)) {
    *early += kobtool::closeStandardOutput();
    early->print();
    return early->status();
  }
  kobsupport::removeUnfinishedOutputsOnSignal();
  const kobtool::Status status = run(options);
  const Outcome closing = kobtool::closeStandardOutput();
  closing.print();
  return kobtool::worse(status, closing.status());
}
