// SPDX-License-Identifier: GPL-2.0-or-later
#include "source/curl_library.h"

#include <dlfcn.h>

#include <mutex>

namespace kob {
namespace {

// The names tried, in order: the flavour the build's headers come from
// first. Both give libcurl's stable interface (soname version 4).
const char* const kLibraryNames[] = {"libcurl-gnutls.so.4", "libcurl.so.4"};

struct Loaded {
  CurlLibrary functions{};
  bool ok = false;
  std::string why;
};

template <typename Function>
bool find(void* library, const char* name, Function& into, std::string& why) {
  void* found = dlsym(library, name);
  if (found == nullptr) {
    why = std::string("libcurl lacks ") + name;
    return false;
  }
  into = reinterpret_cast<Function>(found);
  return true;
}

void load(Loaded& loaded) {
  void* library = nullptr;
  for (const char* name : kLibraryNames) {
    library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (library != nullptr) break;
    const char* error = dlerror();
    if (loaded.why.empty() && error != nullptr) loaded.why = error;
  }
  if (library == nullptr) return;
  CurlLibrary& f = loaded.functions;
  CURLcode (*globalInit)(long) = nullptr;
  std::string& why = loaded.why;
  why.clear();
  const bool all =
      find(library, "curl_global_init", globalInit, why) &&
      find(library, "curl_easy_init", f.easyInit, why) &&
      find(library, "curl_easy_cleanup", f.easyCleanup, why) &&
      find(library, "curl_easy_reset", f.easyReset, why) &&
      find(library, "curl_easy_setopt", f.easySetopt, why) &&
      find(library, "curl_easy_getinfo", f.easyGetinfo, why) &&
      find(library, "curl_multi_init", f.multiInit, why) &&
      find(library, "curl_multi_cleanup", f.multiCleanup, why) &&
      find(library, "curl_multi_add_handle", f.multiAddHandle, why) &&
      find(library, "curl_multi_remove_handle", f.multiRemoveHandle, why) &&
      find(library, "curl_multi_perform", f.multiPerform, why) &&
      find(library, "curl_multi_poll", f.multiPoll, why) &&
      find(library, "curl_multi_info_read", f.multiInfoRead, why) &&
      find(library, "curl_slist_append", f.slistAppend, why) &&
      find(library, "curl_slist_free_all", f.slistFreeAll, why);
  // Never closed: libcurl and its TLS library keep state until exit.
  if (!all) return;
  if (globalInit(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    why = "libcurl cannot be initialised";
    return;
  }
  loaded.ok = true;
}

}  // namespace

const CurlLibrary* loadCurl(std::string& why) {
  static Loaded loaded;
  static std::once_flag once;
  std::call_once(once, [] { load(loaded); });
  if (!loaded.ok) {
    why = loaded.why;
    return nullptr;
  }
  return &loaded.functions;
}

}  // namespace kob
