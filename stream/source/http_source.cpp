// SPDX-License-Identifier: GPL-2.0-or-later
#include "source/http_source.h"

#include <cerrno>

#if KOB_HAVE_CURL
#include "source/remote_opening.h"
#include "source/remote_request.h"
#endif

namespace kob {

bool wellFormedUrl(const std::string& url) {
  for (const char c : url) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F) return false;
  }
  return true;
}

#if KOB_HAVE_CURL
namespace {

class HttpEndpoint final : public Endpoint {
 public:
  explicit HttpEndpoint(std::string aUrl) : address(std::move(aUrl)) {}
  const std::string& url() const override { return address; }

 private:
  std::string address;
};

}  // namespace
#endif

std::unique_ptr<Source> openHttp(const std::string& url, Purpose purpose,
                                 const OpenRules& /*rules: none for http*/,
                                 Failure& failure) {
  if (!wellFormedUrl(url)) {
    failure = Failure::ofError(EINVAL);
    failure.detail = "a URL holds no spaces nor control characters";
    return nullptr;
  }
#if !KOB_HAVE_CURL
  static_cast<void>(purpose);
  failure = Failure::ofError(EPROTONOSUPPORT);
  return nullptr;
#else
  return openRemote(
      url, purpose,
      [](const std::string& name, Failure&) -> std::unique_ptr<Endpoint> {
        return std::make_unique<HttpEndpoint>(name);
      },
      failure);
#endif
}

}  // namespace kob
