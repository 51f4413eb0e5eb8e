// SPDX-License-Identifier: GPL-2.0-or-later
//
// A progress meter on standard error: bytes done, the total where known,
// and the rate. It shows only when standard error is a terminal and the
// work has gone on for a second, and never with -q.

#ifndef KOB_TOOL_PROGRESS_H
#define KOB_TOOL_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <string>

namespace kobtool {

class ProgressMeter {
 public:
  // `total` 0: not known.
  ProgressMeter(bool quiet, std::string aName, std::uint64_t aTotal);
  // Clears the line it drew.
  ~ProgressMeter();
  ProgressMeter(const ProgressMeter&) = delete;
  ProgressMeter& operator=(const ProgressMeter&) = delete;

  void update(std::uint64_t done);

 private:
  using Clock = std::chrono::steady_clock;

  bool enabled;
  std::string name;
  std::uint64_t total;
  Clock::time_point start;
  Clock::time_point lastShown;
  std::size_t width = 0;
  bool shown = false;
};

}  // namespace kobtool

#endif  // KOB_TOOL_PROGRESS_H
