// SPDX-License-Identifier: GPL-2.0-or-later
#include "http_server.h"

#include "common/unique_fd.h"
#include "kob_index.h"
#include "source/s3_source.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
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
#include <istream>
#include <sstream>
#include <thread>

extern char** environ;

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

// The raw value of `name` in one JSON line of the S3 server's log (sorted
// keys, no nesting but the query's list): a string unescaped, "" for null.
std::string jsonField(const std::string& line, const std::string& name) {
  const std::string label = "\"" + name + "\": ";
  const std::size_t at = line.find(label);
  if (at == std::string::npos) return "";
  std::size_t i = at + label.size();
  if (line.compare(i, 4, "null") == 0) return "";
  if (line[i] != '"') return line.substr(i, line.find_first_of(",}", i) - i);
  std::string value;
  for (++i; i < line.size() && line[i] != '"'; ++i) {
    if (line[i] == '\\' && i + 1 < line.size()) ++i;
    value += line[i];
  }
  return value;
}

// The process's AWS_* variables and their values.
std::map<std::string, std::string> awsVariables() {
  std::map<std::string, std::string> found;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (text.rfind("AWS_", 0) == 0) {
      const std::size_t equals = text.find('=');
      found[text.substr(0, equals)] = text.substr(equals + 1);
    }
  }
  return found;
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
         << "  log_format kob escape=none '$request_method $status $body_bytes_sent "
            "\"$http_range\" $request_uri $uri';\n"
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
  const std::string path = scratch.root().string() + "/data/" + name;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  return path;
}

std::string Nginx::url(const std::string& name) const {
  return (secure ? "https" : "http") + std::string("://127.0.0.1:") + std::to_string(listening) +
         "/" + kob::encodedKey(name);
}

std::vector<Logged> Nginx::logged() const {
  std::vector<Logged> found;
  std::istringstream lines(readFile(scratch.root().string() + "/access.log"));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    Logged request;
    words >> request.method >> request.status >> request.bytes >> std::ws;
    std::getline(words, request.range, ' ');
    words >> request.path >> std::ws;
    std::getline(words, request.name);
    request.range = request.range.substr(1, request.range.size() - 2);  // unquoted
    if (request.range == "-") request.range.clear();
    request.name.erase(0, 1);  // the slash
    found.push_back(request);
  }
  return found;
}

std::vector<Logged> ObjectServer::requests() const {
  settledCount();
  return logged();
}

std::size_t ObjectServer::settledCount() const {
  std::size_t count = logged().size();
  for (int same = 0, i = 0; same < 3 && i < 50; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::size_t now = logged().size();
    same = now == count ? same + 1 : 0;
    count = now;
  }
  return count;
}

S3Server::S3Server(const std::vector<std::string>& extra) {
  const std::string root = scratch.path("root");
  std::filesystem::create_directories(root + "/bkt");
  std::filesystem::create_directories(root + "/open");
  writeFile(scratch.path("credentials"), std::string(kS3Key) + " " + kS3Secret + "\n" +
                                             kS3TemporaryKey + " " + kS3TemporarySecret + " " +
                                             kS3Token + "\n");
  std::vector<std::string> arguments = {
      "/usr/bin/python3", S3_SERVER_PATH, "--root", root, "--port", "0", "--port-file",
      scratch.path("port"), "--log", scratch.path("log"), "--region", kS3Region,
      "--credentials", scratch.path("credentials"), "--public", "open", "--lifetime", "900"};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  pid = spawn(arguments, scratch.path("server.out"));
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!fileExists(scratch.path("port"))) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      pid = -1;
      problem = WIFEXITED(status) && WEXITSTATUS(status) == 77
                    ? "botocore is missing (apt-get install python3-botocore)"
                    : "s3_server.py did not start: " + readFile(scratch.path("server.out"));
      return;
    }
    if (std::chrono::steady_clock::now() > until) {
      stop(pid);
      problem = "s3_server.py did not start in time";
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  address = "http://127.0.0.1:" + readFile(scratch.path("port"));
  while (!address.empty() && address.back() == '\n') address.pop_back();
}

S3Server::~S3Server() { stop(pid); }

std::string S3Server::object(const std::string& key, const std::string& bucket) const {
  const std::string path = scratch.path("root/" + bucket + "/" + key);
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  return path;
}

std::map<std::string, std::string> S3Server::settings(bool temporary) const {
  std::map<std::string, std::string> set = {
      {"AWS_ENDPOINT_URL_S3", address},
      {"AWS_REGION", kS3Region},
      {"AWS_ACCESS_KEY_ID", temporary ? kS3TemporaryKey : kS3Key},
      {"AWS_SECRET_ACCESS_KEY", temporary ? kS3TemporarySecret : kS3Secret}};
  if (temporary) set["AWS_SESSION_TOKEN"] = kS3Token;
  return set;
}

std::string S3Server::logText() const {
  settledCount();
  return readFile(scratch.path("log"));
}

std::vector<Logged> S3Server::logged() const {
  std::vector<Logged> found;
  std::istringstream lines(readFile(scratch.path("log")));
  for (std::string line; std::getline(lines, line);) {
    Logged r;
    r.method = jsonField(line, "method");
    r.name = jsonField(line, "key");
    r.path = jsonField(line, "path");
    r.range = jsonField(line, "range");
    r.code = jsonField(line, "code");
    r.accessKey = jsonField(line, "access_key");
    r.status = std::atoi(jsonField(line, "status").c_str());
    r.bytes = std::atoll(jsonField(line, "bytes").c_str());
    r.isSigned = jsonField(line, "signed") == "true";
    found.push_back(r);
  }
  return found;
}

AwsEnvironment::AwsEnvironment(const std::map<std::string, std::string>& set) {
  for (const auto& [name, value] : awsVariables()) saved[name] = value;
  for (const auto& [name, value] : saved) unsetenv(name.c_str());
  setenv("AWS_CONFIG_FILE", "/nonexistent/config", 1);
  setenv("AWS_SHARED_CREDENTIALS_FILE", "/nonexistent/credentials", 1);
  for (const auto& [name, value] : set) setenv(name.c_str(), value.c_str(), 1);
}

AwsEnvironment::~AwsEnvironment() {
  for (const auto& [name, value] : awsVariables()) unsetenv(name.c_str());
  for (const auto& [name, value] : saved) setenv(name.c_str(), value.c_str(), 1);
}

void writeIndexBeside(const std::string& path) {
  const kob::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_GE(fd.get(), 0) << path;
  std::FILE* out = std::fopen((path + ".kbi").c_str(), "wb");
  ASSERT_NE(out, nullptr) << path;
  EXPECT_TRUE(kob::writeIndex(fd.get(), out).ok()) << path;
  EXPECT_EQ(std::fclose(out), 0);
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
