// SPDX-License-Identifier: GPL-2.0-or-later
#include "splits.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "errors.h"
#include "file_object.h"
#include "kob_names.h"
#include "kob_open.h"
#include "kob_shared.h"
#include "reader.h"
#include "source/opening.h"

namespace kobpy {
namespace {

// The most ranges one call gives: a million lookups cost about a second
// without a saved index's help, and no engine wants more pieces than that
// of one file. A larger n gives this many.
constexpr std::uint64_t kMostSplits = std::uint64_t{1} << 20;

using Range = std::pair<std::uint64_t, std::uint64_t>;

// The ranges of `reader`'s data: the i-th of n aims at size * i / n and
// starts on the chunk that holds that position; aims that land in one
// chunk give one range. Without the GIL.
kob::Failure cut(kob::SharedReader& reader, std::uint64_t n, std::vector<Range>& ranges) {
  std::uint64_t size = 0;
  if (kob::Failure failed = reader.dataSize(size); failed.failed()) return failed;
  // No range is empty: never more ranges than bytes.
  n = std::min({n, size, kMostSplits});
  std::uint64_t begun = 0;
  for (std::uint64_t i = 1; i < n; ++i) {
    // size * i / n without overflow: size < 2^64 and i < n <= 2^20.
    const std::uint64_t aim = size / n * i + size % n * i / n;
    std::uint64_t start = 0;
    if (kob::Failure failed = reader.chunkStart(aim, start); failed.failed()) {
      return failed;
    }
    if (start > begun) {
      ranges.emplace_back(begun, start);
      begun = start;
    }
  }
  if (size > begun) ranges.emplace_back(begun, size);
  return {};
}

std::vector<Range> splits(const py::object& file, Py_ssize_t n, const py::object& s3) {
  if (n < 1) throw py::value_error("splits: n must be 1 or more");
  const bool object = isFileObject(file);
  const std::string name = object ? std::string() : fsPath(file);
  kob::OpenRules rules;
  rules.needPacked = true;
  rules.needSeek = !object;  // a FIFO is refused before it is opened
  rules.s3 = s3OptionsOf(s3);
  std::vector<Range> ranges;
  kob::Failure failure;
  CallbackErrors callbacks;
  {
    auto reader = std::make_unique<kob::SharedReader>();
    std::unique_ptr<kob::Source> source = object ? sourceOf(file) : nullptr;
    {
      py::gil_scoped_release unlocked;
      if (object) {
        // No name: a file object has no saved index beside it.
        failure = reader->open(kob::openSource(std::move(source), "", rules),
                               kob::IndexChoice::none());
      } else {
        failure = reader->open(kob::openFile(name, rules));
      }
      if (failure.ok()) failure = cut(*reader, static_cast<std::uint64_t>(n), ranges);
      reader->close();
    }
  }
  callbacks.raiseKept();
  if (failure.failed()) raiseFailure(failure, name);
  return ranges;
}

}  // namespace

void addSplits(py::module_& module) {
  module.def("splits", &splits, py::arg("file"), py::arg("n"), py::arg("s3") = py::none());
  // Whether kob's own readers take `name` as a URL (a scheme this build
  // knows), not as a local path.
  module.def("reads_url", [](const std::string& name) { return kob::isRemote(name); },
             py::arg("name"));
  module.attr("MOST_SPLITS") = kMostSplits;
}

}  // namespace kobpy
