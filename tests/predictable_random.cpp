// SPDX-License-Identifier: GPL-2.0-or-later
// Preloaded into a tool under test in place of getrandom(2), so that its
// temporary file names come in a known order: the first call yields the
// number 0, the next 1, and so on. A test can then plant something under
// the name the tool will try first.

#include <sys/types.h>

#include <cstring>

extern "C" ssize_t getrandom(void* buffer, size_t length, unsigned int) {
  static unsigned char calls = 0;
  std::memset(buffer, 0, length);
  if (length > 0) static_cast<unsigned char*>(buffer)[0] = calls++;
  return static_cast<ssize_t>(length);
}
