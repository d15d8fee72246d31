#include "curl_transfer.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace halvern {
namespace {

constexpr long kMaxRedirects = 20;
// libcurl itself ends a connection phase (name lookup, TCP, TLS, proxy tunnel)
// at the connect timeout; the request's own watch only steps in this much
// later, as a guard that no connection attempt can hang a check.
constexpr std::uint32_t kConnectGuardMs = 1000;
// The CA store is read once for all transfers of a loop and read again after
// this long, so that an update of the system's store is seen within the hour.
constexpr long kCaCacheSeconds = 3600;

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

bool IsNamed(std::string_view name, std::string_view wanted) {
  return name.size() == wanted.size() && StartsWithNoCase(name, wanted);
}

bool IsHttpUrl(std::string_view url) {
  return StartsWithNoCase(url, "http://") || StartsWithNoCase(url, "https://");
}

// One of libcurl's times (microseconds from the start) in milliseconds;
// nothing when the phase did not happen (libcurl reports 0 then).
std::optional<double> PhaseMs(CURL* easy, CURLINFO info) {
  curl_off_t us = 0;
  if (curl_easy_getinfo(easy, info, &us) != CURLE_OK || us <= 0) return std::nullopt;
  return static_cast<double>(us) / 1000.0;
}

}  // namespace

InternetError CurlError(int code, const char* detail) {
  const char* text = (detail != nullptr && detail[0] != '\0')
                         ? detail
                         : curl_easy_strerror(static_cast<CURLcode>(code));
  return InternetError{code, FromLatin1(text)};
}

bool CurlTimeouts::Set(InternetOption option, std::uint32_t value) {
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

std::shared_ptr<CurlTransfer> CurlTransfer::Make(const CurlRequestSettings& settings,
                                                 InternetError& error) {
  // Refused here, not only by libcurl's protocol list: libcurl would guess a
  // scheme for an address without one.
  if (!IsHttpUrl(settings.url)) {
    error = CurlError(CURLE_UNSUPPORTED_PROTOCOL, nullptr);
    return nullptr;
  }
  std::shared_ptr<CurlTransfer> transfer(new CurlTransfer);
  if (!transfer->Adopt(curl_easy_init()) || !transfer->Configure(settings)) {
    error = CurlError(CURLE_FAILED_INIT, nullptr);
    return nullptr;
  }
  return transfer;
}

CurlTransfer::~CurlTransfer() {
  if (easy() != nullptr) curl_easy_setopt(easy(), CURLOPT_HTTPHEADER, nullptr);
  curl_slist_free_all(headerList_);
}

namespace {

// Every connection is opened close-on-exec: HalvernRun and the other programs
// the process starts must not inherit a check's socket (libcurl's own
// socket() call does not ask for it).
curl_socket_t OpenCloseOnExecSocket(void*, curlsocktype, curl_sockaddr* address) {
  return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

}  // namespace

bool CurlTransfer::Configure(const CurlRequestSettings& settings) {
  CURL* easy = this->easy();
  curl_easy_setopt(easy, CURLOPT_URL, settings.url.c_str());
  curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &OpenCloseOnExecSocket);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy, CURLOPT_USERAGENT, settings.agent.c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings.connectTimeoutMs));
  curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer_);
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBlock);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CurlTransfer::OnHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlTransfer::OnWrite);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &CurlTransfer::OnConnected);
  curl_easy_setopt(easy, CURLOPT_PREREQDATA, this);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &CurlTransfer::OnProgress);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
  // Every check talks to its server afresh, on a connection of its own that
  // is closed at its end; only the name cache and the CA store are shared.
  curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
  curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
  // The CA store is the bundle alone (the system's, or the one given), without
  // the certificate folder beside it: libcurl caches a store read from a
  // bundle only, and the system's bundle holds every certificate of that folder.
  curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
  curl_easy_setopt(easy, CURLOPT_CA_CACHE_TIMEOUT, kCaCacheSeconds);
  if (!settings.caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, settings.caFile.c_str());
  // No cookie engine is ever enabled; libcurl keeps no cache, and the headers
  // ask every cache on the way not to answer for the server.
  if (settings.flags & (kOpenPragmaNoCache | kOpenReload)) {
    for (const char* header : {"Pragma: no-cache", "Cache-Control: no-cache"}) {
      curl_slist* list = curl_slist_append(headerList_, header);
      if (list == nullptr) return false;
      headerList_ = list;
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList_);
  }
  switch (settings.proxyType) {
    case ProxyType::kPreconfigured:
      break;  // libcurl reads http_proxy, https_proxy, no_proxy ...
    case ProxyType::kDirect:
      curl_easy_setopt(easy, CURLOPT_PROXY, "");
      curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
      break;
    case ProxyType::kProxy:
      curl_easy_setopt(easy, CURLOPT_PROXY, settings.proxy.c_str());
      curl_easy_setopt(easy, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
      curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
      break;
  }
  return true;
}

