// Preloaded into a tool under test in place of pthread_create: counts the
// threads the tool starts and, as it exits, writes the count to the file
// that KOB_THREADS_REPORT names.

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<int> started{0};

struct Report {
  ~Report() {
    const char* path = std::getenv("KOB_THREADS_REPORT");
    if (path == nullptr) return;
    if (std::FILE* out = std::fopen(path, "w")) {
      std::fprintf(out, "%d\n", started.load());
      std::fclose(out);
    }
  }
} report;

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*start)(void*), void* argument) {
  using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*),
                         void*);
  static const Create realCreate =
      reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
  const int result = realCreate(thread, attributes, start, argument);
  if (result == 0) ++started;
  return result;
}
