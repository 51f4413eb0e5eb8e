// SPDX-License-Identifier: GPL-2.0-or-later
#include "outcome.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

namespace kobtool {

Status worse(Status a, Status b) {
  if (a == kFailed || b == kFailed) return kFailed;
  return a == kSkipped || b == kSkipped ? kSkipped : kDone;
}

double savedPercent(std::uint64_t unpacked, std::uint64_t packed) {
  return unpacked == 0 ? 0.0
                       : 100.0 * (1.0 - static_cast<double>(packed) /
                                            static_cast<double>(unpacked));
}

std::string savedShare(std::uint64_t unpacked, std::uint64_t packed) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%", savedPercent(unpacked, packed));
  return text;
}

Outcome::Outcome(Status status, std::string message)
    : worst(status), messages{std::move(message)} {}

Outcome Outcome::failed(const std::string& file, const std::string& what,
                        int error) {
  return Outcome(kFailed, "kob: " + file + ": " + what +
                              (error != 0 ? std::string(": ") +
                                                kob::describeError(error)
                                          : std::string()));
}

Outcome Outcome::failed(const std::string& file, const kob::Failure& failure) {
  return Outcome(kFailed, "kob: " + file + ": " + failure.describe());
}

Outcome Outcome::skipped(const std::string& file, const std::string& what) {
  return Outcome(kSkipped, "kob: " + file + ": " + what);
}

Outcome Outcome::told(const std::string& file, const std::string& what) {
  return Outcome(kDone, file + ": " + what);
}

Outcome Outcome::alreadyReported() {
  Outcome outcome;
  outcome.worst = kFailed;
  return outcome;
}

Outcome Outcome::usage(const std::string& what) {
  return Outcome(kFailed, "kob: " + what);
}

Outcome& Outcome::operator+=(const Outcome& later) {
  worst = worse(worst, later.worst);
  messages.insert(messages.end(), later.messages.begin(), later.messages.end());
  return *this;
}

void Outcome::print() const {
  for (const std::string& message : messages) {
    std::fprintf(stderr, "%s\n", message.c_str());
  }
}

}  // namespace kobtool
