// kob: packed data files read back with random access.
//
// A packed file is the 6-byte signature "KOB" 0x01 0x00 0x00, then chunks of
// at most 16384 uncompressed bytes (by default), each compressed on its own
// with LZO1X-999 behind a 6-byte header, then an end marker:
//
//   header  = chunkDataSize  (uint16, big-endian: uncompressed bytes)
//             chunkSize      (uint16, big-endian: payload bytes that follow)
//             lastChunkSize  (uint16, big-endian: chunkSize of the previous
//                             chunk, 0 for the first)
//   end     = a header whose chunkSize is 0
//
// KobFile reads such a file as if it were the plain file it was packed from:
// read, get, seek and tell count uncompressed bytes, and only the chunk that
// holds the bytes asked for is decompressed. A file without the signature is
// read, and a file opened in WRITEPLAIN is written, straight through standard
// I/O, so code written against KobFile handles both kinds alike.
//
// Memory: a writer holds its collection buffer (bufferSize bytes) and room
// for one compressed chunk. A reader holds at most one chunk's arrays: its
// decompressed data (at most 65535 bytes) and a read window with its payload
// and the headers on either side (at most 65547 bytes), plus a chunk
// index of 16 bytes for every chunk it has come across (1 MB for a 1 GB
// file of 16 KiB chunks). The index lets a seek move straight to the chunk
// it needs, reading one header, however far away that chunk is.
//
// Positions are unsigned 32-bit counts of uncompressed bytes; a compressed
// reader treats data beyond 4 GiB - 1 as damage. seek and tell return int,
// so positions of 2 GiB and more come back negative (cast them to unsigned).
//
// A KobFile is used by one thread at a time. Compression shares one static
// work area, so no two compressed writers may write chunks at the same time.

#ifndef KOB_KOB_H
#define KOB_KOB_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

// The modes of KobFile::open. Any mode other than READ and WRITE writes plain.
enum fileModes {
  READ = 1,       // read; packed or plain, as the file's first bytes say
  WRITE = 2,      // write in the packed format
  WRITEPLAIN = 3  // write a plain file
};

// Where a compressed reader stands in its current chunk.
enum AccessMode {
  START = 0,  // the chunk's header has been read, its payload not yet
  IN = 1,     // the chunk's payload has been read and decompressed
  END = 2     // the end marker has been read (or damage stopped the reader)
};

class KobFile {
 public:
  // A closed object with the default chunk size of 16384.
  KobFile();
  // Sets the chunk size, then opens `path` in `mode` (see open).
  KobFile(const char* path, int mode, int aBufferSize = 16384);
  // Closes the file as close() does.
  ~KobFile();

  // Copying would share the file handle; moving hands it over and leaves the
  // moved-from object closed. Move-assigning closes the target's file first.
  KobFile(const KobFile&) = delete;
  KobFile& operator=(const KobFile&) = delete;
  KobFile(KobFile&& other) noexcept;
  KobFile& operator=(KobFile&& other) noexcept;

  // Opens `path`. A file still open is first closed exactly as close() would.
  //   READ:       a file whose first four bytes are "KOB" 0x01 is read as
  //               packed: the first chunk header is read, the position is 0.
  //               Any other file is read plain from offset 0.
  //   WRITE:      creates or truncates `path` and writes the signature. Fails
  //               without creating anything when bufferSize is not 1..65535.
  //   other:      creates or truncates `path` for plain writing.
  // Returns: isOpen(). On failure the object stays closed.
  bool open(const char* path, int mode);

  // Finishes and closes the file. A packed writer first writes the bytes it
  // still collects as the last chunk, then the end marker; a packed file is
  // complete only after close. Any number of calls is harmless.
  // Returns: 0; -1 when a write to the file failed (a short write, a failed
  // flush or close). With no file open: 0. Clears hasError().
  int close();

  // Reads up to `len` bytes into `buf`.
  // Returns: the bytes delivered; fewer than `len` (possibly 0) when the
  //   data ends or damage is found, and 0 on every later call.
  // Packed reader: the position moves by the count. A read of 0 bytes still
  //   brings the current chunk in, so right after the last byte it enters
  //   the end (isEOF() becomes true). Bytes of `buf` past the count returned
  //   are unspecified.
  // Plain file: fread(buf, 1, len, file). Packed writer or no file: 0.
  int read(unsigned char* buf, unsigned int len);

  // Writes `len` bytes from `buf`.
  // Returns: `len` (a packed writer collects the bytes and writes each full
  //   chunk at once; a failure to write it shows in hasError() and close()).
  // Plain file: fwrite(buf, 1, len, file). Packed reader or no file: 0.
  int write(const char* buf, unsigned int len);

  // Writes the low 8 bits of `c`.
  // Returns: `c` unchanged on a packed writer; on a plain file what fputc
  //   returns. Packed reader or no file: -1.
  int put(int c);

  // Reads one byte.
  // Returns: the byte as 0..255 and moves the position by one; -1 at the
  //   end of the data, on damage, and on every later call.
  // Plain file: fgetc(file). Packed writer or no file: -1.
  int get();

