#include "format/lzo_decoder.h"

#include <lzo/lzoconf.h>

#include <cstdint>
#include <cstring>

// An LZO1X stream is a sequence of instructions, each starting with a byte
// `t`:
//
//   t < 16   a run of literals (t + 3 bytes; t == 0: 18 and more, the
//            length continued in the bytes after), followed by a match
//   t >= 64  a match of 3..8 bytes within 2 KiB
//   t >= 32  a match within 16 KiB, its length in t's low 5 bits (0: in
//            the bytes after), its distance in the two bytes after
//   t >= 16  a match within 48 KiB (distance 16 KiB plus), length as above
//            in 3 bits; a distance of exactly 16 KiB ends the stream
//   t < 16   right after a match: a match of 2 bytes within 1 KiB (3 bytes,
//            beyond 2 KiB, right after a run of literals)
//
// The low two bits of a match's last distance byte give 0..3 literals to
// copy before the next match; 0 sends the stream back to a run of literals.
// A first byte above 17 opens the stream with a run of literals.

namespace kob {
namespace {

inline void copy8(unsigned char* to, const unsigned char* from) {
  std::uint64_t bytes;
  std::memcpy(&bytes, from, sizeof bytes);
  std::memcpy(to, &bytes, sizeof bytes);
}

inline std::size_t littleEndian16(const unsigned char* in) {
  return in[0] | (std::size_t{in[1]} << 8);
}

// A length of 0 goes on in the bytes after it: each 0 adds 255, and the
// first other byte ends it, adding itself and `base`. Returns false when
// the input ends first.
inline bool readLongLength(const unsigned char*& ip, const unsigned char* ipEnd,
                           std::size_t base, std::size_t& length) {
  length = base;
  while (*ip == 0) {
    length += 255;
    if (++ip == ipEnd) return false;
  }
  length += *ip++;
  return true;
}

}  // namespace

int decompressLzo1x(const unsigned char* in, std::size_t inLength,
                    unsigned char* out, std::size_t* outLength) {
  const unsigned char* ip = in;
  const unsigned char* const ipEnd = in + inLength;
  unsigned char* op = out;
  unsigned char* const opEnd = out + *outLength;
  // Room left, in bytes, before the input or the output runs out.
  auto inputLeft = [&] { return static_cast<std::size_t>(ipEnd - ip); };
  auto outputLeft = [&] { return static_cast<std::size_t>(opEnd - op); };
  auto written = [&] { return static_cast<std::size_t>(op - out); };
  std::size_t t = 0;
  std::size_t distance = 0;
  int result = LZO_E_OK;

  if (inputLeft() < 1) goto input_overrun;
  if (*ip > 17) {
    t = *ip++ - 17u;
    if (t < 4) goto trailing_literals;
    if (outputLeft() < t) goto output_overrun;
    if (inputLeft() < t + 3) goto input_overrun;
    goto copy_literals;
  }
  for (;;) {
    if (inputLeft() < 3) goto input_overrun;
    t = *ip++;
    if (t >= 16) goto match;
    if (t == 0 && !readLongLength(ip, ipEnd, 15, t)) goto input_overrun;
    t += 3;
    if (outputLeft() < t) goto output_overrun;
    if (inputLeft() < t + 3) goto input_overrun;
  copy_literals:
    if (outputLeft() >= t + 8 && inputLeft() >= t + 8) {
      unsigned char* const end = op + t;
      do {
        copy8(op, ip);
        op += 8;
        ip += 8;
      } while (op < end);
      ip -= op - end;
      op = end;
    } else {
      std::memcpy(op, ip, t);
      op += t;
      ip += t;
    }
    t = *ip++;
    if (t >= 16) goto match;
    // A match of 3 bytes right after a run of literals.
    distance = 1 + 0x0800 + (t >> 2) + (std::size_t{*ip++} << 2);
    if (distance > written()) goto lookbehind_overrun;
    if (outputLeft() < 3) goto output_overrun;
    for (int i = 0; i < 3; ++i, ++op) {
      *op = op[-static_cast<std::ptrdiff_t>(distance)];
    }
    goto match_done;

    for (;;) {
    match:
      if (t >= 64) {
        distance = 1 + ((t >> 2) & 7) + (std::size_t{*ip++} << 3);
        t = (t >> 5) - 1;
      } else if (t >= 32) {
        t &= 31;
        if (t == 0) {
          if (!readLongLength(ip, ipEnd, 31, t) || inputLeft() < 2) {
            goto input_overrun;
          }
        }
        distance = 1 + (littleEndian16(ip) >> 2);
        ip += 2;
      } else if (t >= 16) {
        distance = (t & 8) << 11;
        t &= 7;
        if (t == 0) {
          if (!readLongLength(ip, ipEnd, 7, t) || inputLeft() < 2) {
            goto input_overrun;
          }
        }
        distance += littleEndian16(ip) >> 2;
        ip += 2;
        if (distance == 0) goto end_of_stream;
        distance += 0x4000;
      } else {
        // A match of 2 bytes right after a match.
        distance = 1 + (t >> 2) + (std::size_t{*ip++} << 2);
        if (distance > written()) goto lookbehind_overrun;
        if (outputLeft() < 2) goto output_overrun;
        for (int i = 0; i < 2; ++i, ++op) {
          *op = op[-static_cast<std::ptrdiff_t>(distance)];
        }
        goto match_done;
      }
      if (distance > written()) goto lookbehind_overrun;
      if (outputLeft() < t + 2) goto output_overrun;
      {
        const std::size_t length = t + 2;
        const unsigned char* from = op - distance;
        unsigned char* const end = op + length;
        if (outputLeft() < length + 8) {
          do *op++ = *from++;
          while (op < end);
        } else if (distance >= 8) {
          // Each eight bytes copied were written before they are read.
          do {
            copy8(op, from);
            op += 8;
            from += 8;
          } while (op < end);
          op = end;
        } else if (distance == 1) {
          std::memset(op, *from, length);
          op = end;
        } else {
          do *op++ = *from++;
          while (op < end);
        }
      }
    match_done:
      t = ip[-2] & 3;
      if (t == 0) break;
    trailing_literals:
      if (outputLeft() < t) goto output_overrun;
      if (inputLeft() < t + 3) goto input_overrun;
      if (outputLeft() >= 4) {
        std::memcpy(op, ip, 4);
        op += t;
        ip += t;
      } else {
        do *op++ = *ip++;
        while (--t > 0);
      }
      t = *ip++;
    }
  }

end_of_stream:
  *outLength = written();
  return ip == ipEnd  ? LZO_E_OK
         : ip < ipEnd ? LZO_E_INPUT_NOT_CONSUMED
                      : LZO_E_INPUT_OVERRUN;
input_overrun:
  result = LZO_E_INPUT_OVERRUN;
  goto stop;
output_overrun:
  result = LZO_E_OUTPUT_OVERRUN;
  goto stop;
lookbehind_overrun:
  result = LZO_E_LOOKBEHIND_OVERRUN;
stop:
  *outLength = written();
  return result;
}

}  // namespace kob
