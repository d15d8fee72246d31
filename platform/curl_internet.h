#pragma once
// The internet layer on libcurl. All sessions of one CurlInternet share one
// multi handle, driven by a thread of its own (curl_loop.h); each request is
// one easy handle on it, and the worker that opened the request waits on the
// request's own state for the headers and the body (curl_transfer.h). The
// loop buffers at most 32 KB of a body the worker has not read and pauses
// the transfer meanwhile, so memory stays bounded whatever the size of the
// answer.
//
// What a session does: HTTP/1.1; only http:// and https://, also on redirects
// (at most 20); TLS verified against the system's CA bundle; no cookies, no
// cache, "Pragma: no-cache" and "Cache-Control: no-cache" sent; the agent name
// as User-Agent; a connection of its own for every request, closed at its end
// (only the name cache and the CA store are shared). Errors carry libcurl's
// code and its message.
//
// Sessions and requests keep the loop alive: a CurlInternet may be destroyed
// while they are open, and they go on working. The loop's thread ends when the
// CurlInternet and the last of them are gone. Destroying a request ends its
// transfer and closes its connection at once, whatever it was doing.

#include <memory>
#include <string>

#include "internet.h"

namespace halvern {

class CurlLoop;

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
  ~CurlInternet() override;
  CurlInternet(const CurlInternet&) = delete;
  CurlInternet& operator=(const CurlInternet&) = delete;

  // Always reachable: the network is the system's business on Linux.
  std::optional<InternetError> AttemptConnect() override;
  // Fails (CURLE_FAILED_INIT) only when the loop cannot be started.
  SessionResult OpenSession(ProxyType type, const std::u16string& agent,
                            const std::u16string& proxy) override;

 private:
  CurlInternetOptions options_;
  std::shared_ptr<CurlLoop> loop_;
};

}  // namespace halvern
