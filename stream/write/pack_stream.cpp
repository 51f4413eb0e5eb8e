// SPDX-License-Identifier: GPL-2.0-or-later
//
// kob::packStream: everything a FILE yields, packed with a Packer.

#include <algorithm>
#include <cerrno>
#include <vector>

#include "kob_packer.h"
#include "source/source.h"

namespace kob {

Failure packStream(std::FILE* input, std::FILE* output,
                   const PackOptions& options,
                   const std::function<void(std::uint64_t bytesDone)>& progress) {
  if (Failure invalid = Packer::validOptions(options); invalid.failed()) {
    return invalid;
  }
  try {
    Packer packer(output, options);
    std::vector<unsigned char> block(
        std::max<std::size_t>(static_cast<std::size_t>(options.chunkSize),
                              kReadAhead));
    for (;;) {
      const std::size_t got = std::fread(block.data(), 1, block.size(), input);
      if (got > 0) {
        if (Failure failure = packer.write(block.data(), got); failure.failed()) {
          return failure;
        }
        if (progress) progress(packer.bytesTaken());
      }
      if (got < block.size()) {
        if (std::ferror(input)) {
          return Failure::ofError(errno != 0 ? errno : EIO);
        }
        if (std::feof(input)) break;
      }
    }
    return packer.finish();
  } catch (const std::bad_alloc&) {
    return Failure::ofError(ENOMEM, Failure::Action::Writing);
  } catch (const std::system_error&) {
    return Failure::ofError(EAGAIN, Failure::Action::Writing);  // no thread
  }
}

}  // namespace kob
