// SPDX-License-Identifier: GPL-2.0-or-later
//
// Names of packed files: a local path, or a URL of a scheme the library
// reads (http://, https://, s3://). The library tells the two apart in one
// place; these answer the questions a program has about a name.

#ifndef KOB_KOB_NAMES_H
#define KOB_KOB_NAMES_H

#include <string>

#include "kob_export.h"

namespace kob {

// Whether `name` is a URL of a scheme this library knows (whether or not
// this build can read it); any other name is a local path ("./http:x"
// reaches a local file so named).
KOB_EXPORT bool isRemote(const std::string& name);

// `name` as it may be shown in a message: a URL without user name,
// password, query string or fragment (a password holding a '/' leaves no
// host and port before it: then nothing up to the last '@' is shown), and
// every control character of any name escaped (\n, \r, \t, \xHH). A URL
// that does not parse shows as its scheme alone.
KOB_EXPORT std::string displayName(const std::string& name);

// The name of the saved index beside the packed file `name`: PATH.kbi,
// or for a URL ".kbi" after its path, before a query string, which is kept.
KOB_EXPORT std::string indexNameFor(const std::string& name);

// The last segment of a path, or of a URL's path (no query): what `kob -d`
// names its output after. Empty when there is none.
KOB_EXPORT std::string lastSegment(const std::string& name);

// Kept for one release: isRemote, and indexNameFor for a URL.
[[deprecated("use kob::isRemote")]]
KOB_EXPORT bool isUrl(const std::string& name);
[[deprecated("use kob::indexNameFor")]]
KOB_EXPORT std::string indexUrlFor(const std::string& url);

}  // namespace kob

#endif  // KOB_KOB_NAMES_H
