// SPDX-License-Identifier: GPL-2.0-or-later
#include "http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace kobtest {
namespace {

pid_t spawn(const std::vector<std::string>& arguments, const std::string& log) {
  const pid_t child = fork();
  if (child != 0) return child;
  std::vector<char*> argv;
  for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::freopen("/dev/null", "r", stdin);
  std::freopen(log.c_str(), "a", stdout);
  std::freopen(log.c_str(), "a", stderr);
  execv(argv[0], argv.data());
  _exit(127);
}

void stop(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  for (int i = 0; i < 200; ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  pid = -1;
}

}  // namespace

int freePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

bool waitForPort(int port, int ms) {
  const auto until =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < until) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool up =
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    if (up) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

bool makeAuthority(const std::string& folder, const std::string& name) {
  const std::string make =
      "cd '" + folder + "' && openssl req -x509 -newkey ec -pkeyopt "
      "ec_paramgen_curve:P-256 -nodes -days 2 -subj '/CN=kob test authority " + name +
      "' -keyout '" + name + ".key' -out '" + name + ".pem' >/dev/null 2>&1";
  return std::system(make.c_str()) == 0;
}

Nginx::Nginx(bool tls) : secure(tls) {
  const std::string nginx = "/usr/sbin/nginx";
  if (access(nginx.c_str(), X_OK) != 0) {
    problem = "nginx is not installed";
    return;
  }
  const std::string root = scratch.root().string();
  std::filesystem::create_directories(root + "/data");
  std::filesystem::create_directories(root + "/temp");
  if (tls) {
    // The server's key and request, signed by the authority for its
    // address.
    const std::string make =
        "cd '" + root + "' && openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 "
        "-nodes -subj /CN=127.0.0.1 -keyout key.pem -out cert.csr && "
        "printf 'subjectAltName=IP:127.0.0.1\\n' >cert.ext && "
        "openssl x509 -req -in cert.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
        "-extfile cert.ext -out cert.pem";
    if (!makeAuthority(root, "ca") ||
        std::system(("(" + make + ") >/dev/null 2>&1").c_str()) != 0) {
      problem = "openssl cannot make a certificate";
      return;
    }
  }
  for (int attempt = 0; attempt < 3 && pid <= 0; ++attempt) {
    listening = freePort();
    std::ofstream conf(root + "/nginx.conf");
    // As root, workers would otherwise fall to a user that cannot read the
    // scratch folder.
    if (geteuid() == 0) conf << "user root;\n";
    conf << "daemon off;\nmaster_process on;\nworker_processes 1;\n"
         << "pid " << root << "/nginx.pid;\n"
         << "error_log " << root << "/error.log;\n"
         << "events { worker_connections 64; }\n"
         << "http {\n"
         << "  log_format kob '$request_method $uri $status $body_bytes_sent "
            "\"$http_range\"';\n"
         << "  access_log " << root << "/access.log kob;\n"
         << "  client_body_temp_path " << root << "/temp/body;\n"
         << "  proxy_temp_path " << root << "/temp/proxy;\n"
         << "  fastcgi_temp_path " << root << "/temp/fastcgi;\n"
         << "  default_type application/octet-stream;\n"
         << "  keepalive_requests 10000;\n"
         << "  server {\n"
         << "    listen 127.0.0.1:" << listening << (tls ? " ssl" : "") << ";\n"
         << (tls ? "    ssl_certificate " + root + "/cert.pem;\n    ssl_certificate_key " +
                       root + "/key.pem;\n"
                 : std::string())
         << "    root " << root << "/data;\n"
         << "  }\n"
         << "}\n";
    conf.close();
    pid = spawn({nginx, "-p", root, "-c", root + "/nginx.conf", "-e",
                 root + "/error.log"},
                root + "/nginx.out");
    if (!waitForPort(listening, 5000)) {
      stop(pid);
      problem = "nginx did not start: " + readFile(root + "/error.log") +
                readFile(root + "/nginx.out");
    }
  }
}

Nginx::~Nginx() { stop(pid); }

std::string Nginx::data(const std::string& name) const {
  return scratch.root().string() + "/data/" + name;
}

std::string Nginx::url(const std::string& name) const {
  return (secure ? "https" : "http") + std::string("://127.0.0.1:") + std::to_string(listening) + "/" + name;
}

std::vector<Nginx::Request> Nginx::requests() const {
  std::vector<Request> found;
  std::istringstream lines(readFile(scratch.root().string() + "/access.log"));
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    Request request;
    words >> request.method >> request.uri >> request.status >> request.bytes;
    std::getline(words, request.range);
    found.push_back(request);
  }
  return found;
}

std::size_t Nginx::settledCount() const {
  std::size_t count = requests().size();
  for (int i = 0; i < 10; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::size_t now = requests().size();
    if (now == count && i >= 2) break;
    count = now;
  }
  return count;
}

FaultServer::FaultServer(const std::string& file, const std::string& mode) {
  const std::string root = scratch.root().string();
  for (int attempt = 0; attempt < 3 && pid <= 0; ++attempt) {
    listening = freePort();
    pid = spawn({"/usr/bin/python3", FAULT_SERVER_PATH, std::to_string(listening),
                 file, mode, root + "/count"},
                root + "/server.log");
    if (!waitForPort(listening, 5000)) stop(pid);
  }
}

FaultServer::~FaultServer() { stop(pid); }

std::string FaultServer::url(const std::string& name) const {
  return "http://127.0.0.1:" + std::to_string(listening) + "/" + name;
}

int FaultServer::requests() const {
  const std::string text = readFile(scratch.root().string() + "/count");
  return text.empty() ? 0 : std::stoi(text);
}

std::vector<FaultServer::Answered> FaultServer::answered() const {
  // The server writes a line once its answer has gone: the last may come
  // a moment after the reader has its bytes.
  const std::string log = scratch.root().string() + "/count.times";
  std::string text = readFile(log);
  for (int same = 0, i = 0; same < 3 && i < 50; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const std::string now = readFile(log);
    same = now == text ? same + 1 : 0;
    text = now;
  }
  std::vector<Answered> found;
  std::istringstream lines(text);
  Answered one;
  while (lines >> one.path >> one.start >> one.end) found.push_back(one);
  std::sort(found.begin(), found.end(),
            [](const Answered& a, const Answered& b) { return a.start < b.start; });
  return found;
}

int FaultServer::roundTrips() const {
  const std::vector<Answered> all = answered();
  std::vector<int> chain(all.size(), 1);
  int longest = 0;
  for (std::size_t i = 0; i < all.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (all[j].end <= all[i].start) chain[i] = std::max(chain[i], chain[j] + 1);
    }
    longest = std::max(longest, chain[i]);
  }
  return longest;
}

long long FaultServer::sent() const {
  std::istringstream text(readFile(scratch.root().string() + "/count"));
  long long requests = 0, bytes = 0;
  text >> requests >> bytes;
  return bytes;
}

}  // namespace kobtest