// ---- Loop thread.

// A waiting worker need not be woken: a new phase starts its clock now, and
// the worker wakes within the shortest limit of any phase anyway.
void CurlTransfer::SetPhase(Phase phase) {
  loopPhase_ = phase;
  std::lock_guard lock(mutex_);
  phase_ = phase;
  lastProgress_ = Clock::now();
}

int CurlTransfer::OnConnected(void* self, char*, char*, int, int) {
  auto* transfer = static_cast<CurlTransfer*>(self);
  long size = 0;
  curl_easy_getinfo(transfer->easy(), CURLINFO_REQUEST_SIZE, &size);
  transfer->requestSizeAtConnect_ = size;
  transfer->SetPhase(Phase::kSending);
  return CURL_PREREQFUNC_OK;
}

// Moves from sending to receiving once libcurl counts the request as sent.
int CurlTransfer::OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* transfer = static_cast<CurlTransfer*>(self);
  if (transfer->loopPhase_ != Phase::kSending) return 0;
  long size = 0;
  curl_easy_getinfo(transfer->easy(), CURLINFO_REQUEST_SIZE, &size);
  if (size > transfer->requestSizeAtConnect_) transfer->SetPhase(Phase::kReceiving);
  return 0;
}

std::size_t CurlTransfer::OnHeader(char* data, std::size_t size, std::size_t count, void* self) {
  auto* transfer = static_cast<CurlTransfer*>(self);
  transfer->SetPhase(Phase::kReceiving);  // an answer arrives: the request is out
  transfer->ParseHeaderLine(std::string_view(data, size * count));
  return size * count;
}

