// SPDX-License-Identifier: GPL-2.0-or-later
//
// The opening (kob_open.h) for sources the library's users bring: a
// source made by a caller, a Python file object say, tested for the
// signature as any opened file is.

#ifndef KOB_SOURCE_OPENING_H
#define KOB_SOURCE_OPENING_H

#include <memory>
#include <string>

#include "kob_open.h"
#include "source/source.h"

namespace kob {

// Opens `source` as the file `name` (for messages and its saved index; may
// be empty) by `rules`. A stream (not seekable) is read from its offset 0.
OpenedFile openSource(std::unique_ptr<Source> source, const std::string& name,
                      const OpenRules& rules);

}  // namespace kob

#endif  // KOB_SOURCE_OPENING_H
