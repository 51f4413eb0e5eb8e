// SPDX-License-Identifier: GPL-2.0-or-later
#include "output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace kobsupport {
namespace {

// Outputs being written, where the signal handlers can find them without
// allocating or locking: a directory descriptor and a short name each. A
// slot is claimed by whichever thread swaps `taken` first; its directory is
// set last and cleared first, so that a handler finds a whole name or none.
struct PendingOutput {
  std::atomic<bool> taken{false};
  std::atomic<int> directory{-1};
  char name[16] = {};
};
// A tool writes one output at a time; a program of many threads may write
// more, and those beyond the slots go unregistered.
constexpr int kPendingSlots = 64;
PendingOutput pendingOutputs[kPendingSlots];

int claimSlot(const char (&name)[16], int directory) {
  for (int i = 0; i < kPendingSlots; ++i) {
    bool expected = false;
    if (pendingOutputs[i].taken.compare_exchange_strong(
            expected, true, std::memory_order_acq_rel)) {
      std::copy(std::begin(name), std::end(name), pendingOutputs[i].name);
      pendingOutputs[i].directory.store(directory, std::memory_order_release);
      return i;
    }
  }
  return -1;
}

void releaseSlot(int& slot) {
  if (slot < 0) return;
  pendingOutputs[slot].directory.store(-1, std::memory_order_release);
  pendingOutputs[slot].taken.store(false, std::memory_order_release);
  slot = -1;
}

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void removePendingOutputsAndDie(int signalNumber) {
  for (PendingOutput& pending : pendingOutputs) {
    const int directory = pending.directory.load(std::memory_order_acquire);
    if (directory >= 0) unlinkat(directory, pending.name, 0);
  }
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  sigaction(signalNumber, &byDefault, nullptr);
  // Still blocked while this handler runs: delivered on return, it ends the
  // process as the signal would have.
  raise(signalNumber);
}

// Holds the cleanup signals back while a temporary file and its pending
// slot change together, so that none is left behind unregistered nor
// removed after it took its final name.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (int signalNumber : kCleanupSignals) sigaddset(&held, signalNumber);
    pthread_sigmask(SIG_BLOCK, &held, &saved);
  }
  ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &saved, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t saved;
};

// ".kob" and six random letters or digits: short, so that a final name as
// long as the file system takes still leaves room, and hard to guess, so
// that names planted in advance rarely make creation retry.
void makeTemporaryName(char (&name)[16]) {
  static const char kAlphabet[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  thread_local std::uint64_t fallback = 0;
  std::uint64_t bits = 0;
  if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != sizeof bits) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    fallback = fallback * 6364136223846793005u + 1442695040888963407u +
               static_cast<std::uint64_t>(now.tv_nsec) + getpid();
    bits = fallback;
  }
  char* out = name;
  for (const char c : {'.', 'k', 'o', 'b'}) *out++ = c;
  for (int i = 0; i < 6; ++i, bits /= sizeof kAlphabet - 1) {
    *out++ = kAlphabet[bits % (sizeof kAlphabet - 1)];
  }
  *out = '\0';
}

// The owner and group keep the input's permissions; otherwise no one gains
// access the input did not give them: set-id bits go, and a group that
// could not be kept gets no more than others had.
mode_t keptMode(mode_t mode, bool ownerKept, bool groupKept) {
  mode &= 07777;
  if (!ownerKept) mode &= ~static_cast<mode_t>(S_ISUID);
  if (!groupKept) {
    const mode_t others = mode & 07;
    mode &= ~static_cast<mode_t>(S_ISGID | 070);
    mode |= others << 3;
  }
  return mode;
}

// Best effort, as gzip does: a file system that cannot take an owner or
// times still gets the data.
void giveAttributes(int fd, const struct stat* keptFrom) {
  if (keptFrom == nullptr) {
    fchmod(fd, defaultFileMode());
    return;
  }
  const bool ownerKept = fchown(fd, keptFrom->st_uid, keptFrom->st_gid) == 0;
  const bool groupKept =
      ownerKept || fchown(fd, static_cast<uid_t>(-1), keptFrom->st_gid) == 0;
  fchmod(fd, keptMode(keptFrom->st_mode, ownerKept, groupKept));
  const struct timespec times[2] = {keptFrom->st_atim, keptFrom->st_mtim};
  futimens(fd, times);
}

}  // namespace

