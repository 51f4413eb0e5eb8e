// SPDX-License-Identifier: GPL-2.0-or-later
//
// What a web server said of one response, read from its status line and
// headers as they come: the status, the object's version (ETag,
// Last-Modified), the range sent and the object's length. Everything in it
// is a claim until the body's bytes arrive.

#ifndef KOB_SOURCE_HTTP_ANSWER_H
#define KOB_SOURCE_HTTP_ANSWER_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace kob {

// The most bytes of an error's body kept: enough for an object store's
// code and message, which come first, and no more from a server that
// sends a large page.
constexpr std::size_t kErrorBodyBytes = 4096;

struct Answer {
  long status = 0;
  std::string etag;
  std::string lastModified;
  std::string location;          // where a redirect points
  bool hasRange = false;         // a Content-Range header came
  std::int64_t rangeFirst = -1;  // its first byte
  std::int64_t rangeLast = -1;   // its last byte
  std::int64_t total = -1;       // the object's length, when said
  std::int64_t contentLength = -1;
  // The first bytes of the body of an answer other than 200 and 206 (at
  // most kErrorBodyBytes): a server's words, unchecked.
  std::string errorBody;

  // Takes one header line (or status line, which starts a new response:
  // after a redirect or an interim answer).
  void takeLine(const char* data, std::size_t length);

  // The object's length as this answer gives it: a range's total, a whole
  // body's length; -1 when not said.
  std::int64_t objectLength() const {
    return status == 206 ? total : status == 200 ? contentLength : -1;
  }
};

// Whether `tag` is a strong ETag (a weak one, W/"...", may stay the same
// across changes of the bytes).
bool strongTag(const std::string& tag);

}  // namespace kob

#endif  // KOB_SOURCE_HTTP_ANSWER_H
