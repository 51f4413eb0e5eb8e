// SPDX-License-Identifier: GPL-2.0-or-later
//
// A progress meter on standard error: bytes done and the rate, and where
// the total is known, the total, the share done and the time left. It
// shows only when standard error is a terminal and the work has gone on
// for a second, and never with -q.

#ifndef KOB_TOOL_PROGRESS_H
#define KOB_TOOL_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <string>

namespace kobtool {

// The meter's line for `name` after `seconds` with `done` bytes of `total`
// (0: not known):
//   "kob: big: 12.0 of 48.0 MiB, 25%, 4.0 MiB/s, 0:09 left"
//   "kob: (stdin): 12.0 MiB, 4.0 MiB/s"
// The share never passes 100% nor the time left 0 (an input that grew);
// with nothing done yet, the time left is not guessed.
std::string progressLine(const std::string& name, std::uint64_t done,
                         std::uint64_t total, double seconds);

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
