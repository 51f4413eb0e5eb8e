// SPDX-License-Identifier: GPL-2.0-or-later
//
// Lookups over HTTP: kob and htslib's BGZF (with its .gzi) read from the
// same nginx on loopback, in the same run. For each, the requests and the
// body bytes nginx logged, and the time, per lookup of 100 bytes at a random
// position: cold (a fresh reader for each lookup) and warm (one reader for
// all), kob with and without its saved index, and sealed (its seal its
// index). BGZF cannot seek without its index, so it is measured with it
// only.
//
//   usage: http_lookup CORPUS [LOOKUPS]
//
// Needs nginx (/usr/sbin/nginx) and the kob tool (to pack, with its index).

#include <htslib/bgzf.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kob.h"

namespace {

namespace fs = std::filesystem;

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

int freePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

bool up(int port) {
  for (int i = 0; i < 250; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok =
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

struct Log {
  std::string path;
  // Requests and body bytes logged so far, once the count has settled.
  std::pair<long, long long> totals() const {
    std::pair<long, long long> last{-1, 0};
    for (int i = 0; i < 20; ++i) {
      std::istringstream lines(readAll(path));
      std::string line;
      std::pair<long, long long> now{0, 0};
      while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string method, uri;
        int status = 0;
        long long bytes = 0;
        words >> method >> uri >> status >> bytes;
        ++now.first;
        now.second += bytes;
      }
      if (now == last) return now;
      last = now;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return last;
  }
};

struct Figures {
  double requests = 0, bytes = 0, micros = 0;
};

void print(const char* what, const Figures& f) {
  std::printf("%-34s %10.2f %14.0f %12.0f\n", what, f.requests, f.bytes,
              f.micros);
}

using Clock = std::chrono::steady_clock;

template <typename Lookup>
Figures cold(const Log& log, const std::vector<long>& positions, Lookup lookup) {
  Figures f;
  for (long at : positions) {
    const auto before = log.totals();
    const auto start = Clock::now();
    lookup(at);
    f.micros += std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    const auto after = log.totals();
    f.requests += static_cast<double>(after.first - before.first);
    f.bytes += static_cast<double>(after.second - before.second);
  }
  const double n = static_cast<double>(positions.size());
  return {f.requests / n, f.bytes / n, f.micros / n};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS [LOOKUPS]\n", argv[0]);
    return 2;
  }
  const int lookups = argc > 2 ? std::atoi(argv[2]) : 40;
  const std::string corpus = readAll(argv[1]);
  char scratchName[] = "/tmp/kob-http-bench.XXXXXX";
  if (mkdtemp(scratchName) == nullptr) return 1;
  const std::string scratch = scratchName;
  const std::string data = scratch + "/data";
  fs::create_directories(data);
  fs::create_directories(scratch + "/temp");
  std::ofstream(data + "/c", std::ios::binary) << corpus;

  // kob, with its index; the same file under another name without one;
  // the file sealed.
  const std::string pack = std::string("'") + KOB_TOOL + "' -q -i -T 0 '" + data + "/c'";
  if (std::system(pack.c_str()) != 0) return 1;
  fs::create_hard_link(data + "/c.kob", data + "/bare.kob");
  const std::string seal = std::string("'") + KOB_TOOL + "' -q -T 0 -o '" + data +
                           "/sealed.kob' '" + data + "/c'";
  if (std::system(seal.c_str()) != 0) return 1;
  // BGZF and its .gzi.
  std::ofstream(data + "/c", std::ios::binary) << corpus;
  BGZF* out = bgzf_open((data + "/c.gz").c_str(), "w");
  if (out == nullptr || bgzf_index_build_init(out) != 0 ||
      bgzf_write(out, corpus.data(), corpus.size()) < 0 || bgzf_flush(out) != 0 ||
      bgzf_index_dump(out, (data + "/c.gz").c_str(), ".gzi") != 0 ||
      bgzf_close(out) != 0) {
    std::fprintf(stderr, "cannot write BGZF\n");
    return 1;
  }

  const int port = freePort();
  {
    std::ofstream conf(scratch + "/nginx.conf");
    if (geteuid() == 0) conf << "user root;\n";
    conf << "daemon off;\nworker_processes 1;\npid " << scratch << "/nginx.pid;\n"
         << "error_log " << scratch << "/error.log;\n"
         << "events { worker_connections 64; }\nhttp {\n"
         << "  log_format kob '$request_method $uri $status $body_bytes_sent';\n"
         << "  access_log " << scratch << "/access.log kob;\n"
         << "  client_body_temp_path " << scratch << "/temp/body;\n"
         << "  proxy_temp_path " << scratch << "/temp/proxy;\n"
         << "  fastcgi_temp_path " << scratch << "/temp/fastcgi;\n"
         << "  default_type application/octet-stream;\n"
         << "  server { listen 127.0.0.1:" << port << "; root " << data << "; }\n}\n";
  }
  const pid_t nginx = fork();
  if (nginx == 0) {
    execl("/usr/sbin/nginx", "nginx", "-p", scratch.c_str(), "-c",
          (scratch + "/nginx.conf").c_str(), "-e", (scratch + "/error.log").c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  if (!up(port)) {
    std::fprintf(stderr, "nginx did not start\n");
    return 1;
  }
  const Log log{scratch + "/access.log"};
  const std::string base = "http://127.0.0.1:" + std::to_string(port) + "/";

  std::mt19937 rng(42);
  std::vector<long> positions;
  for (int i = 0; i < lookups; ++i) {
    positions.push_back(std::uniform_int_distribution<long>(
        0, static_cast<long>(corpus.size()) - 200)(rng));
  }
  bool wrong = false;
  auto check = [&](const char* got, long at) {
    if (corpus.compare(static_cast<std::size_t>(at), 100, got, 100) != 0) wrong = true;
  };
  auto kobLookup = [&](KobFile& file, long at) {
    unsigned char bytes[100];
    if (file.seek64(at, 0) != at || file.read(bytes, 100) != 100) wrong = true;
    check(reinterpret_cast<const char*>(bytes), at);
  };
  auto bgzfLookup = [&](BGZF* fp, long at) {
    char bytes[100];
    if (bgzf_useek(fp, at, SEEK_SET) != 0 || bgzf_read(fp, bytes, 100) != 100) {
      wrong = true;
      return;
    }
    check(bytes, at);
  };
  auto kobCold = [&](const std::string& name) {
    return cold(log, positions, [&](long at) {
      KobFile file;
      if (!file.open((base + name).c_str(), READ)) wrong = true;
      kobLookup(file, at);
    });
  };
  auto bgzfOpen = [&]() {
    BGZF* fp = bgzf_open((base + "c.gz").c_str(), "r");
    if (fp == nullptr || bgzf_index_load(fp, (base + "c.gz").c_str(), ".gzi") != 0) {
      std::fprintf(stderr, "htslib cannot open the URL\n");
      std::exit(1);
    }
    return fp;
  };

  std::printf("corpus %zu bytes; kob %ju bytes + index %ju; BGZF %ju + .gzi %ju; %d lookups of 100 bytes\n",
              corpus.size(), static_cast<std::uintmax_t>(fs::file_size(data + "/c.kob")),
              static_cast<std::uintmax_t>(fs::file_size(data + "/c.kob.kbi")),
              static_cast<std::uintmax_t>(fs::file_size(data + "/c.gz")),
              static_cast<std::uintmax_t>(fs::file_size(data + "/c.gz.gzi")), lookups);
  std::printf("%-34s %10s %14s %12s\n", "per lookup", "requests", "body bytes", "us");
  print("kob cold, with index", kobCold("c.kob"));
  print("kob cold, without index", kobCold("bare.kob"));
  print("kob cold, sealed", kobCold("sealed.kob"));
  print("htslib BGZF cold, with .gzi", cold(log, positions, [&](long at) {
          BGZF* fp = bgzfOpen();
          bgzfLookup(fp, at);
          bgzf_close(fp);
        }));
  // Warm: one reader, opened and used once before the count starts; closed
  // at the end, so that what its closing logs counts too.
  for (const char* name : {"c.kob", "bare.kob"}) {
    KobFile file;
    file.open((base + name).c_str(), READ);
    kobLookup(file, positions.back() / 2);
    Figures f = cold(log, positions, [&](long at) { kobLookup(file, at); });
    file.close();
    print(std::string("kob warm, ").append(name[0] == 'c' ? "with" : "without").append(" index").c_str(), f);
  }
  {
    BGZF* fp = bgzfOpen();
    bgzfLookup(fp, positions.back() / 2);
    const auto before = log.totals();
    Figures f = cold(log, positions, [&](long at) { bgzfLookup(fp, at); });
    bgzf_close(fp);
    const auto after = log.totals();
    // Requests logged only once their connection closed count here.
    f.requests = static_cast<double>(after.first - before.first) / lookups;
    f.bytes = static_cast<double>(after.second - before.second) / lookups;
    print("htslib BGZF warm, with .gzi", f);
  }
  // The whole object read in order (as kob -dc reads it), 64 KiB a read:
  // requests and bytes for all of it.
  {
    const auto before = log.totals();
    const auto start = Clock::now();
    KobFile file;
    if (!file.open((base + "c.kob").c_str(), READ)) wrong = true;
    std::string read;
    std::vector<unsigned char> bytes(65536);
    for (int got; (got = file.read(bytes.data(), 65536)) > 0;) {
      read.append(bytes.begin(), bytes.begin() + got);
    }
    file.close();
    const double micros =
        std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    const auto after = log.totals();
    if (read != corpus) wrong = true;
    std::printf("%-34s %10s %14s %12s\n", "whole object in order", "requests",
                "body bytes", "us");
    print("kob, with index", {static_cast<double>(after.first - before.first),
                              static_cast<double>(after.second - before.second), micros});
  }
  {
    const auto before = log.totals();
    const auto start = Clock::now();
    BGZF* fp = bgzfOpen();
    std::string read;
    std::vector<char> bytes(65536);
    for (ssize_t got; (got = bgzf_read(fp, bytes.data(), bytes.size())) > 0;) {
      read.append(bytes.data(), static_cast<std::size_t>(got));
    }
    bgzf_close(fp);
    const double micros =
        std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    const auto after = log.totals();
    if (read != corpus) wrong = true;
    print("htslib BGZF, with .gzi", {static_cast<double>(after.first - before.first),
                                     static_cast<double>(after.second - before.second), micros});
  }
  kill(nginx, SIGTERM);
  waitpid(nginx, nullptr, 0);
  fs::remove_all(scratch);
  if (wrong) {
    std::fprintf(stderr, "a lookup gave wrong bytes\n");
    return 1;
  }
  return 0;
}
