// SPDX-License-Identifier: GPL-2.0-or-later
// Web servers on loopback for the tests that read URLs: Debian's nginx run
// as the test's user in a scratch folder, and a small server of faults
// (tests/fault_server.py) that misbehaves as it is told.

#ifndef KOB_TESTS_HTTP_SERVER_H
#define KOB_TESTS_HTTP_SERVER_H

#include <sys/types.h>

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

// nginx serving the folder data() at url(NAME). Every request is logged,
// one line each: "METHOD URI STATUS BODY_BYTES_SENT RANGE".
class Nginx {
 public:
  // With `tls`, it serves https with a certificate for 127.0.0.1 from an
  // authority made here (authority(): its PEM file), trusted by nobody.
  explicit Nginx(bool tls = false);
  ~Nginx();
  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;

  // Whether nginx could be started here (it may not be installed).
  bool running() const { return pid > 0; }
  const std::string& why() const { return problem; }

  std::string data(const std::string& name = "") const;
  std::string url(const std::string& name) const;
  int port() const { return listening; }
  std::string authority() const { return scratch.root().string() + "/ca.pem"; }

  struct Request {
    std::string method, uri;
    int status = 0;
    long long bytes = 0;
    std::string range;
  };
  // The requests logged so far.
  std::vector<Request> requests() const;
  // How many requests have been logged; waits a moment for the count to
  // settle, since nginx logs a request once its answer has gone.
  std::size_t settledCount() const;

 private:
  TempDir scratch;
  pid_t pid = -1;
  int listening = 0;
  bool secure = false;
  std::string problem;
};

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
