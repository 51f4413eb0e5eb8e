// SPDX-License-Identifier: GPL-2.0-or-later
// The library's version, compiled into it, so that a program can ask the
// library it runs with rather than the headers it was built with.

#include "kob_version.h"

const char* kob::version() { return KOB_VERSION_STRING; }