void removeUnfinishedOutputsOnSignal() {
  for (int signalNumber : kCleanupSignals) {
    struct sigaction previous {};
    sigaction(signalNumber, nullptr, &previous);
    if (previous.sa_handler == SIG_IGN) continue;
    struct sigaction cleanup {};
    cleanup.sa_handler = removePendingOutputsAndDie;
    sigfillset(&cleanup.sa_mask);
    sigaction(signalNumber, &cleanup, nullptr);
  }
}

void occupyClosedStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      // The lower numbers are open by now, so open takes this one.
      ::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
    }
  }
}

mode_t defaultFileMode() {
  // umask can only be read by setting it. The mask set meanwhile is the
  // strictest, so that a file another thread creates in that moment is
  // private rather than open to all.
  const mode_t mask = umask(0777);
  umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
}

OutputFile::OutputFile(std::string aFinalPath)
    : finalPath(std::move(aFinalPath)) {
  const std::size_t slash = finalPath.rfind('/');
  finalName =
      slash == std::string::npos ? finalPath : finalPath.substr(slash + 1);
}

OutputFile::~OutputFile() { discard(); }

OutputError OutputFile::create() {
  if (finalName.empty()) return {"cannot create", EISDIR};
  const std::size_t slash = finalPath.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                          : finalPath.substr(0, slash);
  directory =
      kob::UniqueFd(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (directory.get() < 0) return {"cannot create", errno};
  // Fail now rather than after all the work, at the rename.
  const long longestName = fpathconf(directory.get(), _PC_NAME_MAX);
  if (longestName > 0 && finalName.size() > std::size_t(longestName)) {
    return {"cannot create", ENAMETOOLONG};
  }

  SignalsHeld held;
  for (int attempt = 0; attempt < 100; ++attempt) {
    makeTemporaryName(temporaryName);
    // O_EXCL never follows a link planted under the name, and never opens
    // a file someone else made.
    fd = kob::UniqueFd(openat(
        directory.get(), temporaryName,
        O_CREAT | O_EXCL | O_RDWR | O_NOCTTY | O_CLOEXEC, S_IRUSR | S_IWUSR));
    if (fd.get() >= 0) break;
    if (errno != EEXIST) break;
  }
  if (fd.get() < 0) return {"cannot create", errno};
  struct stat created;
  fstat(fd.get(), &created);
  device = created.st_dev;
  inode = created.st_ino;
  pending = true;
  slot = claimSlot(temporaryName, directory.get());
  return {};
}

std::FILE* OutputFile::stream() {
  if (!buffered && fd.get() >= 0) {
    const int copy = fcntl(fd.get(), F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return nullptr;
    buffered.reset(fdopen(copy, "wb"));
    if (!buffered) ::close(copy);
  }
  return buffered.get();
}

OutputError OutputFile::commit(const struct stat* keptFrom,
                               bool replaceExisting) {
  if (buffered) {
    errno = 0;
    bool written =
        std::fflush(buffered.get()) == 0 && !std::ferror(buffered.get());
    int error = errno;
    if (std::fclose(buffered.release()) != 0 && written) {
      written = false;
      error = errno;
    }
    if (!written) {
      discard();
      return {"cannot write", error != 0 ? error : EIO};
    }
  }
  giveAttributes(fd.get(), keptFrom);
  if (fd.reset() != 0) {
    const int error = errno;
    discard();
    return {"cannot write", error};
  }

  SignalsHeld held;
  struct stat now;
  if (fstatat(directory.get(), temporaryName, &now, AT_SYMLINK_NOFOLLOW) != 0 ||
      now.st_dev != device || now.st_ino != inode) {
    discard();
    return {"its temporary file was replaced by someone else; not renamed", 0};
  }
  int renamed =
      renameat2(directory.get(), temporaryName, directory.get(),
                finalName.c_str(), replaceExisting ? 0 : RENAME_NOREPLACE);
  // File systems without RENAME_NOREPLACE: the caller checked the name
  // was free; a plain rename is what other tools do.
  if (renamed != 0 && !replaceExisting && errno == EINVAL) {
    renamed = renameat(directory.get(), temporaryName, directory.get(),
                       finalName.c_str());
  }
  if (renamed != 0) {
    const int error = errno;
    discard();
    return {"cannot rename into place", error};
  }
  pending = false;
  releaseSlot(slot);
  return {};
}

void OutputFile::discard() {
  if (!pending) return;
  SignalsHeld held;
  unlinkat(directory.get(), temporaryName, 0);
  pending = false;
  releaseSlot(slot);
}

void OutputFile::abandon() {
  if (buffered) {
    // Its buffer is the parent's too: closed unflushed.
    static_cast<void>(buffered.release());
  }
  pending = false;
  releaseSlot(slot);  // this process's copy of it
}

}  // namespace kobsupport
