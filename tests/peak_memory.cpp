// SPDX-License-Identifier: GPL-2.0-or-later
// peak_memory REPORT PROGRAM [ARGUMENT...]: runs PROGRAM and writes its peak
// resident memory in KiB to the file REPORT, then exits as PROGRAM did.
//
// A child's peak counts the memory it had before exec: forked from a large
// test process, a small program would seem large. Started afresh, this
// program is small, so what it reports is the program's own.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 3) return 127;
  const pid_t child = fork();
  if (child == 0) {
    execv(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (child < 0 || wait4(child, &status, 0, &usage) != child) return 127;
  std::FILE* report = std::fopen(argv[1], "w");
  if (report == nullptr) return 127;
  std::fprintf(report, "%ld\n", usage.ru_maxrss);
  std::fclose(report);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
