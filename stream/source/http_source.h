// SPDX-License-Identifier: GPL-2.0-or-later
//
// The row of the table of schemes for http:// and https://: a packed file
// read from a web server, through libcurl (loaded at the first URL; see
// source/curl_library.h), opened as every remote source is
// (source/remote_opening.h: its saved index asked for at once).
//
// A URL that holds a space or a control character is refused at once with
// EINVAL, before any request.
//
// The environment tunes it: see RemoteSettings (source/remote_request.h).

#ifndef KOB_SOURCE_HTTP_SOURCE_H
#define KOB_SOURCE_HTTP_SOURCE_H

#include <memory>
#include <string>

#include "kob_failure.h"
#include "source/schemes.h"
#include "source/source.h"

namespace kob {

// Whether `url` may be sent as it is: no byte below 0x21, nor 0x7F.
bool wellFormedUrl(const std::string& url);

// Opens `url`, its identity taken from its first bytes. Returns null with
// `failure` set when it cannot be read (see RemoteSource::open), EINVAL
// for a malformed URL, and EPROTONOSUPPORT when this build has no support
// for URLs or libcurl cannot be loaded (the detail says why).
std::unique_ptr<Source> openHttp(const std::string& url, Purpose purpose,
                                 const OpenRules& rules, Failure& failure);

}  // namespace kob

#endif  // KOB_SOURCE_HTTP_SOURCE_H
