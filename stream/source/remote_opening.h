// SPDX-License-Identifier: GPL-2.0-or-later
//
// The opening every remote source shares, whatever its server: libcurl
// loaded, the object read as a RemoteSource (source/remote_source.h) under
// a range cache (source/range_cache.h), and a data object's saved index
// asked for at once. A kind of URL brings only its Endpoint.
//
// Opening a data object starts the first request for its saved index
// (NAME.kbi) at the same time, on a thread of its own, so that a cold
// lookup costs two round trips: both heads, then the chunk. The index
// code's opening of that name takes what the request brought; an index
// nobody opens is dropped with the data object.
//
// The environment tunes it: see RemoteSettings (source/remote_request.h).

#ifndef KOB_SOURCE_REMOTE_OPENING_H
#define KOB_SOURCE_REMOTE_OPENING_H

#include <functional>
#include <memory>
#include <string>

#include "kob_failure.h"
#include "kob_open.h"
#include "source/remote_request.h"
#include "source/schemes.h"
#include "source/source.h"

namespace kob {

// Makes the endpoint for the object `name`. Returns null with `failure`
// set when it cannot be reached.
using EndpointFor =
    std::function<std::unique_ptr<Endpoint>(const std::string& name, Failure& failure)>;

// Opens `name`, its identity taken from its first bytes, through the
// endpoint `endpointFor` makes (for it, and for its saved index), by the
// caller's `rules` (its CA file; see RemoteSettings). Returns null with
// `failure` set when it cannot be read (see RemoteSource::open), or
// EPROTONOSUPPORT when libcurl cannot be loaded (the detail says why).
std::unique_ptr<Source> openRemote(const std::string& name, Purpose purpose,
                                   const OpenRules& rules, const EndpointFor& endpointFor,
                                   Failure& failure);

}  // namespace kob

#endif  // KOB_SOURCE_REMOTE_OPENING_H
