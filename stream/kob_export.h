// SPDX-License-Identifier: GPL-2.0-or-later
// KOB_EXPORT marks what the shared library offers its users.
//
// The library is built with -fvisibility=hidden and
// -fvisibility-inlines-hidden, so libkob.so exports nothing unless a
// declaration says so: the classes and functions of the installed headers
// carry KOB_EXPORT, and the insides (the reader, the writer, the format, the
// decoder) stay private to the library. That keeps the ABI to what the
// headers promise, lets the insides change without a new soname, and spares
// the dynamic linker from resolving hundreds of internal symbols.
//
// Every build of kob, the static library too, compiles with the same
// visibility, so KOB_EXPORT is the same in both.

#ifndef KOB_KOB_EXPORT_H
#define KOB_KOB_EXPORT_H

#define KOB_EXPORT __attribute__((visibility("default")))

#endif  // KOB_KOB_EXPORT_H
