// SPDX-License-Identifier: GPL-2.0-or-later
//
// The table of schemes: the one place that tells a URL from a local path,
// and opens each kind of URL. A new kind of object elsewhere is a source
// (one file in source/) and one row here.

#ifndef KOB_SOURCE_SCHEMES_H
#define KOB_SOURCE_SCHEMES_H

#include <memory>
#include <string>

#include "kob_failure.h"
#include "kob_open.h"
#include "source/source.h"

namespace kob {

// What the object is opened for: its data, read in chunks of any size, or
// a saved index, read in small blocks (each read should bring many).
enum class Purpose { Data, Index };

struct Scheme {
  const char* prefix;  // "http://", matched exactly at the start of a name
  // Opens the object `name`, its identity taken, with the settings the
  // caller's `rules` give for its kind (a CA file, S3's settings). Returns
  // null with `failure` set when it cannot be read.
  std::unique_ptr<Source> (*open)(const std::string& name, Purpose purpose,
                                  const OpenRules& rules, Failure& failure);
  // Whether all after the prefix is a path (s3://BUCKET/KEY: '?', '#' and
  // '@' are a key's letters), not an authority with a query and fragment.
  bool allPath = false;
};

// The row for `name`, or null for a local path.
const Scheme* schemeOf(const std::string& name);

}  // namespace kob

#endif  // KOB_SOURCE_SCHEMES_H
