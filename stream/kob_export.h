// SPDX-License-Identifier: GPL-2.0-or-later
//
// The library is built with every symbol hidden; what its installed headers
// declare is marked KOB_EXPORT, so that the shared library offers exactly
// that and nothing of its insides (which may change in any release).

#ifndef KOB_KOB_EXPORT_H
#define KOB_KOB_EXPORT_H

#define KOB_EXPORT __attribute__((visibility("default")))

#endif  // KOB_KOB_EXPORT_H
