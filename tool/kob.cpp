// kob: packs, unpacks, tests, lists and extracts packed files, the way the
// gzip family of tools does. `kob --help` and man/kob.1 describe the options.
//
// Exit status: 0 success, 1 an error, 2 an input skipped with a warning.

#include "kob.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kob_pack.h"
#include "output_file.h"
#include "unique_fd.h"

namespace {

constexpr const char* kVersion = "kob 0.1.0";
constexpr const char* kSuffix = ".kob";
constexpr const char* kStandardStream = "-";
constexpr const char* kStdinName = "(stdin)";
constexpr const char* kStdoutName = "(stdout)";
constexpr unsigned kMostThreads = 1024;

struct Options {
  std::vector<std::string> files;
  bool decompress = false;
  bool toStdout = false;
  std::string output;
  bool force = false;
  bool removeInput = false;
  bool test = false;
  bool list = false;
  bool verbose = false;
  bool quiet = false;
  bool index = false;
  std::optional<std::uint64_t> offset;
  std::optional<std::uint64_t> size;
  int chunkSize = 16384;
  unsigned threads = 1;

  bool hasRange() const { return offset || size; }
  // What is not a regular file, or is reached through a symbolic link, is
  // read only when asked for (-f), or when nothing is written beside it
  // and no input is removed.
  bool readsAnyFile() const {
    return force || toStdout || test || list || hasRange();
  }
};

// ---------------------------------------------------------------------------
// Results and messages

// Results, from best to worst; a run exits with the worst it met.
enum Status { kDone = 0, kSkipped = 2, kFailed = 1 };

Status worse(Status a, Status b) {
  if (a == kFailed || b == kFailed) return kFailed;
  return a == kSkipped || b == kSkipped ? kSkipped : kDone;
}

Status report(Status status, const std::string& file, const std::string& what) {
  std::fprintf(stderr, "kob: %s: %s\n", file.c_str(), what.c_str());
  return status;
}

Status failed(const std::string& file, const std::string& what, int error = 0) {
  return report(kFailed, file,
                error ? what + ": " + std::strerror(error) : what);
}

// Standard output fails for good once it fails; it is reported once.
bool stdoutFailureReported = false;

Status failedStdout(int error) {
  if (stdoutFailureReported) return kFailed;
  stdoutFailureReported = true;
  return failed(kStdoutName, "cannot write", error != 0 ? error : EIO);
}

// Standard output is checked once more at exit: a listing still buffered,
// or a close that fails, is a failure too.
Status closeStandardOutput() {
  errno = 0;
  bool written = std::fflush(stdout) == 0 && !std::ferror(stdout);
  int error = errno;
  if (std::fclose(stdout) != 0 && written) {
    written = false;
    error = errno;
  }
  return written ? kDone : failedStdout(error);
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// ---------------------------------------------------------------------------
// Progress on a terminal

// Shows bytes done, the total where known, and the rate on stderr, when it
// is a terminal and the work has gone on for a second.
class ProgressMeter {
 public:
  ProgressMeter(const Options& options, std::string aName, std::uint64_t aTotal)
      : enabled(!options.quiet && isatty(STDERR_FILENO)),
        name(std::move(aName)),
        total(aTotal),
        start(Clock::now()),
        lastShown(start) {}
  ~ProgressMeter() {
    if (shown) std::fprintf(stderr, "\r%*s\r", static_cast<int>(width), "");
  }
  ProgressMeter(const ProgressMeter&) = delete;
  ProgressMeter& operator=(const ProgressMeter&) = delete;

  void update(std::uint64_t done) {
    if (!enabled) return;
    Clock::time_point now = Clock::now();
    if (now - start < std::chrono::seconds(1) ||
        now - lastShown < std::chrono::milliseconds(200)) {
      return;
    }
    lastShown = now;
    double seconds = std::chrono::duration<double>(now - start).count();
    char line[256];
    int n = total > 0
                ? std::snprintf(line, sizeof line,
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

 private:
  using Clock = std::chrono::steady_clock;
  static double mebibytes(std::uint64_t bytes) { return bytes / 1048576.0; }

  bool enabled;
  std::string name;
  std::uint64_t total;
  Clock::time_point start;
  Clock::time_point lastShown;
  std::size_t width = 0;
  bool shown = false;
};

// ---------------------------------------------------------------------------
// Inputs

// An input opened for reading: a named file, or standard input ("-").
struct Input {
  std::string name;
  kob::UniqueFd fd;
  struct stat info {};

  bool isStdin() const { return name == kStandardStream; }
  bool isRegular() const { return S_ISREG(info.st_mode); }
  std::string shown() const { return isStdin() ? kStdinName : name; }
  std::optional<std::uint64_t> knownSize() const {
    if (!isRegular()) return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size);
  }
};

// Whether a file of this kind may be read; reports why not.
bool readableKind(const Options& options, const struct stat& info,
                  const std::string& name, Status& status) {
  if (S_ISDIR(info.st_mode)) {
    status = report(kSkipped, name, "is a directory; skipped");
    return false;
  }
  if (!S_ISREG(info.st_mode) && !options.readsAnyFile()) {
    status =
        report(kSkipped, name, "is not a regular file; skipped (use -f or -c)");
    return false;
  }
  return true;
}

// Opens `name` for reading. Returns nullopt after reporting why it is
// skipped or cannot be opened.
std::optional<Input> openInput(const Options& options, const std::string& name,
                               Status& status) {
  Input input;
  input.name = name;
  if (input.isStdin()) {
    input.fd = kob::UniqueFd(fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0));
    if (input.fd.get() < 0 || fstat(input.fd.get(), &input.info) != 0) {
      status = failed(kStdinName, "cannot read", errno);
      return std::nullopt;
    }
    return input;
  }
  struct stat found;
  if (lstat(name.c_str(), &found) != 0) {
    status = failed(name, "cannot open", errno);
    return std::nullopt;
  }
  const bool followLinks = options.readsAnyFile();
  if (S_ISLNK(found.st_mode) && !followLinks) {
    status =
        report(kSkipped, name, "is a symbolic link; skipped (use -f or -c)");
    return std::nullopt;
  }
  if (S_ISLNK(found.st_mode) && stat(name.c_str(), &found) != 0) {
    status = failed(name, "cannot open", errno);
    return std::nullopt;
  }
  if (!readableKind(options, found, name, status)) return std::nullopt;
  // A FIFO waits for its writer. Anything else opens without waiting, so
  // that a FIFO swapped in meanwhile cannot hold the run up.
  const int flags = O_RDONLY | O_NOCTTY | O_CLOEXEC |
                    (followLinks ? 0 : O_NOFOLLOW) |
                    (S_ISFIFO(found.st_mode) ? 0 : O_NONBLOCK);
  input.fd = kob::UniqueFd(::open(name.c_str(), flags));
  if (input.fd.get() < 0 || fstat(input.fd.get(), &input.info) != 0) {
    status = failed(name, "cannot open", errno);
    return std::nullopt;
  }
  // What was opened decides, not what the name showed before.
  if (!readableKind(options, input.info, name, status)) return std::nullopt;
  fcntl(input.fd.get(), F_SETFL, fcntl(input.fd.get(), F_GETFL) & ~O_NONBLOCK);
  return input;
}

// Whether a regular input starts with the signature. Its descriptor is
// left at the start, whatever the probe read.
bool isPacked(const Input& input) {
  KobFile probe;
  const bool packed =
      probe.openDescriptor(fcntl(input.fd.get(), F_DUPFD_CLOEXEC, 0), READ) &&
      probe.isCompressed();
  probe.close();
  lseek(input.fd.get(), 0, SEEK_SET);
  return packed;
}

// ---------------------------------------------------------------------------
// Outputs

// Refuses, after reporting, to write an input into standard output when
// they are the same file: that would read back what it writes.
bool notStandardOutput(const Input& input, Status& status) {
  struct stat out;
  if (fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode) &&
      sameFile(out, input.info)) {
    status = failed(input.shown(), "is also standard output; nothing done");
    return false;
  }
  return true;
}

// Checks that `path` may take the output made from `input`. Returns false
// after reporting when it is the input itself, exists and -f was not
// given, or exists and is not a regular file.
bool outputAllowed(const Options& options, const Input& input,
                   const std::string& path, Status& status) {
  struct stat existing;
  if (stat(path.c_str(), &existing) == 0 && sameFile(existing, input.info)) {
    status = failed(path, "output would be its own input; nothing done");
    return false;
  }
  if (lstat(path.c_str(), &existing) != 0) return true;
  if (!options.force) {
    status =
        report(kSkipped, path, "already exists; skipped (use -f to overwrite)");
    return false;
  }
  // A link is replaced, as gzip replaces it; a device, FIFO or directory
  // it leads to is never replaced by a file.
  if (stat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) {
    status = failed(path, "is not a regular file; not replaced");
    return false;
  }
  return true;
}

// Standard output, or a named file made through kobtool::OutputFile.
class Destination {
 public:
  // `path` empty: standard output.
  explicit Destination(std::string aPath) : path(std::move(aPath)) {
    if (!path.empty()) file.emplace(path);
  }

