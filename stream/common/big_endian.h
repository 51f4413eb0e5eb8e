// SPDX-License-Identifier: GPL-2.0-or-later
//
// Numbers as packed files and their indexes store them: big-endian, high
// byte first, in 2, 4 or 8 bytes.

#ifndef KOB_COMMON_BIG_ENDIAN_H
#define KOB_COMMON_BIG_ENDIAN_H

#include <cstddef>
#include <cstdint>

namespace kob {

template <std::size_t Bytes>
inline void putBigEndian(unsigned char* out, std::uint64_t value) {
  for (std::size_t i = Bytes; i-- > 0; value >>= 8) {
    out[i] = static_cast<unsigned char>(value & 0xFF);
  }
}

template <std::size_t Bytes>
inline std::uint64_t getBigEndian(const unsigned char* in) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < Bytes; ++i) value = (value << 8) | in[i];
  return value;
}

// Stores bits 15..8 of `value`, then bits 7..0; higher bits are dropped.
inline void encodeUInt2(unsigned char* out, std::uint32_t value) {
  putBigEndian<2>(out, value);
}
inline std::uint32_t decodeUInt2(const unsigned char* in) {
  return static_cast<std::uint32_t>(getBigEndian<2>(in));
}

}  // namespace kob

#endif  // KOB_COMMON_BIG_ENDIAN_H
