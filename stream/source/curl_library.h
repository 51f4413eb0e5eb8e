// SPDX-License-Identifier: GPL-2.0-or-later
//
// libcurl, loaded when the first URL is opened and not before: a program
// that reads no URL (the tools' every other use, a program linked with the
// library) never maps it nor the thirty-odd libraries behind it. Only the
// headers are needed to build; at run time libcurl-gnutls.so.4 is opened
// (Debian's libcurl3-gnutls), or else libcurl.so.4, which has the same
// interface. It stays loaded until the process ends.

#ifndef KOB_SOURCE_CURL_LIBRARY_H
#define KOB_SOURCE_CURL_LIBRARY_H

#include <curl/curl.h>

#include <string>

namespace kob {

// The functions of libcurl the sources use, looked up by name.
struct CurlLibrary {
  CURL* (*easyInit)();
  void (*easyCleanup)(CURL*);
  void (*easyReset)(CURL*);
  CURLcode (*easySetopt)(CURL*, CURLoption, ...);
  CURLcode (*easyGetinfo)(CURL*, CURLINFO, ...);
  CURLM* (*multiInit)();
  CURLMcode (*multiCleanup)(CURLM*);
  CURLMcode (*multiAddHandle)(CURLM*, CURL*);
  CURLMcode (*multiRemoveHandle)(CURLM*, CURL*);
  CURLMcode (*multiPerform)(CURLM*, int*);
  CURLMcode (*multiPoll)(CURLM*, curl_waitfd*, unsigned int, int, int*);
  CURLMsg* (*multiInfoRead)(CURLM*, int*);
  curl_slist* (*slistAppend)(curl_slist*, const char*);
  void (*slistFreeAll)(curl_slist*);
};

// Returns: libcurl, loaded and initialised at the first call (from any
// thread, once); null when it cannot be loaded, `why` then saying why in
// the loader's words.
const CurlLibrary* loadCurl(std::string& why);

}  // namespace kob

#endif  // KOB_SOURCE_CURL_LIBRARY_H
