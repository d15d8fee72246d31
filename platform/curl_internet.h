#pragma once
// The internet layer on libcurl. Each session owns one easy handle and drives
// it with a multi handle of its own on the calling thread, so a request can
// hand out the body in small blocking reads: the write callback parks at most
// one libcurl block (pausing the transfer while it is not consumed), so memory
// stays bounded whatever the size of the answer.
//
// What a session does: HTTP/1.1; only http:// and https://, also on redirects
// (at most 20); TLS verified against the system's CA store; no cookies, no
// cache, "Pragma: no-cache" and "Cache-Control: no-cache" sent; the agent name
// as User-Agent. Errors carry libcurl's code and its message.

#include <string>

#include "internet.h"

namespace halvern {

// Initialises libcurl for the whole program; call it in main (and in tests)
// before any thread uses the layer. Further calls do nothing.
void InitCurlGlobal();

struct CurlInternetOptions {
  // A CA bundle used instead of the system's store; empty for the system's.
  // Tests point it at their own certificate.
  std::string caFile;
};

class CurlInternet final : public Internet {
 public:
  explicit CurlInternet(CurlInternetOptions options = {});
  // Always reachable: the network is the system's business on Linux.
  std::optional<InternetError> AttemptConnect() override;
  SessionResult OpenSession(ProxyType type, const std::u16string& agent,
                            const std::u16string& proxy) override;

 private:
  CurlInternetOptions options_;
};

}  // namespace halvern
