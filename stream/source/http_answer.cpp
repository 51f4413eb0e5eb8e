// SPDX-License-Identifier: GPL-2.0-or-later
#include "source/http_answer.h"

#include <cctype>
#include <cstdlib>

namespace kob {
namespace {

std::string lowered(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

std::string trimmed(const std::string& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

// A whole decimal number of at most 18 digits (no sign, nothing after),
// or -1.
std::int64_t number(const std::string& text) {
  if (text.empty() || text.size() > 18) return -1;
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

// "bytes a-b/total" or "bytes */total".
void takeContentRange(const std::string& value, Answer& answer) {
  answer.hasRange = true;
  std::string text = lowered(value);
  if (text.rfind("bytes", 0) != 0) return;
  text = trimmed(text.substr(5));
  const std::size_t slash = text.find('/');
  if (slash == std::string::npos) return;
  const std::string range = text.substr(0, slash);
  answer.total = number(text.substr(slash + 1));
  const std::size_t dash = range.find('-');
  if (range == "*" || dash == std::string::npos) return;
  const std::int64_t first = number(range.substr(0, dash));
  const std::int64_t last = number(range.substr(dash + 1));
  if (first >= 0 && last >= first) {
    answer.rangeFirst = first;
    answer.rangeLast = last;
  }
}

}  // namespace

void Answer::takeLine(const char* data, std::size_t length) {
  const std::string line(data, length);
  if (line.rfind("HTTP/", 0) == 0) {
    *this = Answer();
    const std::size_t space = line.find(' ');
    if (space != std::string::npos) {
      status = std::strtol(line.c_str() + space + 1, nullptr, 10);
    }
    return;
  }
  const std::size_t colon = line.find(':');
  if (colon == std::string::npos) return;
  const std::string name = lowered(trimmed(line.substr(0, colon)));
  const std::string value = trimmed(line.substr(colon + 1));
  if (name == "etag") {
    etag = value;
  } else if (name == "last-modified") {
    lastModified = value;
  } else if (name == "location") {
    location = value;
  } else if (name == "content-range") {
    takeContentRange(value, *this);
  } else if (name == "content-length") {
    contentLength = number(value);
  }
}

bool strongTag(const std::string& tag) {
  return !tag.empty() && tag.rfind("W/", 0) != 0;
}

}  // namespace kob
