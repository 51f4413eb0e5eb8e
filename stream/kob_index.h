// SPDX-License-Identifier: GPL-2.0-or-later
//
// A packed file's saved index (NAME.kbi, or a file of the user's choice):
// every chunk header of the file with a checksum of each payload. With it a
// fresh KobFile or SharedReader finds any chunk at once instead of walking
// the headers up to it, and checks every payload it reads. It changes only
// the speed: an index is used only when it can be trusted, and dropped at
// the first disagreement with the file. One whose file cannot be told
// (IndexState::Unverified: a copy, an object elsewhere) is a hint: a chunk
// is found through it only once the headers before it have been read and
// agree with it, so a seek walks them as it would without an index, once;
// it still checks every payload read. Its layout is in
// doc/format.md.

#ifndef KOB_KOB_INDEX_H
#define KOB_KOB_INDEX_H

#include <cstdio>
#include <string>

#include "kob_export.h"
#include "kob_open.h"
#include "kob_scan.h"

namespace kob {

// PATH.kbi for the packed file PATH (see also indexNameFor in kob_names.h).
KOB_EXPORT std::string indexPathFor(const std::string& packedPath);

// The state of the saved index of the packed file `name` (a path or URL),
// the one `index` names: Valid, Unverified (whole, but of a file it cannot
// tell is this one: a copy, an object elsewhere), Missing, Stale (of
// another file, or of this one at another size), Unusable. Every block of
// the index is read and checked. With `packedFd`, for the packed file open
// there (the name then only finds the index).
KOB_EXPORT IndexState indexState(
    const std::string& name, const IndexChoice& index = IndexChoice::beside());
KOB_EXPORT IndexState indexState(const std::string& packedPath, int packedFd);

// Whether the file at `packedPath`.kbi is an index (valid or not) of the
// packed file open on `packedFd`: a regular file, not a link, that names
// that file's device and inode. What `kob -d --rm` removes with its input.
KOB_EXPORT bool isIndexOf(const std::string& packedPath, int packedFd);

// Reads the packed file `file` (opened already; it must seek) chunk by
// chunk, checking every payload as `kob -t` does, and writes its index to
// `out`: version 2, with a checksum of every payload, and the identity of
// the file as it is now.
// Returns: the scan's report: not ok() when the file is not packed
// (Damage::NotPacked), damaged or a read failed, and then nothing useful
// was written; sealedMembers above 0 for a file with a seal, whose seal is
// its index (see kob_scan.h): nothing was written. Errors writing `out`
// are the caller's to see (ferror, fflush).
KOB_EXPORT ScanReport writeIndex(OpenedFile& file, std::FILE* out);
// As above, for the packed file on `packedFd` (which stays the caller's).
KOB_EXPORT ScanReport writeIndex(int packedFd, std::FILE* out);

}  // namespace kob

#endif  // KOB_KOB_INDEX_H