  bool isStdout() const { return !file; }

  // The stream to write to, or nullptr after reporting why there is none.
  std::FILE* open(Status& status) {
    if (isStdout()) return stdout;
    if (kobtool::OutputError problem = file->create()) {
      status = failed(path, problem.action, problem.error);
      return nullptr;
    }
    std::FILE* stream = file->stream();
    if (!stream) status = failed(path, "cannot create", errno);
    return stream;
  }

  // Reports a failed write.
  Status writeFailed(int error) {
    return isStdout() ? failedStdout(error)
                      : failed(path, "cannot write", error);
  }

  // Completes the output; a named file takes the permissions, owner and
  // times of a regular input named on the command line (standard input,
  // even redirected from a file, has no name to take them from). Returns
  // false after reporting a failure.
  bool commit(const Input& input, bool replaceExisting, Status& status) {
    if (isStdout()) {
      if (std::fflush(stdout) == 0) return true;
      status = failedStdout(errno);
      return false;
    }
    const bool keepAttributes = input.isRegular() && !input.isStdin();
    kobtool::OutputError problem =
        file->commit(keepAttributes ? &input.info : nullptr, replaceExisting);
    if (problem) status = failed(path, problem.action, problem.error);
    return !problem;
  }

 private:
  std::string path;
  std::optional<kobtool::OutputFile> file;
};

// --rm: removes a regular input once its output is complete, if its name
// still leads to the file that was read (a symbolic link followed with -f
// is removed, not the file it leads to, as gzip does).
Status removeInput(const Options& options, const Input& input,
                   const Destination& destination) {
  if (!options.removeInput || input.isStdin() || destination.isStdout() ||
      !input.isRegular()) {
    return kDone;
  }
  struct stat now;
  if (stat(input.name.c_str(), &now) != 0 || !sameFile(now, input.info)) {
    return failed(input.name, "changed while it was read; not removed");
  }
  if (unlink(input.name.c_str()) != 0) {
    return failed(input.name, "cannot remove", errno);
  }
  return kDone;
}

// What a scan found damaged, and where.
std::string damageFound(const kob::ScanReport& scan) {
  return "chunk " + std::to_string(scan.chunkNumber) + " at offset " +
         std::to_string(scan.fileOffset) + ": " + kob::describe(scan.damage);
}

// ---------------------------------------------------------------------------
// Saved indexes

// Writes the index of the packed file `path` beside it, as PATH.kbi,
// replacing one there. It takes the packed file's owner, group and times;
// nobody but its owner may write it, or readers would not trust it.
Status writeIndexBeside(const std::string& path) {
  kob::UniqueFd packed(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info;
  if (packed.get() < 0 || fstat(packed.get(), &info) != 0) {
    return failed(path, "cannot open", errno);
  }
  const std::string indexPath = kob::indexPathFor(path);
  kobtool::OutputFile index(indexPath);
  if (kobtool::OutputError problem = index.create()) {
    return failed(indexPath, problem.action, problem.error);
  }
  std::FILE* out = index.stream();
  if (out == nullptr) return failed(indexPath, "cannot create", errno);
  const kob::ScanReport scan = kob::writeIndex(packed.get(), out);
  switch (scan.outcome) {
    case kob::ScanReport::Outcome::Ok:
      break;
    case kob::ScanReport::Outcome::NotPacked:
      return failed(path, "not a packed file; not indexed");
    case kob::ScanReport::Outcome::ReadFailed:
      return failed(path, "cannot read", scan.error);
    case kob::ScanReport::Outcome::Damaged:
      return failed(path, damageFound(scan) + "; not indexed");
  }
  struct stat kept = info;
  kept.st_mode &= ~static_cast<mode_t>(S_IWGRP | S_IWOTH);
  if (kobtool::OutputError problem = index.commit(&kept, true)) {
    return failed(indexPath, problem.action, problem.error);
  }
  return kDone;
}

// ---------------------------------------------------------------------------
// Packing

// The inputs of one packed stream, read one after another through a
// standard I/O stream for kob::packStream. The first comes open; each of
// the others is opened only when the one before has ended, and one that
// cannot be opened is reported and passed over.
class InputChain {
 public:
  InputChain(const Options& anOptions, Input& first, Status& aStatus)
      : options(anOptions), reading(&first), status(aStatus) {}
  InputChain(const InputChain&) = delete;
  InputChain& operator=(const InputChain&) = delete;

  void append(const std::string& name) { waiting.push_back(name); }

  // The stream; nullptr when it could not be made.
  std::FILE* stream() {
    if (!file) {
      static const cookie_io_functions_t kFunctions = {&readCookie, nullptr,
                                                       nullptr, nullptr};
      file.reset(fopencookie(this, "r", kFunctions));
    }
    return file.get();
  }

  // True once a failed read has been reported.
  bool readFailed() const { return failedRead; }

 private:
  static ssize_t readCookie(void* chain, char* buffer, std::size_t size) {
    return static_cast<InputChain*>(chain)->read(buffer, size);
  }

  ssize_t read(char* buffer, std::size_t size) {
    while (reading || openNext()) {
      const ssize_t got = ::read(reading->fd.get(), buffer, size);
      if (got > 0) return got;
      if (got == 0) {
        reading = nullptr;
      } else if (errno != EINTR) {
        status = failed(reading->shown(), "cannot read", errno);
        failedRead = true;
        return -1;
      }
    }
    return 0;
  }

  bool openNext() {
    while (!waiting.empty()) {
      Status found = kDone;
      opened = openInput(options, waiting.front(), found);
      waiting.pop_front();
      if (opened && !notStandardOutput(*opened, found)) opened.reset();
      status = worse(status, found);
      if (opened) {
        reading = &*opened;
        return true;
      }
    }
    return false;
  }

  const Options& options;
  Input* reading;
  std::optional<Input> opened;  // the input read after the first
  std::deque<std::string> waiting;
  Status& status;
  bool failedRead = false;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file{nullptr, &std::fclose};
};

// Threads beyond the input's chunks, or beyond the cores, would have nothing
// to do, and each holds memory: two chunks and the compressor's work area.
unsigned threadsFor(const Options& options,
                    std::optional<std::uint64_t> inputSize) {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const unsigned wanted =
      std::min(cores, options.threads == 0 ? cores : options.threads);
  if (!inputSize) return wanted;
  const std::uint64_t chunkSize = static_cast<std::uint64_t>(options.chunkSize);
  const std::uint64_t chunks =
      std::max<std::uint64_t>(1, (*inputSize + chunkSize - 1) / chunkSize);
  return static_cast<unsigned>(std::min<std::uint64_t>(wanted, chunks));
}

// Packs what `chain` reads into `destination`, opened already as `out`.
// Returns false after reporting a failure.
bool packChain(const Options& options, InputChain& chain,
               std::optional<std::uint64_t> inputSize,
               const std::string& meterName, Destination& destination,
               std::FILE* out, Status& status) {
  std::FILE* in = chain.stream();
  if (!in) {
    status = failed(meterName, "cannot read", errno);
    return false;
  }
  ProgressMeter meter(options, meterName, inputSize.value_or(0));
  errno = 0;
  const kob::PackStatus packed = kob::packStream(
      in, out, options.chunkSize, threadsFor(options, inputSize),
      [&meter](std::uint64_t done) { meter.update(done); });
  const int error = errno;
  switch (packed) {
    case kob::PackStatus::Ok:
      return true;
    case kob::PackStatus::ReadFailed:
      if (!chain.readFailed()) status = failed(meterName, "cannot read", error);
      return false;
    case kob::PackStatus::WriteFailed:
      status = destination.writeFailed(error);
      return false;
    default:
      status = failed(meterName, "cannot pack: out of memory");
      return false;
  }
}

// Packs `name` into its own file: NAME.kob, or the -o PATH.
Status packToFile(const Options& options, const std::string& name) {
  Status status = kDone;
  std::optional<Input> input = openInput(options, name, status);
  if (!input) return status;
  if (options.output.empty() && input->isRegular() && isPacked(*input)) {
    if (options.index) return writeIndexBeside(name);
    return report(kSkipped, name,
                  "already packed; skipped (use -o or -c to pack it again)");
  }
  const std::string path =
      options.output.empty() ? name + kSuffix : options.output;
  if (!outputAllowed(options, *input, path, status)) return status;
  Destination destination(path);
  std::FILE* out = destination.open(status);
  if (!out) return status;
  InputChain chain(options, *input, status);
  if (!packChain(options, chain, input->knownSize(), input->shown(),
                 destination, out, status) ||
      !destination.commit(*input, options.force, status)) {
    return status;
  }
  if (options.index && (status = writeIndexBeside(path)) != kDone) {
    return status;
  }
  return removeInput(options, *input, destination);
}

// The total size of `names` when every one is a regular file.
std::optional<std::uint64_t> totalSize(const std::vector<std::string>& names) {
  std::uint64_t total = 0;
  for (const std::string& name : names) {
    struct stat info;
    if (name == kStandardStream || stat(name.c_str(), &info) != 0 ||
        !S_ISREG(info.st_mode)) {
      return std::nullopt;
    }
    total += static_cast<std::uint64_t>(info.st_size);
  }
  return total;
}

// Packs the concatenation of `names` into one packed stream on standard
// output. Nothing is written unless one of them opens.
Status packToStdout(const Options& options,
                    const std::vector<std::string>& names) {
  if (!options.force && isatty(STDOUT_FILENO)) {
    return failed(kStdoutName,
                  "refusing to write packed data to a terminal (use -f)");
  }
  Status status = kDone;
  std::optional<Input> first;
  std::size_t next = 0;
  while (!first && next < names.size()) {
    Status found = kDone;
    first = openInput(options, names[next++], found);
    if (first && !notStandardOutput(*first, found)) first.reset();
    status = worse(status, found);
  }
  if (!first) return status;
  const std::string shown = names.size() == 1 ? first->shown() : "(inputs)";
  InputChain chain(options, *first, status);
  for (; next < names.size(); ++next) chain.append(names[next]);
  Destination destination("");
  if (packChain(options, chain, totalSize(names), shown, destination, stdout,
                status) &&
      std::fflush(stdout) != 0) {
    status = failedStdout(errno);
  }
  return status;
}

// ---------------------------------------------------------------------------
// Unpacking

// Why a packed reader stopped: the damage and where, or the failed read.
std::string whyStopped(KobFile& file) {
  if (file.damage() == kob::Damage::None) {
    return std::string("cannot read: ") + std::strerror(file.ioError());
  }
  return "packed data is damaged at byte " + std::to_string(file.tell64()) +
         ": " + kob::describe(file.damage()) + " (kob -t tells where)";
}

// Opens `input`, handing its descriptor over, as packed data. Returns
// false after reporting when it cannot, or when it is not packed.
bool openPacked(KobFile& file, Input& input, Status& status) {
  errno = 0;
  if (!file.openDescriptor(input.fd.release(), READ)) {
    status = failed(input.shown(), "cannot read", errno);
    return false;
  }
  if (!file.isCompressed()) {
    status = failed(input.shown(), "not a packed file");
    return false;
  }
  return true;
}

// Copies up to `limit` bytes of `file`'s data from where it stands to
// `out`. Returns false after reporting a failure.
bool copyData(KobFile& file, std::FILE* out, std::uint64_t limit,
              const Input& input, Destination& destination,
              ProgressMeter& meter, Status& status) {
  static unsigned char block[1 << 16];
  std::uint64_t done = 0;
  while (done < limit) {
    unsigned int wanted = static_cast<unsigned int>(
        std::min<std::uint64_t>(sizeof block, limit - done));
    int got = file.read(block, wanted);
    if (got > 0 &&
        std::fwrite(block, 1, got, out) != static_cast<std::size_t>(got)) {
      status = destination.writeFailed(errno);
      return false;
    }
    done += got > 0 ? got : 0;
    meter.update(done);
    if (got < static_cast<int>(wanted)) break;
  }
  if (file.hasError()) {
    status = failed(input.shown(), whyStopped(file));
    return false;
  }
  return true;
}

// Where the data of `name` goes: "" for standard output; nullopt after
// reporting why it is skipped.
std::optional<std::string> unpackedPath(const Options& options,
                                        const std::string& name,
                                        Status& status) {
  if (!options.output.empty()) return options.output;
  if (options.toStdout || name == kStandardStream || options.hasRange()) {
    return std::string();
  }
  if (!endsWith(name, kSuffix)) {
    status = report(kSkipped, name, "no .kob suffix; skipped (use -o or -c)");
    return std::nullopt;
  }
  std::string path = name.substr(0, name.size() - std::strlen(kSuffix));
  if (path.empty() || path.back() == '/') {
    status = report(kSkipped, name,
                    "nothing before the .kob suffix; skipped (use -o or -c)");
    return std::nullopt;
  }
  return path;
}

// Unpacks `name`, or with -b/-s the range of its data asked for.
Status unpack(const Options& options, const std::string& name) {
  Status status = kDone;
  const std::optional<std::string> path = unpackedPath(options, name, status);
  if (!path) return status;
  std::optional<Input> input = openInput(options, name, status);
  if (!input) return status;
  if (path->empty() ? !notStandardOutput(*input, status)
                    : !outputAllowed(options, *input, *path, status)) {
    return status;
  }
  KobFile file;
  if (!openPacked(file, *input, status)) return status;
  std::uint64_t limit = options.size.value_or(UINT64_MAX);
  if (options.offset) {
    const std::int64_t offset = static_cast<std::int64_t>(*options.offset);
    if (file.seek64(offset, 0) != offset) limit = 0;  // past the end
    if (file.hasError()) return failed(input->shown(), whyStopped(file));
  }
  Destination destination(*path);
  std::FILE* out = destination.open(status);
  if (!out) return status;
  ProgressMeter meter(options, input->shown(), options.size.value_or(0));
  if (!copyData(file, out, limit, *input, destination, meter, status) ||
      !destination.commit(*input, options.force, status)) {
    return status;
  }
  const bool removing = options.removeInput && input->isRegular() &&
                        !input->isStdin() && !destination.isStdout();
  status = removeInput(options, *input, destination);
  // An index beside a packed file removed would only ever be stale.
  if (removing && status == kDone) {
    unlink(kob::indexPathFor(input->name).c_str());
  }
  return status;
}

// ---------------------------------------------------------------------------
// Testing and listing

// Scans a packed input (see kob::scanPacked). Returns nullopt after
// reporting why it could not be read or where it is damaged.
std::optional<kob::ScanReport> scanInput(
    const Options& options, const std::string& name, bool decompress,
    const std::function<void(const kob::ChunkInfo&)>& onChunk, Status& status) {
  std::optional<Input> input = openInput(options, name, status);
  if (!input) return std::nullopt;
  kob::ScanReport scan = kob::scanPacked(input->fd.get(), decompress, onChunk);
  switch (scan.outcome) {
    case kob::ScanReport::Outcome::Ok:
      return scan;
    case kob::ScanReport::Outcome::NotPacked:
      status = failed(input->shown(), "not a packed file (no signature)");
      break;
    case kob::ScanReport::Outcome::ReadFailed:
      status = failed(input->shown(), "cannot read", scan.error);
      break;
    case kob::ScanReport::Outcome::Damaged:
      status = failed(input->shown(), damageFound(scan));
      break;
  }
  return std::nullopt;
}

std::string shownName(const std::string& name) {
  return name == kStandardStream ? kStdinName : name;
}

Status test(const Options& options, const std::string& name) {
  Status status = kDone;
  if (!scanInput(options, name, true, {}, status)) return status;
  if (options.verbose) std::printf("%s: OK\n", shownName(name).c_str());
  return kDone;
}

void printListHeader() {
  std::printf("%12s %12s %7s %8s %10s %8s  %s\n", "packed", "unpacked", "ratio",
              "chunks", "chunk size", "index", "name");
}

Status list(const Options& options, const std::string& name) {
  Status status = kDone;
  std::vector<kob::ChunkInfo> chunks;
  std::optional<kob::ScanReport> found = scanInput(
      options, name, false,
      [&](const kob::ChunkInfo& c) {
        if (options.verbose) chunks.push_back(c);
      },
      status);
  if (!found) return status;
  const kob::ScanReport& scan = *found;
  const double ratio = scan.dataSize
                           ? 100.0 * static_cast<double>(scan.packedSize) /
                                 static_cast<double>(scan.dataSize)
                           : 0;
  const char* index =
      name == kStandardStream ? "-" : kob::describe(kob::indexState(name));
  std::printf("%12lld %12llu %6.1f%% %8llu %10u %8s  %s\n",
              static_cast<long long>(scan.packedSize),
              static_cast<unsigned long long>(scan.dataSize), ratio,
              static_cast<unsigned long long>(scan.chunks), scan.largestChunk,
              index, shownName(name).c_str());
  if (options.verbose && !chunks.empty()) {
    std::printf("%12s %12s %12s %8s %10s\n", "chunk", "offset", "position",
                "stored", "unpacked");
    for (const kob::ChunkInfo& c : chunks) {
      std::printf("%12llu %12lld %12llu %8u %10u\n",
                  static_cast<unsigned long long>(c.number),
                  static_cast<long long>(c.fileOffset),
                  static_cast<unsigned long long>(c.position), c.payloadSize,
                  c.dataSize);
    }
  }
  return kDone;
}

// ---------------------------------------------------------------------------
// The command line

// Reads a count: decimal digits, then optionally k, M or G for 1024, 1024²
// or 1024³. No sign, and no octal or hexadecimal: "010" is ten. A value
// too large for 64 bits comes back as UINT64_MAX, beyond every limit.
std::optional<std::uint64_t> parseCount(const std::string& text) {
  std::size_t digits = 0;
  std::uint64_t value = 0;
  for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9';
       ++digits) {
    const unsigned digit = static_cast<unsigned>(text[digits] - '0');
    value = value > (UINT64_MAX - digit) / 10 ? UINT64_MAX : value * 10 + digit;
  }
  if (digits == 0) return std::nullopt;
  const std::string suffix = text.substr(digits);
  unsigned shift = 0;
  if (suffix == "k" || suffix == "K") {
    shift = 10;
  } else if (suffix == "M") {
    shift = 20;
  } else if (suffix == "G") {
    shift = 30;
  } else if (!suffix.empty()) {
    return std::nullopt;
  }
  return value > (UINT64_MAX >> shift) ? UINT64_MAX : value << shift;
}

// A numeric option as given on the command line, and its limits.
struct CountOption {
  const char* flag;
  std::uint64_t lowest;
  std::uint64_t highest;
  std::string text;
  CLI::Option* given = nullptr;

