// SPDX-License-Identifier: GPL-2.0-or-later
//
// kob: packed data files read back with random access.
//
// A packed file is the 6-byte signature "KOB" 0x01 0x00 0x00 ("KOB" 0x01
// 0x01 0x00 when sealed), then chunks of at most 16384 uncompressed bytes (by
// default), each compressed on its own with LZO1X-999 behind a 6-byte
// header, then an end marker:
//
//   header  = chunkDataSize  (uint16, big-endian: uncompressed bytes)
//             chunkSize      (uint16, big-endian: payload bytes that follow)
//             lastChunkSize  (uint16, big-endian: chunkSize of the previous
//                             chunk, 0 for the first)
//   end     = a header whose chunkSize is 0; nothing follows it (in a
//             sealed file, its trailer: see Damage below)
//
// KobFile reads such a file as if it were the plain file it was packed from:
// read, get, seek and tell count uncompressed bytes, and only the chunk that
// holds the bytes asked for is decompressed. A file without the signature is
// read, and a file opened in WRITEPLAIN is written, straight through standard
// I/O, so code written against KobFile handles both kinds alike.
//
// Positions. seek64 and tell64 take and give 64-bit positions: packed data
// of any length reads and writes. The int forms seek and tell give the same
// answers below 4 GiB; positions of 2 GiB and more come back negative (cast
// them to unsigned), and where a position does not fit 32 bits they fail
// with -1 instead of answering wrongly.
//
// Streams. A pipe, FIFO, terminal or other character device opened in READ
// loses no byte to the test for the signature. A plain stream reads through
// in full; a packed stream reads in order, and seeks forward, but a seek
// that would have to go back before the current chunk fails with -1 and
// changes nothing. A sealed stream's trailer comes after its data: each
// header and payload checksum is kept as it passes (10 bytes a chunk of the
// member) and compared with the trailer when it comes; so the data is
// served first, and the reader stops at the end on the first chunk unlike
// its record.
//
// Damage. A sealed file (see doc/format.md, "The seal"; `kob` seals what it
// packs, KobFile writes the plain format) carries a checksum of every
// payload in a trailer after its end marker: opened from a file that can
// seek, the reader reads the trailer once, checks it, finds every chunk
// from it, and checks each header it meets and each payload it reads
// against its record before serving a byte of it (HeaderUnlikeSeal,
// PayloadUnlikeSeal; TrailerDamaged for a trailer missing, cut short or
// not the file's; ioError() ESTALE when the file was rewritten since it
// was opened). A saved index beside a sealed file is not read. A plain
// file has no checksums of its own; its saved index (see kob::writeIndex)
// keeps one of every payload. What the reader detects, it never serves: a
// header or payload cut short, a payload the decompressor rejects or that
// does not expand to its stated size, data after the end marker, a
// back-link that does not match the chunk before, and, under a saved index
// with checksums, a payload that does not match its checksum
// (ChecksumMismatch; or ioError() ESTALE when the file was rewritten since
// the index was read). It then stops for good, in the end at the start of
// the damaged chunk (see hasError and damage). The same calls on the same
// file give the same bytes and the same error, whatever the reader did
// before: its chunk index only makes it faster.
//
// Memory: a writer holds its collection buffer (bufferSize bytes) and room
// for one compressed chunk. A reader holds one chunk's data (at most 65535
// bytes), a read window of at most 128 KiB plus a chunk, and a chunk index of
// about 2 bytes for every chunk holding data that it has come across (6 with
// the checksums of a saved index: 390 KB for 1 GB of data in 16 KiB chunks;
// a sealed file's trailer instead, about 10.4 bytes a chunk, 670 KB for 1 GB
// of data in 16 KiB chunks).
//
// Threads: a KobFile is used by one thread at a time; any number of
// KobFiles may read and write in different threads at once.

#ifndef KOB_KOB_H
#define KOB_KOB_H

#include <cstdint>
#include <cstdio>
#include <memory>

#include "kob_damage.h"
#include "kob_export.h"
#include "kob_failure.h"
#include "kob_limits.h"

// The modes of KobFile::open. Any mode other than READ and WRITE writes plain.
enum fileModes {
  READ = 1,       // read; packed or plain, as the file's first bytes say
  WRITE = 2,      // write in the packed format
  WRITEPLAIN = 3  // write a plain file
};

// Where a packed reader stands in its current chunk.
enum AccessMode {
  START = 0,  // the chunk's header has been read, its payload not yet
  IN = 1,     // the chunk's payload has been read and decompressed
  END = 2     // the end marker has been read (or the reader stopped)
};

