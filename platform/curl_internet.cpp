#include "curl_internet.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <mutex>
#include <string_view>
#include <vector>

namespace halvern {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr long kMaxRedirects = 20;
constexpr int kPollSliceMs = 1000;
// libcurl itself ends a connection phase (name lookup, TCP, TLS, proxy tunnel)
// at the connect timeout; the request's own watch only steps in this much
// later, as a guard that no connection attempt can hang a check.
constexpr std::uint32_t kConnectGuardMs = 1000;

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Header values are ISO-8859-1 on the wire; libcurl's messages are ASCII.
std::u16string FromLatin1(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (unsigned char c : text) out.push_back(c);
  return out;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' ||
                           text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; };
    if (lower(text[i]) != lower(prefix[i])) return false;
  }
  return true;
}

bool IsHttpUrl(std::string_view url) {
  return StartsWithNoCase(url, "http://") || StartsWithNoCase(url, "https://");
}

InternetError CurlError(CURLcode code, const char* detail) {
  const char* text = (detail != nullptr && detail[0] != '\0') ? detail : curl_easy_strerror(code);
  return InternetError{static_cast<int>(code), FromLatin1(text)};
}

struct Timeouts {
  std::uint32_t connectMs = 60000;
  std::uint32_t receiveMs = 60000;
  std::uint32_t sendMs = 60000;

  bool Set(InternetOption option, std::uint32_t value) {
    switch (option) {
      case InternetOption::kConnectTimeout:
        connectMs = value;
        return true;
      case InternetOption::kReceiveTimeout:
        receiveMs = value;
        return true;
      case InternetOption::kSendTimeout:
        sendMs = value;
        return true;
    }
    return false;
  }
};

struct SessionConfig {
  ProxyType proxyType = ProxyType::kDirect;
  std::string agent;
  std::string proxy;
  std::string caFile;
};

class CurlSession;

// One transfer on the session's handles. The write callback takes a libcurl
// block only when the previous one has been read out; otherwise it pauses the
// transfer, and libcurl keeps that one block until Read resumes it.
class CurlRequest final : public InternetRequest {
 public:
  CurlRequest(CURL* easy, CURLM* multi, const Timeouts& timeouts, const char* errorBuffer)
      : easy_(easy), multi_(multi), timeouts_(timeouts), errorBuffer_(errorBuffer) {}
  ~CurlRequest() override {
    if (added_) curl_multi_remove_handle(multi_, easy_);
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, nullptr);  // the list dies here
    curl_slist_free_all(headerList_);
  }

  // Starts the transfer and waits for the final answer's headers.
  std::optional<InternetError> Open(const std::string& url, const SessionConfig& config,
                                    std::uint32_t flags);

  bool SetOption(InternetOption option, std::uint32_t value) override {
    return timeouts_.Set(option, value);
  }
  const ResponseHeaders& Headers() const override { return headers_; }
  ReadResult Read(void* buffer, std::size_t size) override;

 private:
  // Where the transfer stands, for the timeout that applies to it.
  enum class Phase {
    kConnecting,  // until a connection is up: libcurl's connect timeout
    kSending,     // the request goes out: the send timeout since connecting
    kReceiving,   // headers and body: the receive timeout since the last byte
  };

  static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* self);
  static std::size_t OnWrite(char* data, std::size_t size, std::size_t count, void* self);
  static int OnConnected(void* self, char*, char*, int, int);
  void ParseHeaderLine(std::string_view line);
  bool Available() const { return pending_ < block_.size(); }
  // Moves from sending to receiving once libcurl counts the request as sent.
  void NoteRequestSent();
  // How long the transfer may go on without progress in its present phase.
  std::chrono::milliseconds StallLimit() const;
  // Drives the transfer until `ready()` holds, it ends, or it makes no
  // progress for longer than its phase allows. Returns false when it ended
  // without `ready()`.
  template <typename Ready>
  bool Pump(Ready ready);

  CURL* easy_;
  CURLM* multi_;
  Timeouts timeouts_;
  const char* errorBuffer_;
  curl_slist* headerList_ = nullptr;
  bool added_ = false;

  ResponseHeaders headers_;
  bool sawLocation_ = false;
  bool headersFinal_ = false;

  std::vector<char> block_;  // the parked block; bytes before `pending_` were read
  std::size_t pending_ = 0;
  bool paused_ = false;
  bool done_ = false;
  std::optional<InternetError> error_;
  Phase phase_ = Phase::kConnecting;
  long requestSizeAtConnect_ = 0;
  SteadyClock::time_point lastProgress_;
};

int CurlRequest::OnConnected(void* self, char*, char*, int, int) {
  auto* request = static_cast<CurlRequest*>(self);
  request->phase_ = Phase::kSending;
  request->lastProgress_ = SteadyClock::now();
  long size = 0;
  curl_easy_getinfo(request->easy_, CURLINFO_REQUEST_SIZE, &size);
  request->requestSizeAtConnect_ = size;
  return CURL_PREREQFUNC_OK;
}

