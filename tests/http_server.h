// SPDX-License-Identifier: GPL-2.0-or-later
// Web servers on loopback for the tests that read URLs: Debian's nginx run
// as the test's user in a scratch folder, the S3 server (tests/s3_server.py,
// which checks every signature with botocore's signer), and a small server
// of faults (tests/fault_server.py) that misbehaves as it is told.

#ifndef KOB_TESTS_HTTP_SERVER_H
#define KOB_TESTS_HTTP_SERVER_H

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "test_util.h"

namespace kobtest {

// A port on 127.0.0.1 that nothing listens on at the moment.
int freePort();

// Waits up to `ms` for 127.0.0.1:`port` to take connections.
bool waitForPort(int port, int ms);

// Makes a certificate authority of its own in `folder` with openssl:
// `name`.pem and `name`.key, trusted by nobody. Returns whether it could.
bool makeAuthority(const std::string& folder, const std::string& name);

// One request as a server logged it, once its answer had gone: `name` is
// the object's (the path without its first slash, decoded, or the S3
// key), `path` as sent; `code`, `accessKey` and `isSigned` are the S3
// server's alone.
struct Logged {
  std::string method, name, path, range, code, accessKey;
  int status = 0;
  long long bytes = 0;
  bool isSigned = false;
};

// A server of the files under a folder as objects, on 127.0.0.1: nginx, or
// the S3 server. The tests of what every remote source does run against
// each.
class ObjectServer {
 public:
  virtual ~ObjectServer() = default;
  // Whether it could be started here (nginx or botocore may be missing).
  virtual bool running() const = 0;
  virtual const std::string& why() const = 0;
  // Where the object `name` lies on the disk (its folders made).
  virtual std::string data(const std::string& name = "") const = 0;
  // Its URL, the name encoded as a path.
  virtual std::string url(const std::string& name) const = 0;
  // The requests logged so far.
  virtual std::vector<Logged> logged() const = 0;

  // The requests logged, once their count has settled: a server logs a
  // request once its answer has gone, a moment after the reader has it.
  std::vector<Logged> requests() const;
  std::size_t settledCount() const;
};

// nginx serving the folder data() at url(NAME).
class Nginx final : public ObjectServer {
 public:
  // With `tls`, it serves https with a certificate for 127.0.0.1 from an
  // authority made here (authority(): its PEM file), trusted by nobody.
  explicit Nginx(bool tls = false);
  ~Nginx() override;
  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;

  bool running() const override { return pid > 0; }
  const std::string& why() const override { return problem; }
  std::string data(const std::string& name = "") const override;
  std::string url(const std::string& name) const override;
  std::vector<Logged> logged() const override;
  int port() const { return listening; }
  std::string authority() const { return scratch.root().string() + "/ca.pem"; }

 private:
  TempDir scratch;
  pid_t pid = -1;
  int listening = 0;
  bool secure = false;
  std::string problem;
};

// tests/s3_server.py serving the bucket "bkt" (signed requests only) and
// "open" (public) in region kS3Region, which knows a long-term key and a
// temporary one that needs its token. `extra` are more of its options.
constexpr char kS3Key[] = "AKIDKOBTEST";
constexpr char kS3Secret[] = "kob/Secret+Key0123";
constexpr char kS3TemporaryKey[] = "ASIAKOBTEST";
constexpr char kS3TemporarySecret[] = "Temporary-Secret-987";
constexpr char kS3Token[] = "Session/Token+=abc";
constexpr char kS3Region[] = "eu-west-3";

class S3Server final : public ObjectServer {
 public:
  explicit S3Server(const std::vector<std::string>& extra = {});
  ~S3Server() override;
  S3Server(const S3Server&) = delete;
  S3Server& operator=(const S3Server&) = delete;

  bool running() const override { return pid > 0; }
  const std::string& why() const override { return problem; }
  // The object `name` of the bucket "bkt".
  std::string data(const std::string& name = "") const override { return object(name); }
  std::string url(const std::string& name) const override { return "s3://bkt/" + name; }
  std::vector<Logged> logged() const override;

  std::string object(const std::string& key, const std::string& bucket = "bkt") const;
  // The AWS_* settings a reader of this server signs with: the long-term
  // key, or the temporary one and its token.
  std::map<std::string, std::string> settings(bool temporary = false) const;
  // The log's text, once settled (to look for secrets in).
  std::string logText() const;
  const std::string& endpoint() const { return address; }

 private:
  TempDir scratch;
  pid_t pid = -1;
  std::string address;
  std::string problem;
};

// The process's AWS_* variables cleared (and no settings file of the
// machine's read), then `set`; put back as they were at the end.
class AwsEnvironment {
 public:
  explicit AwsEnvironment(const std::map<std::string, std::string>& set = {});
  ~AwsEnvironment();
  AwsEnvironment(const AwsEnvironment&) = delete;
  AwsEnvironment& operator=(const AwsEnvironment&) = delete;

 private:
  std::map<std::string, std::string> saved;
};

// Writes the saved index of the packed file at `path` to `path`.kbi.
void writeIndexBeside(const std::string& path);

// The fault server: `mode` says how it answers (see fault_server.py), for
// the file `file` served at url().
class FaultServer {
 public:
  FaultServer(const std::string& file, const std::string& mode);
  ~FaultServer();
  FaultServer(const FaultServer&) = delete;
  FaultServer& operator=(const FaultServer&) = delete;

  bool running() const { return pid > 0; }
  std::string url(const std::string& name = "data.kob") const;
  // The requests for the file it has answered, as it counts them.
  int requests() const;
  // The requests it answered (the index's and 404s too), by start time.
  struct Answered {
    std::string path;
    double start = 0, end = 0;
  };
  std::vector<Answered> answered() const;
  // The longest chain of those answered, each starting after the one
  // before ended: the round trips a reader waited for, one after another.
  int roundTrips() const;
  // The bytes of bodies it sent in mode whole before the reader hung up.
  long long sent() const;

 private:
  TempDir scratch;
  pid_t pid = -1;
  int listening = 0;
};

}  // namespace kobtest

#endif  // KOB_TESTS_HTTP_SERVER_H