namespace kob {
struct IndexChoice;
class OpenedFile;
class PlainWriter;
class PlainReader;
class PackedReader;
class PackedWriter;
}  // namespace kob

class KOB_EXPORT KobFile {
 public:
  // A closed object with the default chunk size, kob::kDefaultChunkSize
  // (16384).
  KobFile();
  // Sets the chunk size, then opens `path` in `mode` (see open).
  KobFile(const char* path, int mode,
          int aBufferSize = kob::kDefaultChunkSize);
  // Closes the file as close() does.
  ~KobFile();

  // Copying would share the file; moving hands it over and leaves the
  // moved-from object closed. Move-assigning closes the target's file first.
  KobFile(const KobFile&) = delete;
  KobFile& operator=(const KobFile&) = delete;
  KobFile(KobFile&& other) noexcept;
  KobFile& operator=(KobFile&& other) noexcept;

  // Opens `path`. A file still open is first closed exactly as close() would.
  //   READ:       a file whose first four bytes are "KOB" 0x01 is read as
  //               packed: the first chunk header is read, the position is 0.
  //               When `path`.kbi holds an index that matches the file (see
  //               kob::writeIndex), seeks use it from the start, and every
  //               payload read is checked against its checksum there.
  //               Any other file is read plain from its first byte.
  //               A `path` that is a URL (kob::isRemote: http://,
  //               https://) is read with ranged requests (and its index
  //               from beside it, when the server has one); a local file
  //               of such a name is reached as "./http:...". An object
  //               that is not packed is read, and seeks, as a plain file
  //               (SEEK_END by the size the server gave). A read of an
  //               object that changed on the server fails with ESTALE.
  //               Fails with errno ENOENT (404), EACCES (401, 403),
  //               ETIMEDOUT, EIO (the server keeps failing), EINVAL (a
  //               malformed URL), and EPROTONOSUPPORT in a build without
  //               support for URLs. URLs are for READ only (other modes:
  //               EROFS). Every file to read is opened as kob::openFile
  //               opens it (kob_open.h).
  //   WRITE:      creates or truncates `path` and writes the signature. Fails
  //               without creating anything when bufferSize is not 1..65535.
  //   other:      creates or truncates `path` for plain writing.
  // Returns: isOpen(). On failure the object stays closed.
  bool open(const char* path, int mode);

  // As open, on the descriptor `fd`, which the object owns from now on (it
  // is closed even when this fails). For READ it may be a pipe or FIFO;
  // writing modes need a descriptor open for writing, at its start.
  bool openDescriptor(int fd, int mode);

  // As open in READ, for `file` opened already by kob::openFile (kob_open.h),
  // which the object takes over: with the rules the caller chose. Returns:
  // isOpen(); false with errno set when `file` failed to open.
  bool open(kob::OpenedFile&& file);

  // As openDescriptor, for a descriptor opened on the file at `path` (read
  // in READ only to find its saved index, `path`.kbi, which is used when it
  // matches the file open on `fd`). Returns: isOpen().
  bool openDescriptor(int fd, int mode, const char* path);

  // Finishes and closes the file. A packed writer first writes the bytes it
  // still collects as the last chunk, then the end marker; a packed file is
  // complete only after close. Any number of calls is harmless.
  // Returns: 0; -1 when a write to the file failed (a short write, a failed
  // flush or close), with errno saying why for a packed writer. With no
  // file open: 0. Clears hasError().
  int close();

  // Reads up to `len` bytes into `buf`.
  // Returns: the bytes delivered; fewer than `len` (possibly 0) when the
  //   data ends or the reader stopped, and 0 on every later call. At most
  //   INT_MAX bytes a call.
  // Packed reader: the position moves by the count. A read of 0 bytes still
  //   brings the current chunk in, so right after the last byte it enters
  //   the end (isEOF() becomes true). Bytes of `buf` past the count returned
  //   are unspecified.
  // Plain file: as fread(buf, 1, len, file). Writer or no file: 0.
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
  //   end of the data, after the reader stopped, and on every later call.
  // Plain file: as fgetc(file). Writer or no file: -1.
  int get();

