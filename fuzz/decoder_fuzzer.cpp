// SPDX-License-Identifier: GPL-2.0-or-later
// Holds kob's LZO1X decompressor to the answers of LZO's own safe one on
// any input: the same result code, the same length, the same bytes, for
// any room given for the output.
//
// Input: bytes 0-1 the room for the output (little-endian, up to 65535),
// the rest the stream.

#include <lzo/lzo1x.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_util.h"
#include "format/lzo_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static const int ready = lzo_init();
  FUZZ_CHECK(ready == LZO_E_OK);
  if (size < 2) return 0;
  const std::size_t room = data[0] | (data[1] << 8);
  data += 2;
  size -= 2;
  std::vector<unsigned char> theirs(room), ours(room);
  lzo_uint theirLength = room;
  std::size_t ourLength = room;
  const int theirResult =
      lzo1x_decompress_safe(data, size, theirs.data(), &theirLength, nullptr);
  const int ourResult =
      kob::decompressLzo1x(data, size, ours.data(), &ourLength);
  FUZZ_CHECK(ourResult == theirResult);
  FUZZ_CHECK(ourLength == theirLength);
  FUZZ_CHECK(ourLength == 0 ||
             std::memcmp(ours.data(), theirs.data(), ourLength) == 0);
  return 0;
}
