#pragma once
// The internet layer as a site check uses it: a session opened by proxy mode,
// one address opened on it with reload semantics, the final answer's headers,
// and blocking reads of small chunks. platform/curl_internet.h serves it with
// libcurl; tests may put a fake in its place. Errors are values carrying the
// layer's own code and message, never exceptions.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace halvern {

struct InternetError {
  static constexpr int kNoCode = -1;
  int code = kNoCode;      // the layer's error code; kNoCode = no code given
  std::u16string message;  // the layer's own text for `code`; may be empty
};

// How a session reaches the servers.
enum class ProxyType {
  kPreconfigured,  // the system's proxy settings (the standard proxy variables)
  kDirect,         // no proxy, whatever the system says
  kProxy,          // through the HTTP proxy given as "host:port"
};

enum class InternetOption {
  kConnectTimeout,  // milliseconds to establish a connection
  // Once connected, milliseconds without any byte received, of the headers or
  // of the body, before the open or the read fails. No limit on the whole.
  kReceiveTimeout,
  kSendTimeout,  // milliseconds without progress while the request is sent
};

// Open flags of a request (the values of the classic internet library).
inline constexpr std::uint32_t kOpenReload = 0x80000000u;         // never answer from a cache
inline constexpr std::uint32_t kOpenNoCacheWrite = 0x04000000u;   // keep nothing in a cache
inline constexpr std::uint32_t kOpenNoCookies = 0x00080000u;      // neither send nor keep cookies
inline constexpr std::uint32_t kOpenPragmaNoCache = 0x00000100u;  // "Pragma: no-cache" header
inline constexpr std::uint32_t kCheckOpenFlags =
    kOpenReload | kOpenNoCacheWrite | kOpenNoCookies | kOpenPragmaNoCache;  // 0x84080100

// Session and request options. Setting one returns false when refused.
class InternetHandle {
 public:
  virtual ~InternetHandle() = default;
  [[nodiscard]] virtual bool SetOption(InternetOption option, std::uint32_t value) = 0;
};

// The headers of the final answer, after redirects. A header the answer lacks
// keeps the preset shown.
struct ResponseHeaders {
  std::uint32_t statusCode = 0;
  std::u16string statusText;        // the server's reason phrase
  std::uint32_t contentLength = 0;  // 0 when none was declared
  std::u16string contentType;
};

// How long the phases of one request took, each in milliseconds measured from
// the start of the request (libcurl's timing information), and the body bytes
// that arrived. A phase that did not happen has no time: no TLS for http://,
// no connection when the name could not be resolved, no first byte when no
// answer came.
struct TransferTimings {
  std::optional<double> dnsMs;        // name resolved
  std::optional<double> connectMs;    // TCP connection up
  std::optional<double> tlsMs;        // TLS handshake done
  std::optional<double> firstByteMs;  // first byte of the answer
  std::optional<double> totalMs;      // the answer complete, or the request ended
  std::uint64_t bodyBytes = 0;
};

struct ReadResult {
  std::size_t bytes = 0;  // 0 = the answer is complete (or the read failed)
  std::optional<InternetError> error;
};

// One opened address. Not thread-safe; used by the thread that opened it.
class InternetRequest : public InternetHandle {
 public:
  virtual const ResponseHeaders& Headers() const = 0;
  // Blocks until at least one byte of the body arrives, the body ends, or the
  // receive timeout passes; copies at most `size` bytes (callers ask for at
  // most 1024). Memory stays bounded whatever the size of the answer.
  [[nodiscard]] virtual ReadResult Read(void* buffer, std::size_t size) = 0;
  // The phase times so far; the total is the time until now while the answer
  // is still arriving. A layer that does not measure gives none.
  [[nodiscard]] virtual TransferTimings Timings() { return {}; }
};

struct OpenResult {
  std::unique_ptr<InternetRequest> request;  // none on failure
  InternetError error;
  TransferTimings timings;  // of a failed open, as far as it got
};

// One session: at most one request at a time. Not thread-safe.
class InternetSession : public InternetHandle {
 public:
  // Opens `url` (only http:// and https://, also on redirects) and blocks until
  // the final answer's headers have arrived. The request must be destroyed
  // before the session.
  [[nodiscard]] virtual OpenResult OpenUrl(const std::u16string& url, std::uint32_t flags) = 0;
};

struct SessionResult {
  std::unique_ptr<InternetSession> session;  // none on failure
  InternetError error;
};

// The layer itself: thread-safe; every check opens a session of its own.
class Internet {
 public:
  virtual ~Internet() = default;
  // Whether the machine can reach the network at all: nothing when it can.
  [[nodiscard]] virtual std::optional<InternetError> AttemptConnect() = 0;
  // `proxy` is used only with ProxyType::kProxy.
  [[nodiscard]] virtual SessionResult OpenSession(ProxyType type, const std::u16string& agent,
                                                  const std::u16string& proxy) = 0;
};

}  // namespace halvern
