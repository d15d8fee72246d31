#include "curl_internet.h"

#include <curl/curl.h>

#include <mutex>
#include <string_view>

#include "curl_loop.h"
#include "curl_transfer.h"

namespace halvern {
namespace {

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

// One opened address: the worker's side of a transfer on the loop.
class CurlRequest final : public InternetRequest {
 public:
  CurlRequest(std::shared_ptr<CurlLoop> loop, std::shared_ptr<CurlTransfer> transfer,
              const CurlTimeouts& timeouts)
      : loop_(std::move(loop)), transfer_(std::move(transfer)), timeouts_(timeouts) {}
  // Ends the transfer wherever it stands; the loop closes its connection.
  ~CurlRequest() override {
    if (!transfer_->ReleasedByLoop()) loop_->Remove(std::move(transfer_));
  }

  // Starts the transfer and waits for the final answer's headers.
  [[nodiscard]] std::optional<InternetError> Open() {
    loop_->Add(transfer_);
    auto error = transfer_->WaitForHeaders(timeouts_, *loop_);
    headers_ = transfer_->Headers();
    return error;
  }

  bool SetOption(InternetOption option, std::uint32_t value) override {
    return timeouts_.Set(option, value);
  }
  const ResponseHeaders& Headers() const override { return headers_; }
  ReadResult Read(void* buffer, std::size_t size) override {
    return transfer_->Read(buffer, size, timeouts_, *loop_);
  }
  TransferTimings Timings() override { return transfer_->Timings(); }

 private:
  std::shared_ptr<CurlLoop> loop_;
  std::shared_ptr<CurlTransfer> transfer_;
  CurlTimeouts timeouts_;
  ResponseHeaders headers_;
};

class CurlSession final : public InternetSession {
 public:
  CurlSession(std::shared_ptr<CurlLoop> loop, CurlRequestSettings settings)
      : loop_(std::move(loop)), settings_(std::move(settings)) {}

  bool SetOption(InternetOption option, std::uint32_t value) override {
    return timeouts_.Set(option, value);
  }

  OpenResult OpenUrl(const std::u16string& url, std::uint32_t flags) override {
    CurlRequestSettings settings = settings_;
    settings.url = ToUtf8(url);
    settings.flags = flags;
    settings.connectTimeoutMs = timeouts_.connectMs;
    InternetError error;
    auto transfer = CurlTransfer::Make(settings, error);
    if (!transfer) return {nullptr, error, {}};
    auto request = std::make_unique<CurlRequest>(loop_, std::move(transfer), timeouts_);
    if (auto failed = request->Open()) return {nullptr, *failed, request->Timings()};
    return {std::move(request), {}, {}};
  }

 private:
  std::shared_ptr<CurlLoop> loop_;
  CurlRequestSettings settings_;
  CurlTimeouts timeouts_;
};

}  // namespace

void InitCurlGlobal() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CurlInternet::CurlInternet(CurlInternetOptions options)
    : options_(std::move(options)), loop_(std::make_shared<CurlLoop>()) {}

CurlInternet::~CurlInternet() = default;

std::optional<InternetError> CurlInternet::AttemptConnect() { return std::nullopt; }

SessionResult CurlInternet::OpenSession(ProxyType type, const std::u16string& agent,
                                        const std::u16string& proxy) {
  // The loop's thread starts with the first session, not with the layer.
  if (!loop_->Start()) return {nullptr, CurlError(CURLE_FAILED_INIT, nullptr)};
  CurlRequestSettings settings;
  settings.proxyType = type;
  settings.agent = ToUtf8(agent);
  settings.proxy = ToUtf8(proxy);
  settings.caFile = options_.caFile;
  return {std::make_unique<CurlSession>(loop_, std::move(settings)), {}};
}

}  // namespace halvern
