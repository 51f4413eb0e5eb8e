// SPDX-License-Identifier: GPL-2.0-or-later
//
// The one door into a file to be read: a local path, standard input ("-"),
// a descriptor, or a URL of any scheme the library reads. KobFile,
// kob::SharedReader, the scan, the salvage, the saved index and the tools
// all open what they read here, by the same rules, and so answer alike:
//
//   kob::OpenRules rules;
//   rules.needSeek = true;      // positional reads need a file that seeks
//   rules.needPacked = true;    // and this caller reads packed files only
//   kob::OpenedFile file = kob::openFile("dictionary.data.kob", rules);
//   if (!file.ok()) { /* file.failure().describe() */ }
//
// A name is dispatched by its scheme through one table inside the library
// (see kob_names.h): what is not a URL is a local path. A stream (a pipe,
// FIFO, terminal or standard input that is one) loses no byte to the test
// for the signature: the bytes it gave up are served first.

#ifndef KOB_KOB_OPEN_H
#define KOB_KOB_OPEN_H

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kob_export.h"
#include "kob_failure.h"

namespace kob {

class Source;  // where the bytes come from, inside the library

// Settings for s3:// URLs that a caller gives in place of the environment's
// (a program that keeps them in its own configuration, Python's fsspec
// storage options). Each one given comes before its AWS_* variable and the
// profile's files; one left empty is found as source/aws_settings.h says.
// A value holding a control byte is refused (EINVAL), as are an endpoint
// that is no http or https URL and a region that cannot be one.
struct S3Options {
  // "http[s]://HOST[:PORT][/PATH]": a store that speaks S3's interface.
  std::string endpoint;
  std::string region;
  // Credentials: a key with its secret (and token, if any) is taken alone,
  // whatever the environment holds; a profile named is read for its own
  // keys, the environment's set aside, as AWS's command line reads
  // --profile.
  std::string accessKey;
  std::string secretKey;     // never shown
  std::string sessionToken;  // never shown
  std::string profile;
  // Requests go unsigned (a public bucket), whatever credentials are found.
  bool anonymous = false;
};

// What the caller accepts. Each refusal comes before a byte is read.
struct OpenRules {
  // "-" names standard input (read from where it stands); otherwise it is
  // a file named "-".
  bool dashIsStandardInput = false;
  // Refuse what cannot be read at any offset: a FIFO (never opened, since
  // opening one waits for a writer), a pipe, a terminal, a socket (ESPIPE)
  // and a directory (EISDIR).
  bool needSeek = false;
  // Refuse a file that does not begin with the packed signature
  // (Damage::NotPacked).
  bool needPacked = false;
  // A symbolic link as the last component of a local name: followed, or
  // refused with ELOOP.
  bool followLinks = true;
  // Refuse anything but a regular file (a FIFO unopened): EISDIR for a
  // directory, ESPIPE for the rest. localStatus() then says what it was.
  bool regularOnly = false;
  // Read the first bytes to test for the signature. Without, nothing is
  // read until the caller reads, and packed() is false: for a caller that
  // takes any file as data (a packer reading a FIFO need not wait for it
  // before its output exists).
  bool testSignature = true;
  // Read a regular file through a mapping of it into memory, with no read
  // and no copy of its bytes. Only for files nobody cuts short while they
  // are read: a mapped file cut short kills the reader with SIGBUS where a
  // read would come back short.
  bool mapIntoMemory = false;
  // An https server's certificate (a web server's, an object store's) may
  // chain to the certificate authorities in this PEM file, beside those
  // libcurl trusts by itself (on Debian, /etc/ssl/certs), as curl's
  // --cacert has it; so may the certificate of the server of its saved
  // index. Empty: CURL_CA_BUNDLE names the file, else SSL_CERT_FILE, else
  // none. A certificate that chains to none is refused (EACCES). A file
  // that cannot be read fails the first https request with EACCES, its
  // detail naming it; a name that holds a NUL byte fails with EINVAL.
  std::string caFile;
  // An s3:// URL is read with these (and its saved index beside it too).
  S3Options s3;
};

// Which saved index a reader takes up.
struct IndexChoice {
  enum class Where { Beside, None, At };
  Where where = Where::Beside;
  std::string name;  // for At: a path or URL

