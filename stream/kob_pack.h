// SPDX-License-Identifier: GPL-2.0-or-later
//
// Whole-file work on packed files, in one include: kept for one release,
// for programs written against it. New code includes what it uses:
//   kob_packer.h   kob::Packer, kob::packStream
//   kob_scan.h     kob::scanPacked, the index states
//   kob_recover.h  kob::recoverPacked
//   kob_index.h    the saved index
//   kob_names.h    paths and URLs
//   kob_open.h     the one opening of a file to read

#ifndef KOB_KOB_PACK_H
#define KOB_KOB_PACK_H

#include "kob_index.h"
#include "kob_names.h"
#include "kob_open.h"
#include "kob_packer.h"
#include "kob_recover.h"
#include "kob_scan.h"

#endif  // KOB_KOB_PACK_H
