// SPDX-License-Identifier: GPL-2.0-or-later
//
// What one of kob's jobs came to: done, or the warnings and failures met on
// the way, each a message about one file. Jobs return an Outcome and print
// nothing; main prints the messages, one line each ("kob: FILE: what went
// wrong: why"), and exits with the worst status.

#ifndef KOB_TOOL_OUTCOME_H
#define KOB_TOOL_OUTCOME_H

#include <cstdint>
#include <string>
#include <vector>

#include "kob_failure.h"

namespace kobtool {

// Exit statuses, from best to worst: a run exits with the worst it met.
enum Status { kDone = 0, kFailed = 1, kSkipped = 2 };

Status worse(Status a, Status b);

// The space saved, in percent of the unpacked size, as gzip -v and gzip -l
// say it (negative when packing made it larger; 0 for no data): the one
// share kob shows, with -v, in -l's "saved" column and in --json.
double savedPercent(std::uint64_t unpacked, std::uint64_t packed);
// That share as -v and -l show it: "62.5%".
std::string savedShare(std::uint64_t unpacked, std::uint64_t packed);

class Outcome {
 public:
  // Done, with nothing to say.
  Outcome() = default;

  // A failure: `what`, and strerror(error) when there is one.
  static Outcome failed(const std::string& file, const std::string& what,
                        int error = 0);
  // A failure of the library's, in its words.
  static Outcome failed(const std::string& file, const kob::Failure& failure);
  // A warning: the file was passed over.
  static Outcome skipped(const std::string& file, const std::string& what);
  // A failure of the run as a whole, naming no file: "kob: what".
  static Outcome usage(const std::string& what);
  // A failure whose message has been given already.
  static Outcome alreadyReported();
  // Done, with something to tell (for -v), as gzip tells it: "FILE: what".
  static Outcome told(const std::string& file, const std::string& what);

  // This outcome and then `later`'s messages; the worse status.
  Outcome& operator+=(const Outcome& later);

  Status status() const { return worst; }
  bool ok() const { return worst == kDone; }
  // Prints the messages to standard error, one line each.
  void print() const;

 private:
  Outcome(Status status, std::string message);

  Status worst = kDone;
  std::vector<std::string> messages;
};

}  // namespace kobtool

#endif  // KOB_TOOL_OUTCOME_H