void CurlTransfer::ParseHeaderLine(std::string_view line) {
  if (StartsWithNoCase(line, "HTTP/")) {
    // A new answer (after a redirect or an interim answer): forget the last one.
    parsing_ = ResponseHeaders{};
    sawLocation_ = false;
    std::string_view rest = Trim(line.substr(std::min(line.find(' '), line.size())));
    const std::size_t space = rest.find(' ');
    std::uint32_t value = 0;
    for (char c : rest.substr(0, space)) {
      if (c < '0' || c > '9') break;
      value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    parsing_.statusCode = value;
    if (space != std::string_view::npos) parsing_.statusText = FromLatin1(Trim(rest.substr(space)));
    return;
  }
  if (Trim(line).empty()) {
    const std::uint32_t code = parsing_.statusCode;
    const bool redirect = code >= 300 && code < 400 && sawLocation_;
    if (code >= 200 && !redirect) {
      CaptureTimings(/*ended=*/false);
      std::lock_guard lock(mutex_);
      if (!headersFinal_) headers_ = parsing_;
      headersFinal_ = true;
      if (waiting_) WakeOwnerAfterRound();
    }
    // libcurl follows a redirect, possibly over a new connection, whose
    // connect phase has a timeout of its own.
    if (redirect) SetPhase(Phase::kConnecting);
    return;
  }
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return;
  const std::string_view name = Trim(line.substr(0, colon));
  const std::string_view value = Trim(line.substr(colon + 1));
  if (IsNamed(name, "content-length")) {
    std::uint64_t length = 0;
    for (char c : value) {
      if (c < '0' || c > '9') break;
      length = std::min<std::uint64_t>(length * 10 + static_cast<std::uint64_t>(c - '0'),
                                       std::numeric_limits<std::uint32_t>::max());
    }
    parsing_.contentLength = static_cast<std::uint32_t>(length);
  } else if (IsNamed(name, "content-type")) {
    parsing_.contentType = FromLatin1(value);
  } else if (IsNamed(name, "location")) {
    sawLocation_ = true;
  }
}

std::size_t CurlTransfer::OnWrite(char* data, std::size_t size, std::size_t count, void* self) {
  auto* transfer = static_cast<CurlTransfer*>(self);
  const std::size_t n = size * count;
  transfer->loopPhase_ = Phase::kReceiving;
  std::lock_guard lock(transfer->mutex_);
  if (transfer->ended_) return 0;  // the worker gave up: end it here
  // Body bytes come only after the final headers.
  if (!transfer->headersFinal_) transfer->headers_ = transfer->parsing_;
  transfer->headersFinal_ = true;
  transfer->phase_ = Phase::kReceiving;
  const std::size_t unread = transfer->Unread();
  if (unread > 0 && unread + n > kBodyBuffer) {
    // libcurl keeps this block and stops reading until it is resumed.
    transfer->paused_ = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  transfer->timings_.bodyBytes += n;
  std::vector<char>& body = transfer->body_;
  body.erase(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(transfer->readAt_));
  transfer->readAt_ = 0;
  body.insert(body.end(), data, data + n);
  const Clock::time_point now = Clock::now();
  transfer->lastProgress_ = now;
  if (transfer->waiting_ &&
      (transfer->Unread() >= kOwnerWakeBytes || now - transfer->waitingSince_ >= kOwnerLookDelay)) {
    transfer->WakeOwnerAfterRound();
  }
  return n;
}

void CurlTransfer::OnResuming() {
  std::lock_guard lock(mutex_);
  paused_ = false;
  resumeAsked_ = false;
}

void CurlTransfer::CaptureTimings(bool ended) {
  CURL* easy = this->easy();
  if (easy == nullptr) return;
  TransferTimings taken;
  taken.dnsMs = PhaseMs(easy, CURLINFO_NAMELOOKUP_TIME_T);
  taken.connectMs = PhaseMs(easy, CURLINFO_CONNECT_TIME_T);
  taken.tlsMs = PhaseMs(easy, CURLINFO_APPCONNECT_TIME_T);
  taken.firstByteMs = PhaseMs(easy, CURLINFO_STARTTRANSFER_TIME_T);
  if (ended) taken.totalMs = PhaseMs(easy, CURLINFO_TOTAL_TIME_T);
  std::lock_guard lock(mutex_);
  if (timingsFinal_) return;
  taken.bodyBytes = timings_.bodyBytes;
  timings_ = taken;
  timingsFinal_ = ended;
}

TransferTimings CurlTransfer::Timings() {
  std::lock_guard lock(mutex_);
  TransferTimings timings = timings_;
  if (!timings.totalMs) {
    timings.totalMs = std::chrono::duration<double, std::milli>(Clock::now() - made_).count();
  }
  return timings;
}

void CurlTransfer::OnEnded(std::optional<CURLcode> result) {
  CaptureTimings(/*ended=*/true);
  std::lock_guard lock(mutex_);
  released_ = true;
  if (ended_) return;  // the worker ended it first (a timeout)
  ended_ = true;
  if (!headersFinal_) headers_ = parsing_;
  if (!result) {
    error_ = CurlError(CURLE_ABORTED_BY_CALLBACK, nullptr);
  } else if (*result != CURLE_OK) {
    error_ = CurlError(*result, errorBuffer_);
  }
  changed_.notify_all();
}

// ---- Worker thread.

std::chrono::milliseconds CurlTransfer::StallLimit(const CurlTimeouts& timeouts, Phase phase) {
  switch (phase) {
    case Phase::kConnecting:
      return std::chrono::milliseconds(std::uint64_t{timeouts.connectMs} + kConnectGuardMs);
    case Phase::kSending:
      return std::chrono::milliseconds(timeouts.sendMs);
    case Phase::kReceiving:
      break;
  }
  return std::chrono::milliseconds(timeouts.receiveMs);
}

template <typename Ready>
bool CurlTransfer::WaitLocked(std::unique_lock<std::mutex>& lock, const CurlTimeouts& timeouts,
                              CurlLoop& loop, bool forBody, Ready ready) {
  // Time spent outside (the caller busy with what it read) is not time the
  // server kept us waiting.
  const Clock::time_point start = Clock::now();
  waitingSince_ = start;
  while (!ready()) {
    if (ended_) return false;
    const Clock::time_point since = std::max(lastProgress_, start);
    const Clock::time_point deadline = since + StallLimit(timeouts, phase_);
    if (Clock::now() >= deadline) {
      ended_ = true;
      error_ = CurlError(CURLE_OPERATION_TIMEDOUT, nullptr);
      loop.Remove(shared_from_this());  // closes the connection now
      return false;
    }
    // The phase may change meanwhile, and the new one's limit count from then:
    // looking again after the shortest limit of all never misses its end.
    const auto shortest =
        std::min({StallLimit(timeouts, Phase::kConnecting), StallLimit(timeouts, Phase::kSending),
                  StallLimit(timeouts, Phase::kReceiving)});
    Clock::time_point until = std::min(deadline, since + shortest);
    // Body bytes below kOwnerWakeBytes do not wake the worker in its first
    // kOwnerLookDelay: it looks for them itself then.
    if (forBody && Clock::now() < start + kOwnerLookDelay)
      until = std::min(until, start + kOwnerLookDelay);
    waiting_ = true;
    changed_.wait_until(lock, until);
    waiting_ = false;
  }
  return true;
}

std::optional<InternetError> CurlTransfer::WaitForHeaders(const CurlTimeouts& timeouts,
                                                          CurlLoop& loop) {
  std::unique_lock lock(mutex_);
  if (WaitLocked(lock, timeouts, loop, /*forBody=*/false, [this] { return headersFinal_; }))
    return std::nullopt;
  return error_;  // a failure after the headers shows in Read
}

bool CurlTransfer::ReleasedByLoop() {
  std::lock_guard lock(mutex_);
  return released_;
}

ResponseHeaders CurlTransfer::Headers() {
  std::lock_guard lock(mutex_);
  return headers_;
}

ReadResult CurlTransfer::Read(void* buffer, std::size_t size, const CurlTimeouts& timeouts,
                              CurlLoop& loop) {
  std::unique_lock lock(mutex_);
  if (!WaitLocked(lock, timeouts, loop, /*forBody=*/true, [this] { return Unread() > 0; })) {
    // Nothing more will come: the buffer's memory goes now.
    std::vector<char>().swap(body_);
    readAt_ = 0;
    return ReadResult{0, error_};
  }
  const std::size_t n = std::min(size, Unread());
  std::memcpy(buffer, body_.data() + readAt_, n);
  readAt_ += n;
  // Resumed with room for a few blocks, so that it does not pause at once.
  if (paused_ && !resumeAsked_ && Unread() <= kBodyBuffer / 4) {
    resumeAsked_ = true;
    loop.Resume(shared_from_this());
  }
  return ReadResult{n, std::nullopt};
}

}  // namespace halvern
