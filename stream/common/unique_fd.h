// A file descriptor that closes itself.

#ifndef KOB_UNIQUE_FD_H
#define KOB_UNIQUE_FD_H

#include <unistd.h>

#include <utility>

namespace kob {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int aFd) : fd(aFd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd = std::exchange(other.fd, -1);
    }
    return *this;
  }

  int get() const { return fd; }
  int release() { return std::exchange(fd, -1); }
  // Closes the descriptor; returns what close(2) returned, 0 with none.
  int reset() { return fd >= 0 ? ::close(std::exchange(fd, -1)) : 0; }

 private:
  int fd = -1;
};

}  // namespace kob

#endif  // KOB_UNIQUE_FD_H
