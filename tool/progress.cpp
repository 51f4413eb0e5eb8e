// SPDX-License-Identifier: GPL-2.0-or-later
#include "progress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kobtool {
namespace {

double mebibytes(std::uint64_t bytes) {
  return static_cast<double>(bytes) / 1048576.0;
}

// "0:09", "12:34", "1:02:03": minutes and seconds, hours once there are.
std::string duration(double seconds) {
  const auto whole = static_cast<unsigned long long>(std::ceil(seconds));
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", whole / 3600,
                  whole / 60 % 60, whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%llu:%02llu", whole / 60, whole % 60);
  }
  return text;
}

}  // namespace

std::string progressLine(const std::string& name, std::uint64_t done,
                         std::uint64_t total, double seconds) {
  const double rate = seconds > 0 ? mebibytes(done) / seconds : 0;
  char text[128];
  if (total == 0) {
    std::snprintf(text, sizeof text, ": %.1f MiB, %.1f MiB/s", mebibytes(done),
                  rate);
    return "kob: " + name + text;
  }
  const std::uint64_t counted = std::min(done, total);
  // Whole percents, rounded down: 100% only once all is done.
  const auto percent = static_cast<unsigned>(
      static_cast<double>(counted) * 100.0 / static_cast<double>(total));
  std::snprintf(text, sizeof text, ": %.1f of %.1f MiB, %u%%, %.1f MiB/s",
                mebibytes(done), mebibytes(total), percent, rate);
  std::string line = "kob: " + name + text;
  if (done > 0 && seconds > 0) {
    const double left = static_cast<double>(total - counted) *
                        seconds / static_cast<double>(done);
    line += ", " + duration(left) + " left";
  }
  return line;
}

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
  const std::string line = progressLine(
      name, done, total, std::chrono::duration<double>(now - start).count());
  width = std::max(width, line.size());
  std::fprintf(stderr, "\r%-*s", static_cast<int>(width), line.c_str());
  shown = true;
}

}  // namespace kobtool
