// SPDX-License-Identifier: GPL-2.0-or-later
#include "write/plain_writer.h"

#include <sys/types.h>

namespace kob {

int PlainWriter::seek(std::int64_t offset, int whence) {
  return fseeko(file.get(), static_cast<off_t>(offset), whence) == 0 ? 0 : -1;
}

std::int64_t PlainWriter::tell() { return ftello(file.get()); }

int PlainWriter::close() {
  bool failed = std::ferror(file.get()) != 0;
  if (std::fclose(file.release()) != 0) failed = true;
  return failed ? -1 : 0;
}

}  // namespace kob