  // NAME.kbi beside the file (none for standard input or a bare
  // descriptor), no index, or the one at `name`.
  static IndexChoice beside() { return {}; }
  static IndexChoice none() { return {Where::None, {}}; }
  static IndexChoice at(std::string name) { return {Where::At, std::move(name)}; }
};

// A file opened for reading, its first bytes tested for the signature.
// Movable, not copyable; closes what it holds.
class KOB_EXPORT OpenedFile {
 public:
  OpenedFile();
  ~OpenedFile();
  OpenedFile(OpenedFile&&) noexcept;
  OpenedFile& operator=(OpenedFile&&) noexcept;
  OpenedFile(const OpenedFile&) = delete;
  OpenedFile& operator=(const OpenedFile&) = delete;

  // Returns: ok() when open; else why not: an errno (ENOENT, EACCES,
  // ESPIPE, EISDIR, ELOOP, ETIMEDOUT, EPROTONOSUPPORT for a scheme this
  // build cannot read, EINVAL for a malformed URL, ...) or
  // Damage::NotPacked.
  const Failure& failure() const { return why; }
  bool ok() const { return why.ok(); }

  // Returns: whether the file begins with the packed signature.
  bool packed() const { return isPacked; }
  // Returns: whether it can be read at any offset (not a stream).
  bool seekable() const;
  // Returns: whether it is standard input.
  bool isStandardInput() const { return standardInput; }

  // The name it was opened by ("-" for standard input, "" for a bare
  // descriptor), and that name as a message shows it.
  const std::string& name() const { return given; }
  std::string shownName() const;
  // The name of the saved index `choice` names for it: by default the one
  // beside it, "" where none can be (standard input, a bare descriptor).
  std::string indexName(const IndexChoice& choice = IndexChoice::beside()) const;

  // A local file's status as it was opened (fstat), also when a rule
  // refused it; null for an object elsewhere, or a name that did not open.
  const struct stat* localStatus() const;
  // The local file's descriptor, which stays this object's; -1 for an
  // object elsewhere.
  int descriptor() const;
  // The file's size in bytes where known (a regular file, an object
  // elsewhere); -1 for a stream.
  std::int64_t size() const;

  // Reads the file in order from its start: the bytes the probe took
  // first, then on. Returns: the bytes read, 0 at the end, -1 with errno
  // set when a read failed.
  long readOn(void* into, std::size_t count);

  // For the library's own readers: the source, and the bytes a stream
  // gave up to the probe. A file whose first read failed has its source
  // still (failure() says why), so that it reads as standard I/O would.
  std::unique_ptr<Source> takeSource();
  std::vector<unsigned char> takeConsumed();
  Source* source() const { return from.get(); }
  // The S3 settings it was opened with, for its saved index beside it.
  const S3Options& s3Options() const { return s3; }
  // The flags its signature holds (bytes 4 and 5; see doc/format.md), read
  // with the test for it: 0 when not packed.
  std::uint32_t signatureFlags() const { return flags; }

 private:
  friend OpenedFile openFile(const std::string&, const OpenRules&);
  friend OpenedFile openFile(int, const OpenRules&, const std::string&);
  friend OpenedFile openSource(std::unique_ptr<Source>, const std::string&,
                               const OpenRules&);

  std::unique_ptr<Source> from;
  std::vector<unsigned char> consumed;
  std::string given;
  S3Options s3;
  Failure why;
  bool isPacked = false;
  std::uint32_t flags = 0;
  bool standardInput = false;
  bool local = false;
  struct stat status {};
  std::int64_t nextRead = 0;  // readOn's place in the file
};

// Opens `name` by `rules`: a local path (or "-" where the rules say), or a
// URL. Returns: the file, or one with failure() set.
KOB_EXPORT OpenedFile openFile(const std::string& name,
                               const OpenRules& rules = OpenRules());

// Opens the descriptor `fd`, which is the returned object's from now on
// (closed even when this fails), as the file `name` (used only to find its
// saved index and for messages; may be empty).
KOB_EXPORT OpenedFile openFile(int fd, const OpenRules& rules = OpenRules(),
                               const std::string& name = std::string());

}  // namespace kob

#endif  // KOB_KOB_OPEN_H