  // Moves the position. Packed reader: `whence` 0 counts `offset` from the
  //   start of the data; every other value (SEEK_END included) counts it
  //   from the current position. A target before the start lands on 0, one
  //   beyond the end lands on the end and enters it (isEOF() true).
  //   Only the chunk landed in is decompressed, and none when the target is
  //   the first byte of a chunk ahead of the current one.
  // Returns: packed reader: the new position (compare it with the target to
  //   see whether it was reached); after damage the position where the
  //   damage was found, without moving. Plain file: fseek(file, offset,
  //   whence), 0 on success and -1 on failure. Packed writer or no file: -1.
  int seek(int offset, int whence);

  // Returns: packed reader: the position, in uncompressed bytes. Packed
  //   writer: 0 (writing does not move it). Plain file: ftell(file).
  //   No file: -1.
  int tell();

  // Returns: packed reader: true once a read, get or seek has met the end of
  //   the data (not merely delivered its last byte), or damage was found,
  //   and straight after opening a file without data. Plain file:
  //   feof(file). Packed writer: false. No file: true.
  bool isEOF();

  // Returns: true while a file is open.
  bool isOpen();

  // Returns: true when the file last opened is packed (kept after close).
  bool isCompressed();

  // Returns: packed reader: true once damage was found: a header or payload
  //   cut short, a payload that does not decompress to exactly its stated
  //   size, a back-link that leads nowhere. The reader then stays in the end
  //   at the start of the damaged chunk and never serves a byte of it.
  //   Packed writer: true after any write that failed. Plain file:
  //   ferror(file). No file: false. Cleared by open and close.
  bool hasError();

  // The chunk size for the next packed writer opened, in uncompressed bytes.
  // A writer already open keeps the size it was opened with. Chunks whose
  // compressed form would exceed 65535 bytes are written as two chunks of
  // half the data each.
  int getBufferSize();
  void setBufferSize(int size);

 private:
  struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };

  // Writing.
  void openWriter();
  void writeChunkData();
  void writeChunk(const unsigned char* data, unsigned int length);

  // Reading.
  void openReader(const char* path);
  const unsigned char* fetch(long offset, std::size_t count,
                             std::size_t readAhead, std::size_t& available);
  bool readChunkHeader();
  bool enterNextChunk();
  void readChunkData();
  bool loadChunk(unsigned char* destination);
  void skipUsedChunks();
  void stopOnDamage();

  // Seeking.
  void seekBy(std::int64_t distance);
  void seekInsideChunk(std::int64_t distance);
  void seekToFirstChunk();
  bool seekThroughIndex(std::int64_t target, bool backward);
  bool jumpToChunk(std::size_t number);
  bool stopAtBrokenLink(std::size_t landing);
  void recordChunk(bool brokenLink);
  void seekBackward(std::int64_t distance);
  void seekForward(std::int64_t distance);

  void releaseArrays();
  void takeOver(KobFile& other) noexcept;

  std::unique_ptr<std::FILE, FileCloser> file;
  bool compressed = false;
  std::uint32_t chunkDataSize = 0;
  std::uint32_t chunkSize = 0;
  std::uint32_t lastChunkSize = 0;
  std::uint32_t totalReadBytes = 0;
  int fileMode = 0;
  int bufferSize = 16384;
  int bufferPos = 0;
  AccessMode accessMode = START;
  std::unique_ptr<unsigned char[]> buffer;
  std::unique_ptr<unsigned char[]> compressedBuffer;

  // The chunk size of the open writer, fixed at open.
  int writerChunkSize = 0;
  // A write failed (writer) or damage was found (reader).
  bool errorSeen = false;

  // Reader: the arrays are kept from chunk to chunk and grow only when a
  // chunk needs more (never beyond 65535 bytes each).
  std::uint32_t bufferCapacity = 0;
  std::uint32_t compressedCapacity = 0;
  // False when the current chunk was decompressed into a caller's buffer.
  bool bufferHoldsChunk = true;
  // File offset of the current chunk's header.
  long headerOffset = 0;
  // The read window: compressedBuffer holds the file's bytes from
  // windowStart on, windowLength of them; the file stands at filePosition
  // (-1 when unknown).
  long windowStart = 0;
  std::size_t windowLength = 0;
  long filePosition = 0;
  // False when the file ends inside the current header's back-link.
  bool hasBackLink = true;

  // The chunk index, learned from every header read in file order and never
  // written anywhere: where each chunk's header starts and the position of
  // its first byte. With it a seek moves straight to the chunk it needs.
  struct IndexEntry {
    long headerOffset;
    std::uint32_t position;
  };
  std::vector<IndexEntry> chunkIndex;
  // Numbers of the chunks whose back-link does not match the size of the
  // chunk before them, in ascending order.
  std::vector<std::size_t> brokenLinks;
  // The last entry is the end marker: every chunk is known.
  bool indexComplete = false;
  bool indexEnabled = true;
  // Number of the current chunk (or end marker) in file order.
  std::size_t chunkNumber = 0;

  friend class KobFileTestPeer;
};

#endif  // KOB_KOB_H
