// SPDX-License-Identifier: GPL-2.0-or-later
// Packs two lines, reads the second back through a stream, prints it; then
// prints the library's version, which must be the headers' version.
#include <kob/kob.h>
#include <kob/kob_streambuf.h>
#include <kob/kob_version.h>

#include <cstring>
#include <iostream>
#include <string>

// In plain_names.cpp, which includes the headers as "kob.h".
std::string describeCutShort();

int main() {
  KobFile writer("consumer.kob", WRITE);
  writer.write("first line\nsecond line\n", 23);
  if (writer.close() != 0) return 1;

  KobFile reader("consumer.kob", READ);
  KobStreamBuf buffer(reader);
  std::istream in(&buffer);
  std::string line;
  in.seekg(11);
  std::getline(in, line);
  std::cout << (reader.isCompressed() ? "packed: " : "plain: ") << line << "\n";
  std::cout << "damage: " << describeCutShort() << "\n";
  std::cout << "version: " << kob::version() << "\n";
  if (std::strcmp(kob::version(), KOB_VERSION_STRING) != 0) return 1;
  return line == "second line" ? 0 : 1;
}