  // The value, or a message naming the option.
  std::optional<std::uint64_t> read(std::string& problem) const {
    const std::optional<std::uint64_t> value = parseCount(text);
    if (!value) {
      problem = std::string(flag) + ": '" + text +
                "' is not a decimal number (with an optional k, M or G)";
    } else if (*value < lowest || *value > highest) {
      problem = std::string(flag) + ": " + text + " is out of range (" +
                std::to_string(lowest) + " to " + std::to_string(highest) + ")";
    }
    return problem.empty() ? value : std::nullopt;
  }
};

// Checks combinations CLI11 cannot; returns an error message or "".
std::string conflicts(const Options& o) {
  int modes = o.decompress + o.test + o.list;
  if (modes > 1) return "choose one of -d, -t and -l";
  if (o.hasRange() && !o.decompress) return "-b and -s need -d";
  if (o.hasRange() && o.removeInput) return "--rm does not go with -b or -s";
  if (!o.output.empty() && o.files.size() > 1) return "-o takes a single input";
  if (!o.output.empty() && o.toStdout) return "-o and -c exclude each other";
  if (!o.output.empty() && (o.test || o.list)) {
    return "-o does not go with -t or -l";
  }
  if (o.index && (modes > 0 || o.toStdout)) {
    return "-i indexes packed files: not with -d, -t, -l or -c";
  }
  return "";
}

constexpr const char* kDescription =
    "Packs files into chunks of 16 KiB compressed with LZO1X-999, which\n"
    "KobFile reads back with random access. With no FILE, or when FILE is -,\n"
    "reads standard input and writes standard output.";

constexpr const char* kFooter =
    "Numbers are decimal; they may end in k, M or G (1024, 1024^2, 1024^3).\n"
    "Symbolic links, FIFOs and devices are read only with -f or -c (-t and\n"
    "-l always read them); -f also writes packed data to a terminal. -c with\n"
    "several inputs packs them, one after another, into one packed stream.\n"
    "\n"
    "Examples:\n"
    "  kob dictionary.data             pack into dictionary.data.kob\n"
    "  kob -d dictionary.data.kob      unpack into dictionary.data\n"
    "  kob -c a b > ab.kob             pack a then b as one packed file\n"
    "  kob -o out.kob < data           pack standard input into out.kob\n"
    "  kob -t -v *.kob                 check packed files\n"
    "  kob -l dictionary.data.kob      sizes, ratio, chunks, index\n"
    "  kob -i dictionary.data          pack, and write its index\n"
    "  kob --index x.kob               index a packed file\n"
    "  kob -d -b 1000 -s 200 x.kob     bytes 1000 to 1199 to standard output\n"
    "  kob -T 0 -B 32k big.data        pack on every core, in 32 KiB chunks\n"
    "\n"
    "Exit status: 0 success, 1 error, 2 an input skipped with a warning.\n"
    "See kob(1).";

// Parses the command line into `options`. Returns an exit status when the
// run ends here (help, version, a usage error).
std::optional<Status> parseCommandLine(int argc, char** argv,
                                       Options& options) {
  CLI::App app(kDescription, "kob");
  app.footer(kFooter);
  CountOption offset{"-b", 0, INT64_MAX, "", nullptr};
  CountOption size{"-s", 0, INT64_MAX, "", nullptr};
  CountOption chunkSize{"-B", 1, 65535, "", nullptr};
  CountOption threads{"-T", 0, kMostThreads, "", nullptr};
  app.add_option("FILE", options.files, "Files to work on");
  app.add_flag("-d,--decompress", options.decompress,
               "Unpack FILE.kob into FILE");
  app.add_flag("-c,--stdout", options.toStdout,
               "Write to standard output; keep inputs");
  app.add_option("-o,--output", options.output,
                 "Write to PATH (one input, or standard input)")
      ->option_text("PATH");
  app.add_flag("-f,--force", options.force,
               "Overwrite outputs; read links, FIFOs, devices");
  app.add_flag("--rm", options.removeInput, "Remove each input after success");
  app.add_flag("-t,--test", options.test, "Check packed files");
  app.add_flag("-l,--list", options.list,
               "List packed files (-v: every chunk)");
  app.add_flag("-i,--index", options.index,
               "Write FILE.kob.kbi, an index for fast random access: of each "
               "packed FILE, or of each output packed");
  offset.given = app.add_option("-b,--offset", offset.text,
                                "With -d: start the output at byte N of the "
                                "data")
                     ->option_text("N");
  size.given =
      app.add_option("-s,--size", size.text, "With -d: write at most N bytes")
          ->option_text("N");
  chunkSize.given = app.add_option("-B,--chunk-size", chunkSize.text,
                                   "Bytes of data a chunk, 1 to 65535 "
                                   "(16384)")
                        ->option_text("N");
  threads.given = app.add_option("-T,--threads", threads.text,
                                 "Compress on up to N threads (0: one per "
                                 "core; 1)")
                      ->option_text("N");
  app.add_flag("-v,--verbose", options.verbose, "Say more");
  app.add_flag("-q,--quiet", options.quiet, "No progress meter");
  app.set_version_flag("-V,--version", kVersion);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {
      app.exit(e);
      return kDone;
    }
    std::fprintf(stderr, "kob: %s (kob --help lists the options)\n", e.what());
    return kFailed;
  }
  std::string problem;
  auto value = [&problem](const CountOption& option) {
    return option.given->count() > 0 && problem.empty() ? option.read(problem)
                                                        : std::nullopt;
  };
  options.offset = value(offset);
  options.size = value(size);
  options.chunkSize = static_cast<int>(value(chunkSize).value_or(16384));
  options.threads = static_cast<unsigned>(value(threads).value_or(1));
  if (problem.empty()) problem = conflicts(options);
  if (!problem.empty()) {
    std::fprintf(stderr, "kob: %s (kob --help lists the options)\n",
                 problem.c_str());
    return kFailed;
  }
  if (options.files.empty()) options.files.push_back(kStandardStream);
  return std::nullopt;
}

Status run(const Options& options) {
  const bool packing = !options.decompress && !options.test && !options.list;
  if (packing && options.toStdout) return packToStdout(options, options.files);
  if (options.list) printListHeader();
  Status status = kDone;
  for (const std::string& name : options.files) {
    Status one = options.test         ? test(options, name)
                 : options.list       ? list(options, name)
                 : options.decompress ? unpack(options, name)
                 : name == kStandardStream && options.output.empty()
                     ? packToStdout(options, {name})
                     : packToFile(options, name);
    status = worse(status, one);
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  kobtool::occupyClosedStandardDescriptors();
  Options options;
  std::optional<Status> early = parseCommandLine(argc, argv, options);
  if (early) return worse(*early, closeStandardOutput());
  kobtool::removeUnfinishedOutputsOnSignal();
  const Status status = run(options);
  return worse(status, closeStandardOutput());
}
