// kob: packs, unpacks, tests, lists and extracts packed files, the way the
// gzip family of tools does. Run `kob --help` for the options.
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
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kob_pack.h"
#include "temporary_file.h"

namespace {

constexpr const char* kVersion = "kob 0.1.0";
constexpr const char* kSuffix = ".kob";
constexpr const char* kStandardStream = "-";

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
  std::optional<std::uint64_t> offset;
  std::optional<std::uint64_t> size;
  int chunkSize = 16384;
  unsigned threads = 1;
};

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

// -o or -c says where the output goes.
bool outputNamed(const Options& options) {
  return options.toStdout || !options.output.empty();
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool isPacked(const std::string& path) {
  KobFile file(path.c_str(), READ);
  return file.isCompressed();
}

std::string displayName(const std::string& path) {
  return path == kStandardStream ? "(stdin)" : path;
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

std::uint64_t sizeOf(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)
             ? static_cast<std::uint64_t>(info.st_size)
             : 0;
}

// ---------------------------------------------------------------------------
// Where an output goes

// Standard output, or a named file written under a temporary name first.
class Destination {
 public:
  // `path` empty: standard output.
  explicit Destination(std::string aPath) : path(std::move(aPath)) {}
  ~Destination() {
    if (stream && stream != stdout) std::fclose(stream);
  }
  Destination(const Destination&) = delete;
  Destination& operator=(const Destination&) = delete;

  const std::string& name() const { return path; }
  bool isStdout() const { return path.empty(); }

  // Returns 0, or the errno of the failure.
  int open() {
    if (isStdout()) {
      stream = stdout;
      return 0;
    }
    temporary = std::make_unique<TemporaryFile>(path);
    if (int error = temporary->create()) return error;
    stream = std::fopen(temporary->name(), "wb");
    return stream ? 0 : errno;
  }

  std::FILE* file() { return stream; }

  // Completes the output. Returns 0, or the errno of the failure.
  int commit() {
    if (isStdout()) return std::fflush(stdout) == 0 ? 0 : errno;
    std::FILE* done = std::exchange(stream, nullptr);
    bool written = !std::ferror(done) && std::fflush(done) == 0;
    int error = errno;
    if (std::fclose(done) != 0 && written) {
      written = false;
      error = errno;
    }
    if (!written) return error ? error : EIO;
    return temporary->commit();
  }

 private:
  std::string path;
  std::FILE* stream = nullptr;
  std::unique_ptr<TemporaryFile> temporary;
};

// The output for `input`, or nullopt after reporting why there is none.
// `derived` is the name the output takes by default.
std::optional<std::string> outputPathFor(const Options& options,
                                         const std::string& input,
                                         const std::string& derived,
                                         Status& status) {
  if (options.toStdout || input == kStandardStream) return std::string();
  std::string path = options.output.empty() ? derived : options.output;
  struct stat info;
  if (!options.force && lstat(path.c_str(), &info) == 0) {
    status =
        report(kSkipped, path, "already exists; skipped (use -f to overwrite)");
    return std::nullopt;
  }
  return path;
}

Status finishInput(const Options& options, const std::string& input,
                   const Destination& destination) {
  if (options.removeInput && input != kStandardStream &&
      !destination.isStdout() && std::remove(input.c_str()) != 0) {
    return failed(input, "cannot remove", errno);
  }
  return kDone;
}

// Checks what every input needs before it is read; reports and returns
// false when it cannot be used.
bool usableInput(const std::string& input, Status& status) {
  if (input == kStandardStream) return true;
  struct stat info;
  if (stat(input.c_str(), &info) != 0) {
    status = failed(input, "cannot open", errno);
    return false;
  }
  if (S_ISDIR(info.st_mode)) {
    status = report(kSkipped, input, "is a directory; skipped");
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Packing

Status pack(const Options& options, const std::string& input) {
  Status status = kDone;
  if (!usableInput(input, status)) return status;
  if (input != kStandardStream && !outputNamed(options) && isPacked(input)) {
    return report(kSkipped, input,
                  "already packed; skipped (use -o or -c to pack it again)");
  }
  std::optional<std::string> path =
      outputPathFor(options, input, input + kSuffix, status);
  if (!path) return status;
  Destination destination(*path);
  if (destination.isStdout() && !options.force && isatty(STDOUT_FILENO)) {
    return failed("(stdout)",
                  "refusing to write packed data to a terminal (use -f)");
  }

  std::FILE* in =
      input == kStandardStream ? stdin : std::fopen(input.c_str(), "rb");
  if (!in) return failed(input, "cannot open", errno);
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> closeIn(
      in == stdin ? nullptr : in, &std::fclose);
  if (int error = destination.open()) {
    return failed(destination.name(), "cannot create", error);
  }
  ProgressMeter meter(options, displayName(input), sizeOf(input));
  errno = 0;
  kob::PackStatus packed = kob::packStream(
      in, destination.file(), options.chunkSize, options.threads,
      [&meter](std::uint64_t done) { meter.update(done); });
  const int error = errno;
  switch (packed) {
    case kob::PackStatus::Ok:
      break;
    case kob::PackStatus::ReadFailed:
      return failed(displayName(input), "cannot read", error);
    case kob::PackStatus::WriteFailed:
      return failed(path->empty() ? "(stdout)" : *path, "cannot write", error);
    default:
      return failed(displayName(input), "cannot pack: out of memory");
  }
  if (int commitError = destination.commit()) {
    return failed(path->empty() ? "(stdout)" : *path, "cannot write",
                  commitError);
  }
  return finishInput(options, input, destination);
}

// ---------------------------------------------------------------------------
// Reading packed inputs

// Opens `input` (standard input as a stream) for reading packed data;
// reports and returns false when it cannot, or when it is not packed.
bool openPacked(KobFile& file, const std::string& input, Status& status) {
  errno = 0;
  const bool opened = input == kStandardStream
                          ? file.openDescriptor(dup(STDIN_FILENO), READ)
                          : file.open(input.c_str(), READ);
  if (!opened) {
    status = failed(displayName(input), "cannot open", errno);
    return false;
  }
  if (!file.isCompressed()) {
    status = failed(displayName(input), "not a packed file");
    return false;
  }
  return true;
}

// Why a packed reader stopped: the damage and where, or the failed read.
std::string whyStopped(KobFile& file) {
  if (file.damage() == kob::Damage::None) {
    return std::string("cannot read: ") + std::strerror(file.ioError());
  }
  return "packed data is damaged at byte " + std::to_string(file.tell64()) +
         ": " + kob::describe(file.damage()) + " (kob -t tells where)";
}

// Copies up to `limit` bytes of `file`'s data from where it stands to `out`.
// Returns false after reporting a failure.
bool copyData(KobFile& file, std::FILE* out, std::uint64_t limit,
              const std::string& name, ProgressMeter& meter, Status& status) {
  static unsigned char block[1 << 16];
  std::uint64_t done = 0;
  while (done < limit) {
    unsigned int wanted = static_cast<unsigned int>(
        std::min<std::uint64_t>(sizeof block, limit - done));
    int got = file.read(block, wanted);
    if (got > 0 &&
        std::fwrite(block, 1, got, out) != static_cast<std::size_t>(got)) {
      status = failed(name, "cannot write", errno);
      return false;
    }
    done += got > 0 ? got : 0;
    meter.update(done);
    if (got < static_cast<int>(wanted)) break;
  }
  if (file.hasError()) {
    status = failed(name, whyStopped(file));
    return false;
  }
  return true;
}

Status unpack(const Options& options, const std::string& input) {
  Status status = kDone;
  if (!usableInput(input, status)) return status;
  if (input != kStandardStream && !outputNamed(options) &&
      !endsWith(input, kSuffix)) {
    return report(kSkipped, input, "no .kob suffix; skipped (use -o or -c)");
  }
  const std::string derived =
      input.substr(0, input.size() - std::strlen(kSuffix));
  std::optional<std::string> path =
      outputPathFor(options, input, derived, status);
  if (!path) return status;

  KobFile file;
  if (!openPacked(file, input, status)) return status;
  Destination destination(*path);
  if (int error = destination.open()) {
    return failed(destination.name(), "cannot create", error);
  }
  ProgressMeter meter(options, displayName(input), 0);
  if (!copyData(file, destination.file(), UINT64_MAX, displayName(input), meter,
                status)) {
    return status;
  }
  if (int error = destination.commit()) {
    return failed(path->empty() ? "(stdout)" : *path, "cannot write", error);
  }
  return finishInput(options, input, destination);
}

// Writes bytes [offset, offset + size) of the data to standard output.
Status extract(const Options& options, const std::string& input) {
  Status status = kDone;
  if (!usableInput(input, status)) return status;
  KobFile file;
  if (!openPacked(file, input, status)) return status;
  const std::int64_t offset = static_cast<std::int64_t>(
      std::min<std::uint64_t>(options.offset.value_or(0), INT64_MAX));
  const std::int64_t landed = file.seek64(offset, 0);
  if (file.hasError()) return failed(displayName(input), whyStopped(file));
  if (landed != offset) return kDone;  // past the end
  ProgressMeter meter(options, displayName(input), options.size.value_or(0));
  if (!copyData(file, stdout, options.size.value_or(UINT64_MAX),
                displayName(input), meter, status)) {
    return status;
  }
  return std::fflush(stdout) == 0 ? kDone
                                  : failed("(stdout)", "cannot write", errno);
}

// ---------------------------------------------------------------------------
// Testing and listing

// Scans a packed input (see kob::scanPacked). Returns nullopt after
// reporting why it could not be read or where it is damaged.
std::optional<kob::ScanReport> scanInput(
    const std::string& input, bool decompress,
    const std::function<void(const kob::ChunkInfo&)>& onChunk, Status& status) {
  if (!usableInput(input, status)) return std::nullopt;
  const bool fromStdin = input == kStandardStream;
  const int fd =
      fromStdin ? STDIN_FILENO : ::open(input.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    status = failed(displayName(input), "cannot open", errno);
    return std::nullopt;
  }
  kob::ScanReport scan = kob::scanPacked(fd, decompress, onChunk);
  if (!fromStdin) ::close(fd);
  switch (scan.outcome) {
    case kob::ScanReport::Outcome::Ok:
      return scan;
    case kob::ScanReport::Outcome::NotPacked:
      status = failed(displayName(input), "not a packed file (no signature)");
      break;
    case kob::ScanReport::Outcome::ReadFailed:
      status = failed(displayName(input), "cannot read", scan.error);
      break;
    case kob::ScanReport::Outcome::Damaged:
      status = failed(displayName(input),
                      "chunk " + std::to_string(scan.chunkNumber) +
                          " at offset " + std::to_string(scan.fileOffset) +
                          ": " + kob::describe(scan.damage));
      break;
  }
  return std::nullopt;
}

Status test(const Options& options, const std::string& input) {
  Status status = kDone;
  if (!scanInput(input, true, {}, status)) return status;
  if (options.verbose) std::printf("%s: OK\n", displayName(input).c_str());
  return kDone;
}

void printListHeader() {
  std::printf("%12s %12s %7s %8s %10s  %s\n", "packed", "unpacked", "ratio",
              "chunks", "chunk size", "name");
}

Status list(const Options& options, const std::string& input) {
  Status status = kDone;
  std::vector<kob::ChunkInfo> chunks;
  std::optional<kob::ScanReport> found = scanInput(
      input, false,
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
  std::printf("%12lld %12llu %6.1f%% %8llu %10u  %s\n",
              static_cast<long long>(scan.packedSize),
              static_cast<unsigned long long>(scan.dataSize), ratio,
              static_cast<unsigned long long>(scan.chunks), scan.largestChunk,
              displayName(input).c_str());
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

// Checks combinations CLI11 cannot; returns an error message or "".
std::string conflicts(const Options& o) {
  int modes = o.decompress + o.test + o.list;
  if (modes > 1) return "choose one of -d, -t and -l";
  if ((o.offset || o.size) && !o.decompress) return "-b and -s need -d";
  if (!o.output.empty() && o.files.size() > 1) return "-o takes a single input";
  if (!o.output.empty() && o.toStdout) return "-o and -c exclude each other";
  return "";
}

Status runOne(const Options& options, const std::string& input) {
  if (options.test) return test(options, input);
  if (options.list) return list(options, input);
  if (options.decompress && (options.offset || options.size)) {
    return extract(options, input);
  }
  if (options.decompress) return unpack(options, input);
  return pack(options, input);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app(
      "Packs files into chunks of 16 KiB compressed with LZO1X-999, which\n"
      "KobFile reads back with random access. With no FILE, or when FILE is "
      "-,\n"
      "reads standard input and writes standard output.",
      "kob");
  app.footer(
      "Examples:\n"
      "  kob dictionary.data             pack into dictionary.data.kob\n"
      "  kob -d dictionary.data.kob      unpack into dictionary.data\n"
      "  kob -t -v *.kob                 check packed files\n"
      "  kob -l dictionary.data.kob      sizes, ratio and chunks\n"
      "  kob -d -b 1000 -s 200 x.kob     bytes 1000 to 1199 to standard "
      "output\n"
      "  kob -T 0 big.data               pack on every core\n"
      "\nExit status: 0 success, 1 error, 2 an input skipped with a warning.");
  app.add_option("FILE", options.files, "Files to work on");
  app.add_flag("-d,--decompress", options.decompress,
               "Unpack FILE.kob into FILE");
  app.add_flag("-c,--stdout", options.toStdout,
               "Write to standard output; keep inputs");
  app.add_option("-o,--output", options.output,
                 "Write to PATH (a single input)")
      ->option_text("PATH");
  app.add_flag("-f,--force", options.force,
               "Overwrite outputs; write packed data to a terminal");
  app.add_flag("--rm", options.removeInput, "Remove each input after success");
  app.add_flag("-t,--test", options.test, "Check packed files");
  app.add_flag("-l,--list", options.list,
               "List packed files (-v: every chunk)");
  app.add_option("-b,--offset", options.offset,
                 "With -d: start the output at byte N of the data")
      ->option_text("N");
  app.add_option("-s,--size", options.size, "With -d: write at most N bytes")
      ->option_text("N");
  app.add_option("-B,--chunk-size", options.chunkSize,
                 "Uncompressed bytes a chunk (default 16384)")
      ->check(CLI::Range(1, 65535))
      ->option_text("N");
  app.add_option("-T,--threads", options.threads,
                 "Compress on N threads; 0: one per core (default 1)")
      ->check(CLI::Range(0, 1024))
      ->option_text("N");
  app.add_flag("-v,--verbose", options.verbose, "Say more");
  app.add_flag("-q,--quiet", options.quiet, "No progress meter");
  app.set_version_flag("-V,--version", kVersion);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::fprintf(stderr, "kob: %s (kob --help lists the options)\n", e.what());
    return kFailed;
  }
  if (std::string problem = conflicts(options); !problem.empty()) {
    std::fprintf(stderr, "kob: %s (kob --help lists the options)\n",
                 problem.c_str());
    return kFailed;
  }
  if (options.files.empty()) options.files.push_back(kStandardStream);
  if (options.list) printListHeader();

  Status status = kDone;
  for (const std::string& input : options.files) {
    status = worse(status, runOne(options, input));
  }
  return status;
}
