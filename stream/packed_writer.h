// The writing side of a packed file: collects data into a chunk buffer and
// writes each full buffer as one compressed chunk; close() writes the last
// chunk and the end marker.

#ifndef KOB_PACKED_WRITER_H
#define KOB_PACKED_WRITER_H

#include <cstdint>
#include <cstdio>
#include <memory>

namespace kob {

class PackedWriter {
 public:
  // Writes the signature to `file`, which it owns from now on. `chunkSize`
  // is 1..65535.
  PackedWriter(std::FILE* file, int chunkSize);
  // Finishes the file as close() does.
  ~PackedWriter();

  PackedWriter(const PackedWriter&) = delete;
  PackedWriter& operator=(const PackedWriter&) = delete;

  // Both return what they were given: a failure to write shows in
  // hasError() and in close().
  unsigned int write(const char* buf, unsigned int len);
  int put(int c);

  bool hasError() const;
  // Writes what is still collected and the end marker, then closes the
  // file. Returns 0, or -1 when any write failed. Later calls return 0.
  int close();

 private:
  struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };

  void writeChunkData();

  std::unique_ptr<std::FILE, FileCloser> file;
  // The chunk size, fixed at open.
  std::uint32_t bufferSize;
  std::uint32_t bufferPos = 0;
  // Payload size of the chunk written last, 0 before the first.
  std::uint32_t lastChunkSize = 0;
  std::unique_ptr<unsigned char[]> buffer;
  std::unique_ptr<unsigned char[]> compressedBuffer;
  bool errorSeen = false;
};

}  // namespace kob

#endif  // KOB_PACKED_WRITER_H