void CurlRequest::NoteRequestSent() {
  if (phase_ != Phase::kSending) return;
  long size = 0;
  curl_easy_getinfo(easy_, CURLINFO_REQUEST_SIZE, &size);
  if (size <= requestSizeAtConnect_) return;
  phase_ = Phase::kReceiving;
  lastProgress_ = SteadyClock::now();
}

std::chrono::milliseconds CurlRequest::StallLimit() const {
  switch (phase_) {
    case Phase::kConnecting:
      return std::chrono::milliseconds(std::uint64_t{timeouts_.connectMs} + kConnectGuardMs);
    case Phase::kSending:
      return std::chrono::milliseconds(timeouts_.sendMs);
    case Phase::kReceiving:
      break;
  }
  return std::chrono::milliseconds(timeouts_.receiveMs);
}

std::size_t CurlRequest::OnHeader(char* data, std::size_t size, std::size_t count, void* self) {
  auto* request = static_cast<CurlRequest*>(self);
  request->phase_ = Phase::kReceiving;  // an answer arrives: the request is out
  request->lastProgress_ = SteadyClock::now();
  request->ParseHeaderLine(std::string_view(data, size * count));
  return size * count;
}

void CurlRequest::ParseHeaderLine(std::string_view line) {
  if (StartsWithNoCase(line, "HTTP/")) {
    // A new answer (after a redirect or an interim answer): forget the last one.
    headers_ = ResponseHeaders{};
    sawLocation_ = false;
    std::string_view rest = line.substr(std::min(line.find(' '), line.size()));
    rest = Trim(rest);
    const std::size_t space = rest.find(' ');
    const std::string_view code = rest.substr(0, space);
    std::uint32_t value = 0;
    for (char c : code) {
      if (c < '0' || c > '9') break;
      value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    headers_.statusCode = value;
    if (space != std::string_view::npos) headers_.statusText = FromLatin1(Trim(rest.substr(space)));
    return;
  }
  if (Trim(line).empty()) {
    const std::uint32_t code = headers_.statusCode;
    const bool redirect = code >= 300 && code < 400 && sawLocation_;
    if (code >= 200 && !redirect) headersFinal_ = true;
    // libcurl follows a redirect, possibly over a new connection, whose
    // connect phase has a timeout of its own.
    if (redirect) phase_ = Phase::kConnecting;
    return;
  }
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return;
  const std::string_view name = Trim(line.substr(0, colon));
  const std::string_view value = Trim(line.substr(colon + 1));
  if (StartsWithNoCase(name, "content-length") && name.size() == 14) {
    std::uint64_t length = 0;
    for (char c : value) {
      if (c < '0' || c > '9') break;
      length = std::min<std::uint64_t>(length * 10 + static_cast<std::uint64_t>(c - '0'),
                                       std::numeric_limits<std::uint32_t>::max());
    }
    headers_.contentLength = static_cast<std::uint32_t>(length);
  } else if (StartsWithNoCase(name, "content-type") && name.size() == 12) {
    headers_.contentType = FromLatin1(value);
  } else if (StartsWithNoCase(name, "location") && name.size() == 8) {
    sawLocation_ = true;
  }
}

std::size_t CurlRequest::OnWrite(char* data, std::size_t size, std::size_t count, void* self) {
  auto* request = static_cast<CurlRequest*>(self);
  if (request->Available()) {
    request->paused_ = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  request->lastProgress_ = SteadyClock::now();
  request->phase_ = Phase::kReceiving;
  request->headersFinal_ = true;  // body bytes come only after the final headers
  request->block_.assign(data, data + size * count);
  request->pending_ = 0;
  return size * count;
}

template <typename Ready>
bool CurlRequest::Pump(Ready ready) {
  // Time spent outside (a paused transfer while the caller had the block)
  // is not time the server kept us waiting.
  lastProgress_ = SteadyClock::now();
  while (!ready()) {
    if (done_) return false;
    int running = 0;
    curl_multi_perform(multi_, &running);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      done_ = true;
      if (message->data.result != CURLE_OK) error_ = CurlError(message->data.result, errorBuffer_);
    }
    if (ready()) return true;
    if (done_) return false;
    NoteRequestSent();
    const auto idle = SteadyClock::now() - lastProgress_;
    const auto limit = StallLimit();
    if (idle >= limit) {
      done_ = true;
      error_ = CurlError(CURLE_OPERATION_TIMEDOUT, nullptr);
      return false;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - idle).count();
    curl_multi_poll(multi_, nullptr, 0, static_cast<int>(std::min<long long>(left, kPollSliceMs)),
                    nullptr);
  }
  return true;
}

std::optional<InternetError> CurlRequest::Open(const std::string& url, const SessionConfig& config,
                                               std::uint32_t flags) {
  // Refused here, not only by libcurl's protocol list: libcurl would guess a
  // scheme for an address without one.
  if (!IsHttpUrl(url)) return CurlError(CURLE_UNSUPPORTED_PROTOCOL, nullptr);

  curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(easy_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy_, CURLOPT_USERAGENT, config.agent.c_str());
  curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts_.connectMs));
  curl_easy_setopt(easy_, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &CurlRequest::OnHeader);
  curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlRequest::OnWrite);
  curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy_, CURLOPT_PREREQFUNCTION, &CurlRequest::OnConnected);
  curl_easy_setopt(easy_, CURLOPT_PREREQDATA, this);
  if (!config.caFile.empty()) curl_easy_setopt(easy_, CURLOPT_CAINFO, config.caFile.c_str());
  // No cookie engine is ever enabled; libcurl keeps no cache, and the headers
  // ask every cache on the way not to answer for the server.
  if (flags & (kOpenPragmaNoCache | kOpenReload)) {
    headerList_ = curl_slist_append(headerList_, "Pragma: no-cache");
    headerList_ = curl_slist_append(headerList_, "Cache-Control: no-cache");
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headerList_);
  }
  switch (config.proxyType) {
    case ProxyType::kPreconfigured:
      break;  // libcurl reads http_proxy, https_proxy, no_proxy ...
    case ProxyType::kDirect:
      curl_easy_setopt(easy_, CURLOPT_PROXY, "");
      curl_easy_setopt(easy_, CURLOPT_NOPROXY, "*");
      break;
    case ProxyType::kProxy:
      curl_easy_setopt(easy_, CURLOPT_PROXY, config.proxy.c_str());
      curl_easy_setopt(easy_, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
      curl_easy_setopt(easy_, CURLOPT_NOPROXY, "");
      break;
  }

  if (curl_multi_add_handle(multi_, easy_) != CURLM_OK) {
    return CurlError(CURLE_FAILED_INIT, nullptr);
  }
  added_ = true;
  // No overall limit: each phase has its own, and receiving restarts its
  // clock with every byte, of the headers as of the body.
  Pump([this] { return headersFinal_; });
  if (headersFinal_ || !error_) return std::nullopt;  // a failure after the headers shows in Read
  return error_;
}

