#include "kob_streambuf.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

namespace {

const KobStreamBuf::pos_type kFailed(KobStreamBuf::off_type(-1));

}  // namespace

KobStreamBuf::KobStreamBuf(KobFile& aFile) : file(aFile) {
  setg(buffer, buffer, buffer);
}

KobStreamBuf::int_type KobStreamBuf::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  int got = file.read(reinterpret_cast<unsigned char*>(buffer), kBufferSize);
  if (got <= 0) return traits_type::eof();
  setg(buffer, buffer, buffer + got);
  return traits_type::to_int_type(*gptr());
}

std::streamsize KobStreamBuf::xsgetn(char_type* s, std::streamsize count) {
  std::streamsize done = std::min<std::streamsize>(count, egptr() - gptr());
  std::memcpy(s, gptr(), static_cast<std::size_t>(done));
  gbump(static_cast<int>(done));
  // Large reads go straight to the caller's memory.
  while (done < count) {
    std::streamsize wanted = std::min<std::streamsize>(count - done, INT_MAX);
    if (wanted < static_cast<std::streamsize>(kBufferSize)) {
      if (traits_type::eq_int_type(underflow(), traits_type::eof())) break;
      std::streamsize n = std::min<std::streamsize>(wanted, egptr() - gptr());
      std::memcpy(s + done, gptr(), static_cast<std::size_t>(n));
      gbump(static_cast<int>(n));
      done += n;
      continue;
    }
    int got = file.read(reinterpret_cast<unsigned char*>(s + done),
                        static_cast<unsigned int>(wanted));
    if (got <= 0) break;
    done += got;
  }
  return done;
}

KobStreamBuf::off_type KobStreamBuf::position() {
  return file.tell64() - (egptr() - gptr());
}

KobStreamBuf::pos_type KobStreamBuf::seekoff(off_type offset,
                                             std::ios_base::seekdir direction,
                                             std::ios_base::openmode which) {
  if (!(which & std::ios_base::in) || !file.isOpen()) return kFailed;
  if (direction == std::ios_base::cur) {
    if (offset == 0) return position();  // tellg: nothing moves
    return moveTo(position() + offset);
  }
  if (direction == std::ios_base::end) {
    setg(buffer, buffer, buffer);
    off_type size = -1;
    if (file.isCompressed()) {
      size = file.seek64(INT64_MAX, 0);
    } else if (file.seek64(0, SEEK_END) == 0) {
      size = file.tell64();
    }
    if (size < 0) return kFailed;
    return moveTo(size + offset);
  }
  return moveTo(offset);
}

KobStreamBuf::pos_type KobStreamBuf::seekpos(pos_type position,
                                             std::ios_base::openmode which) {
  return seekoff(off_type(position), std::ios_base::beg, which);
}

KobStreamBuf::pos_type KobStreamBuf::moveTo(off_type target) {
  setg(buffer, buffer, buffer);
  if (target < 0) return kFailed;
  if (file.isCompressed()) {
    return file.seek64(target, 0) == target ? pos_type(target) : kFailed;
  }
  return file.seek64(target, SEEK_SET) == 0 ? pos_type(target) : kFailed;
}
