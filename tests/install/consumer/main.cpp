// Packs two lines, reads the second back through a stream, prints it.
#include <kob.h>
#include <kob_streambuf.h>

#include <iostream>
#include <string>

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
  return line == "second line" ? 0 : 1;
}
