// SPDX-License-Identifier: GPL-2.0-or-later
//
// The numbers a user of kob chooses among. Words, used the same way
// throughout: a chunk's data size is the uncompressed bytes it holds; its
// payload size the compressed bytes stored after its header; a writer's
// chunk size (KobFile's bufferSize, `kob -B`) the data size of every chunk
// it writes but the last.

#ifndef KOB_KOB_LIMITS_H
#define KOB_KOB_LIMITS_H

namespace kob {

// The chunk size packed files are written with unless told otherwise.
constexpr int kDefaultChunkSize = 16384;
// Sizes are stored in 16 bits.
constexpr int kLargestChunkSize = 65535;

// Compression levels, as lzop numbers them: 1 to 6 compress with LZO1X-1,
// fast; 7 to 9 with LZO1X-999 at that level, small. The default, 8, is
// LZO1X-999's own default: what KobFile and kobpack write.
constexpr int kFastestLevel = 1;
constexpr int kDefaultLevel = 8;
constexpr int kBestLevel = 9;

}  // namespace kob

#endif  // KOB_KOB_LIMITS_H