  // Moves the position. Packed reader: `whence` 0 counts `offset` from the
  //   start of the data; every other value (SEEK_END included) counts it
  //   from the current position. A target before the start lands on 0, one
  //   beyond the end lands on the end and enters it (isEOF() true). A seek
  //   decompresses nothing; the next read decompresses the chunk landed in.
  //   A target at or beyond damage on the way stops the reader there.
  // Returns: packed reader: the new position (compare it with the target to
  //   see whether it was reached); after the reader stopped, its position,
  //   without moving; -1 on a stream when the target lies before the current
  //   chunk, with nothing changed. Plain file: as fseeko with `whence`
  //   SEEK_SET, SEEK_CUR or SEEK_END, but returning the new position, as
  //   for a packed file (a position past the end of a file read is allowed
  //   and reads nothing), or -1 on failure (a stream, a target before the
  //   start). Packed writer or no file: -1.
  std::int64_t seek64(std::int64_t offset, int whence);

  // As seek64, for positions below 4 GiB. Returns: packed reader: the new
  //   position as an int (negative from 2 GiB on); -1 with the position
  //   unchanged when it would land at 4 GiB or beyond, except where damage
  //   met on the way beyond 4 GiB stopped the reader (it stays stopped
  //   there, as after any seek that meets damage). Plain file: as fseek, 0
  //   on success and -1 on failure. Packed writer or no file: -1.
  int seek(int offset, int whence);

  // Returns: packed reader: the position, in uncompressed bytes. Packed
  //   writer: 0 (writing does not move it). Plain file: as ftello, -1 on a
  //   stream. No file: -1.
  std::int64_t tell64();

  // As tell64, for positions below 4 GiB (negative from 2 GiB on); -1 at
  // 4 GiB and beyond.
  int tell();

  // Returns: packed reader: true once a read, get or seek has met the end of
  //   the data (not merely delivered its last byte), or the reader stopped,
  //   and straight after opening a file without data. Plain file:
  //   feof(file). Packed writer: false. No file: true.
  bool isEOF();

  // Returns: true while a file is open.
  bool isOpen();

  // Returns: true when the file last opened is packed (kept after close).
  bool isCompressed();

  // Returns: packed reader: true once it stopped on damage (see damage()) or
  //   on a failed read (see ioError()); it then stays in the end at the
  //   start of the chunk concerned and never serves a byte of it. Packed
  //   writer: true after any write that failed. Plain file: as ferror.
  //   No file: false. Cleared by open and close.
  bool hasError();

  // Returns: packed reader: the damage it stopped on, kob::Damage::None when
  //   none (or when it stopped on a failed read). Otherwise None.
  kob::Damage damage();

  // Returns: packed reader: the errno of the read that failed, 0 when none
  //   (damage is not a read error). Otherwise 0.
  int ioError();

  // Returns: what hasError() reports, as one kob::Failure: packed reader:
  //   the damage or failed read it stopped on, with the chunk's number,
  //   the file offset of its header and the position of its first byte
  //   (where tell64() stands). Packed writer: the first write that failed
  //   (action Writing). Plain file: EIO once ferror(file) is set. ok()
  //   when hasError() is false.
  kob::Failure failure();

  // Partial decoding, off by default, trades a check for speed. A packed
  // reader then decompresses a chunk only as far as a read needs (and a
  // little more), not to its end: a lookup of a few hundred bytes costs
  // about half a chunk's decompression instead of a whole one. The bytes
  // served are the same on an undamaged file, and reading on in the chunk
  // decompresses the rest once. What is lost: a whole decode also checks
  // that the payload expands to exactly its stated size, so damage late in
  // a chunk that a read does not reach goes unnoticed (a read that reaches
  // the chunk's end still checks it whole). Applies to the file open now
  // and to every file opened after.
  void setPartialDecoding(bool on);

  // The saved index a packed file opened from now on takes up: `indexName`
  // (a path or URL; "" for none), or with null the one beside the file
  // (PATH.kbi), as by default. See kob_index.h.
  void setIndexFile(const char* indexName);

  // The chunk size for the next packed writer opened, in uncompressed bytes.
  // A writer already open keeps the size it was opened with. Chunks whose
  // compressed form would exceed 65535 bytes are written as two chunks of
  // half the data each.
  int getBufferSize();
  void setBufferSize(int size);

 private:
  bool openReading(kob::OpenedFile&& file);
  bool startWriting(std::FILE* file);

  std::unique_ptr<kob::PlainReader> plainReader;
  std::unique_ptr<kob::PlainWriter> plain;  // WRITEPLAIN
  std::unique_ptr<kob::PackedReader> reader;
  std::unique_ptr<kob::PackedWriter> writer;
  bool compressed = false;
  int fileMode = 0;
  int bufferSize = kob::kDefaultChunkSize;
  bool partialDecoding = false;
  std::unique_ptr<kob::IndexChoice> indexChoice;  // null: beside the file

  friend class KobFileTestPeer;
};

#endif  // KOB_KOB_H
