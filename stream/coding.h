// Big-endian 16-bit fields, as every chunk header stores them.

#ifndef KOB_CODING_H
#define KOB_CODING_H

#include <cstdint>

namespace kob {

// Stores bits 15..8 of `value`, then bits 7..0; higher bits are dropped.
inline void encodeUInt2(unsigned char* out, std::uint32_t value) {
  out[0] = static_cast<unsigned char>((value >> 8) & 0xFF);
  out[1] = static_cast<unsigned char>(value & 0xFF);
}

inline std::uint32_t decodeUInt2(const unsigned char* in) {
  return (std::uint32_t{in[0]} << 8) | in[1];
}

}  // namespace kob

#endif  // KOB_CODING_H
