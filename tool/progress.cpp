// SPDX-License-Identifier: GPL-2.0-or-later
#include "progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace kobtool {
namespace {

double mebibytes(std::uint64_t bytes) {
  return static_cast<double>(bytes) / 1048576.0;
}

}  // namespace

ProgressMeter::ProgressMeter(bool quiet, std::string aName,
                             std::uint64_t aTotal)
    : enabled(!quiet && isatty(STDERR_FILENO)),
      name(std::move(aName)),
      total(aTotal),
      start(Clock::now()),
      lastShown(start) {}

ProgressMeter::~ProgressMeter() {
  if (shown) std::fprintf(stderr, "\r%*s\r", static_cast<int>(width), "");
}

void ProgressMeter::update(std::uint64_t done) {
  if (!enabled) return;
  const Clock::time_point now = Clock::now();
  if (now - start < std::chrono::seconds(1) ||
      now - lastShown < std::chrono::milliseconds(200)) {
    return;
  }
  lastShown = now;
  const double seconds = std::chrono::duration<double>(now - start).count();
  char line[256];
  const int n =
      total > 0 ? std::snprintf(line, sizeof line,
                                "kob: %s: %.1f of %.1f MiB, %.1f MiB/s",
                                name.c_str(), mebibytes(done), mebibytes(total),
                                mebibytes(done) / seconds)
                : std::snprintf(line, sizeof line,
                                "kob: %s: %.1f MiB, %.1f MiB/s", name.c_str(),
                                mebibytes(done), mebibytes(done) / seconds);
  width = std::max(width, static_cast<std::size_t>(std::max(n, 0)));
  std::fprintf(stderr, "\r%-*s", static_cast<int>(width), line);
  shown = true;
}

}  // namespace kobtool
