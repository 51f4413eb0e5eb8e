// SPDX-License-Identifier: GPL-2.0-or-later
//
// kob's inputs: named files or standard input, opened by the rules of
// the gzip family. Only regular files are read unless asked otherwise;
// what was opened decides, never what the name showed a moment before.

#ifndef KOB_TOOL_INPUTS_H
#define KOB_TOOL_INPUTS_H

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "kob_pack.h"
#include "options.h"
#include "outcome.h"
#include "unique_fd.h"

namespace kobtool {

constexpr const char* kStdinName = "(stdin)";

// An input opened for reading: a named file, standard input ("-"), or a
// URL (http:// or https://), which has no descriptor: it is opened by the
// mode that reads it.
struct Input {
  std::string name;
  kob::UniqueFd fd;
  struct stat info {};

  bool isStdin() const { return name == kStandardStream; }
  bool isUrl() const { return kob::isUrl(name); }
  bool isRegular() const { return S_ISREG(info.st_mode); }
  // The name for messages: a URL without credentials or query.
  std::string shown() const {
    return isStdin() ? kStdinName : kob::displayName(name);
  }
  std::optional<std::uint64_t> knownSize() const;
};

struct OpenedInput {
  std::optional<Input> input;  // none when skipped or failed
  Outcome outcome;             // why not
};

// Opens `name` for reading ("-": standard input).
OpenedInput openInput(const Options& options, const std::string& name);

// Whether a regular input starts with the signature. Its descriptor is
// left at the start, whatever the probe read.
bool isPacked(const Input& input);

// Refuses an input that is standard output itself: that would read back
// what it writes.
Outcome checkNotStandardOutput(const Input& input);

// Refuses, as gzip does, to read packed data from a terminal unless -f.
Outcome checkNotATerminal(const Options& options, const Input& input);

// The inputs of one packed stream, read one after another. The first comes
// open; each of the others is opened only when the one before has ended,
// and one that cannot be opened is passed over (outcome() says why).
class InputSequence {
 public:
  InputSequence(const Options& options, Input& first);
  InputSequence(const InputSequence&) = delete;
  InputSequence& operator=(const InputSequence&) = delete;

  void append(const std::string& name) { waiting.push_back(name); }

  // Reads up to `room` bytes. Returns how many; 0 once the last input has
  // ended; -1 when a read failed (outcome() says which).
  long read(unsigned char* into, std::size_t room);

  // The inputs passed over or failed so far.
  const Outcome& outcome() const { return met; }

 private:
  bool openNext();

  const Options& options;
  Input* reading;
  std::optional<Input> opened;  // the input read after the first
  std::deque<std::string> waiting;
  Outcome met;
};

}  // namespace kobtool

#endif  // KOB_TOOL_INPUTS_H