ReadResult CurlRequest::Read(void* buffer, std::size_t size) {
  if (!Available() && paused_) {
    paused_ = false;
    block_.clear();
    pending_ = 0;
    curl_easy_pause(easy_, CURLPAUSE_CONT);  // may hand over the parked block at once
  }
  if (!Available()) Pump([this] { return Available(); });
  if (!Available()) return ReadResult{0, error_};
  const std::size_t n = std::min(size, block_.size() - pending_);
  std::memcpy(buffer, block_.data() + pending_, n);
  pending_ += n;
  return ReadResult{n, std::nullopt};
}

class CurlSession final : public InternetSession {
 public:
  CurlSession(CURL* easy, CURLM* multi, SessionConfig config)
      : easy_(easy), multi_(multi), config_(std::move(config)) {
    errorBuffer_[0] = '\0';
    curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorBuffer_);
  }
  ~CurlSession() override {
    curl_multi_cleanup(multi_);
    curl_easy_cleanup(easy_);
  }

  bool SetOption(InternetOption option, std::uint32_t value) override {
    return timeouts_.Set(option, value);
  }

  OpenResult OpenUrl(const std::u16string& url, std::uint32_t flags) override {
    auto request = std::make_unique<CurlRequest>(easy_, multi_, timeouts_, errorBuffer_);
    if (auto error = request->Open(ToUtf8(url), config_, flags)) return {nullptr, *error};
    return {std::move(request), {}};
  }

 private:
  CURL* easy_;
  CURLM* multi_;
  SessionConfig config_;
  Timeouts timeouts_;
  char errorBuffer_[CURL_ERROR_SIZE];
};

}  // namespace

void InitCurlGlobal() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CurlInternet::CurlInternet(CurlInternetOptions options) : options_(std::move(options)) {}

std::optional<InternetError> CurlInternet::AttemptConnect() { return std::nullopt; }

SessionResult CurlInternet::OpenSession(ProxyType type, const std::u16string& agent,
                                        const std::u16string& proxy) {
  CURL* easy = curl_easy_init();
  CURLM* multi = curl_multi_init();
  if (easy == nullptr || multi == nullptr) {
    if (multi != nullptr) curl_multi_cleanup(multi);
    if (easy != nullptr) curl_easy_cleanup(easy);
    return {nullptr, CurlError(CURLE_FAILED_INIT, nullptr)};
  }
  SessionConfig config{type, ToUtf8(agent), ToUtf8(proxy), options_.caFile};
  return {std::make_unique<CurlSession>(easy, multi, std::move(config)), {}};
}

}  // namespace halvern
