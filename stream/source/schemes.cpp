// SPDX-License-Identifier: GPL-2.0-or-later
#include "source/schemes.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>

#include "kob_names.h"
#include "source/http_source.h"
#include "source/s3_source.h"

namespace kob {
namespace {

const Scheme kSchemes[] = {
    {"http://", openHttp},
    {"https://", openHttp},
    {"s3://", openS3, true},
};

// Whether `authority` (up to a query or fragment) is a host and perhaps a
// port: "host", "host:81", "[::1]:81".
bool hostAndPort(std::string authority) {
  authority = authority.substr(0, authority.find_first_of("?#"));
  std::size_t colon = authority.rfind(':');
  if (!authority.empty() && authority[0] == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    if (close + 1 == authority.size()) return true;
    colon = authority[close + 1] == ':' ? close + 1 : std::string::npos;
    if (colon == std::string::npos) return false;
  } else if (colon != std::string::npos && authority.find(':') != colon) {
    return false;
  }
  return colon == std::string::npos ||
         authority.find_first_not_of("0123456789", colon + 1) == std::string::npos;
}

// Where the authority of a URL ends and its path begins: at its first
// '/'. The host begins after the last '@' before that: a user name or
// password may hold '?', '#' and ':', and all of it is hidden. A password
// may hold a '/' too, not percent-encoded ("bob:pw/S3CRET@host"): what
// stands before the first '/' is then no host and port, and all up to the
// last '@' is hidden. Sets `hostStart`; returns where the path begins (the
// end when it has none).
std::size_t authorityEnd(const std::string& rest, std::size_t& hostStart) {
  std::size_t slash = std::min(rest.find('/'), rest.size());
  std::size_t at = slash == 0 ? std::string::npos : rest.rfind('@', slash - 1);
  if (at == std::string::npos && !hostAndPort(rest.substr(0, slash))) {
    at = rest.rfind('@');
    if (at != std::string::npos) slash = std::min(rest.find('/', at), rest.size());
  }
  hostStart = at == std::string::npos ? 0 : at + 1;
  // Without a user name, a query or fragment may end the authority.
  if (at == std::string::npos) {
    return std::min(slash, std::min(rest.find_first_of("?#"), rest.size()));
  }
  return slash;
}

// Every byte below 0x20 and 0x7F escaped, so that a name cannot break a
// message's line or play with a terminal.
std::string escaped(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      shown += "\\n";
    } else if (c == '\r') {
      shown += "\\r";
    } else if (c == '\t') {
      shown += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      shown += hex;
    } else {
      shown += c;
    }
  }
  return shown;
}

}  // namespace

const Scheme* schemeOf(const std::string& name) {
  for (const Scheme& scheme : kSchemes) {
    if (name.rfind(scheme.prefix, 0) == 0) return &scheme;
  }
  return nullptr;
}

bool isRemote(const std::string& name) { return schemeOf(name) != nullptr; }

bool isUrl(const std::string& name) { return isRemote(name); }

std::string displayName(const std::string& name) {
  const Scheme* scheme = schemeOf(name);
  if (scheme == nullptr) return escaped(name);
  const std::size_t prefix = std::strlen(scheme->prefix);
  const std::string rest = name.substr(prefix);
  if (scheme->allPath) return scheme->prefix + escaped(rest);
  std::size_t hostStart = 0;
  const std::size_t pathStart = authorityEnd(rest, hostStart);
  std::string shown = rest.substr(hostStart, pathStart - hostStart);
  // A host with a query or fragment of its own and no path ("h?q").
  shown = shown.substr(0, shown.find_first_of("?#"));
  if (pathStart < rest.size() && rest[pathStart] == '/') {
    const std::size_t cut = rest.find_first_of("?#", pathStart);
    shown += rest.substr(pathStart, cut == std::string::npos
                                        ? std::string::npos
                                        : cut - pathStart);
  }
  return scheme->prefix + escaped(shown);
}

std::string indexNameFor(const std::string& name) {
  const Scheme* scheme = schemeOf(name);
  if (scheme == nullptr || scheme->allPath) return name + ".kbi";
  const std::size_t prefix = std::strlen(scheme->prefix);
  std::size_t hostStart = 0;
  const std::size_t pathStart =
      prefix + authorityEnd(name.substr(prefix), hostStart);
  const std::size_t cut = name.find_first_of("?#", pathStart);
  if (cut == std::string::npos) return name + ".kbi";
  return name.substr(0, cut) + ".kbi" + name.substr(cut);
}

std::string indexUrlFor(const std::string& url) { return indexNameFor(url); }

std::string lastSegment(const std::string& name) {
  std::string path = name;
  if (const Scheme* scheme = schemeOf(name); scheme != nullptr && scheme->allPath) {
    // The bucket is no segment of the path.
    const std::size_t slash = name.find('/', std::strlen(scheme->prefix));
    path = slash == std::string::npos ? "" : name.substr(slash);
  } else if (scheme != nullptr) {
    const std::size_t prefix = std::strlen(scheme->prefix);
    std::size_t hostStart = 0;
    const std::size_t pathStart =
        prefix + authorityEnd(name.substr(prefix), hostStart);
    if (pathStart >= name.size() || name[pathStart] != '/') return "";
    const std::size_t cut = name.find_first_of("?#", pathStart);
    path = name.substr(pathStart,
                       cut == std::string::npos ? cut : cut - pathStart);
  }
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace kob
