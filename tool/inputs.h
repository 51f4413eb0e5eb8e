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

#include "kob_names.h"
#include "kob_open.h"
#include "options.h"
#include "outcome.h"

namespace kobtool {

constexpr const char* kStdinName = "(stdin)";

// An input opened for reading through the library's one door
// (kob::openFile): a named file, standard input ("-"), or a URL, which has
// no descriptor.
// What is said of it here holds after `file` is handed to the library.
struct Input {
  std::string name;
  kob::OpenedFile file;
  struct stat info {};  // a local file's status; zeros for a URL
  bool standardInput = false;
  bool remote = false;
  std::string shownName;  // for messages: a URL without credentials, ...
  std::int64_t size = -1;

  bool isStdin() const { return standardInput; }
  bool isRemote() const { return remote; }
  bool isRegular() const { return S_ISREG(info.st_mode); }
  // The local file's descriptor while `file` holds it; -1 for a URL.
  int descriptor() const { return file.descriptor(); }
  const std::string& shown() const { return shownName; }
  std::optional<std::uint64_t> knownSize() const;
};

struct OpenedInput {
  std::optional<Input> input;  // none when skipped or failed
  Outcome outcome;             // why not
};

// Opens `name` for reading ("-": standard input).
OpenedInput openInput(const Options& options, const std::string& name);

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
