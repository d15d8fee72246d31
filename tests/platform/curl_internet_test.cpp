// The libcurl layer against a loopback server: what a request sends, the final
// answer's headers, reads, and errors as values.

#include "curl_internet.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "http_test_server.h"
#include "silent_server.h"
#include "temp_store.h"

namespace halvern {
namespace {

using namespace std::chrono_literals;
using test::AsciiToU16;

constexpr std::size_t kBigSize = 3 * 1024 * 1024 + 17;

char PatternByte(std::size_t i) { return static_cast<char>('a' + (i * 7 + i / 1000) % 26); }

class CurlInternetTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { InitCurlGlobal(); }

  void SetUp() override {
    using httplib::Request;
    using httplib::Response;
    auto& http = server_.http();
    http.Get("/echo", [this](const Request& req, Response& res) {
      std::lock_guard lock(mutex_);
      lastRequest_ = req;
      res.set_content("echo", "text/plain");
    });
    http.Get("/cookie", [](const Request&, Response& res) {
      res.set_header("Set-Cookie", "session=1; Path=/");
      res.set_redirect("/echo");
    });
    http.Get("/big", [](const Request&, Response& res) {
      res.set_content_provider(kBigSize, "application/octet-stream",
                               [](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                 std::string part(std::min<std::size_t>(length, 50000), '\0');
                                 for (std::size_t i = 0; i < part.size(); ++i)
                                   part[i] = PatternByte(offset + i);
                                 return sink.write(part.data(), part.size());
                               });
    });
    http.Get("/chunked", [](const Request&, Response& res) {
      res.set_chunked_content_provider("text/plain",
                                       [](std::size_t offset, httplib::DataSink& sink) {
                                         if (offset >= 3000) {
                                           sink.done();
                                           return true;
                                         }
                                         return sink.write(std::string(1000, 'c').data(), 1000);
                                       });
    });
    http.Get("/slow-body", [](const Request&, Response& res) {
      res.set_chunked_content_provider("text/plain",
                                       [](std::size_t offset, httplib::DataSink& sink) {
                                         if (offset == 0) return sink.write("a", 1);
                                         std::this_thread::sleep_for(1500ms);
                                         sink.done();
                                         return true;
                                       });
    });
    http.Get("/slow-head", [](const Request&, Response& res) {
      std::this_thread::sleep_for(1500ms);
      res.set_content("late", "text/plain");
    });
    // Eight bytes, 150 ms apart.
    http.Get("/trickle", [](const Request&, Response& res) {
      res.set_chunked_content_provider("text/plain",
                                       [](std::size_t offset, httplib::DataSink& sink) {
                                         if (offset >= 10) {
                                           sink.done();
                                           return true;
                                         }
                                         std::this_thread::sleep_for(200ms);
                                         return sink.write("t", 1);
                                       });
    });
    http.Get("/short", [](const Request&, Response& res) {
      res.set_content_provider(5000, "text/plain",
                               [](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                 if (offset > 0) return false;
                                 return sink.write(std::string(100, 's').data(), 100);
                               });
    });
    http.Get("/loop", [](const Request&, Response& res) { res.set_redirect("/loop"); });
    http.Get("/teapot", [](const Request&, Response& res) {
      res.status = 418;
      res.set_content("", "text/plain");
    });
    server_.Start();
  }

  std::unique_ptr<InternetSession> Session(ProxyType type = ProxyType::kDirect) {
    SessionResult opened = internet_.OpenSession(type, u"Velmora Halvern", u"");
    EXPECT_TRUE(opened.session);
    return std::move(opened.session);
  }

  // Reads the whole body; fails the test for a read above 1024 bytes.
  std::string ReadAll(InternetRequest& request, std::optional<InternetError>* error = nullptr) {
    std::string body;
    char buffer[1024];
    for (;;) {
      ReadResult read = request.Read(buffer, sizeof buffer);
      EXPECT_LE(read.bytes, sizeof buffer);
      if (read.bytes == 0) {
        if (error) *error = read.error;
        return body;
      }
      body.append(buffer, read.bytes);
    }
  }

  CurlInternet internet_;
  test::HttpTestServer server_;
  std::mutex mutex_;
  httplib::Request lastRequest_;
};

TEST_F(CurlInternetTest, RequestCarriesAgentAndNoCacheHeadersAndNoCookies) {
  auto session = Session();
  OpenResult open = session->OpenUrl(server_.Url16("/cookie"), kCheckOpenFlags);
  ASSERT_TRUE(open.request) << std::string(open.error.message.begin(), open.error.message.end());
  EXPECT_EQ(ReadAll(*open.request), "echo");
  std::lock_guard lock(mutex_);
  EXPECT_EQ(lastRequest_.get_header_value("User-Agent"), "Velmora Halvern");
  EXPECT_EQ(lastRequest_.get_header_value("Pragma"), "no-cache");
  EXPECT_EQ(lastRequest_.get_header_value("Cache-Control"), "no-cache");
  EXPECT_FALSE(lastRequest_.has_header("Cookie"));
}

TEST_F(CurlInternetTest, HeadersAreThoseOfTheFinalAnswer) {
  struct Case {
    const char* path;
    std::uint32_t code;
    std::u16string text;
    std::uint32_t length;
    std::u16string type;
  };
  for (const Case& c : {Case{"/cookie", 200, u"OK", 4, u"text/plain"},
                        Case{"/chunked", 200, u"OK", 0, u"text/plain"},
                        Case{"/teapot", 418, u"I'm a teapot", 0, u"text/plain"}}) {
    SCOPED_TRACE(c.path);
    auto session = Session();
    OpenResult open = session->OpenUrl(server_.Url16(c.path), kCheckOpenFlags);
    ASSERT_TRUE(open.request);
    const ResponseHeaders& h = open.request->Headers();
    EXPECT_EQ(h.statusCode, c.code);
    EXPECT_EQ(h.statusText, c.text);
    EXPECT_EQ(h.contentLength, c.length);
    EXPECT_EQ(h.contentType, c.type);
  }
}

TEST_F(CurlInternetTest, LargeBodyArrivesWholeInSmallReads) {
  auto session = Session();
  OpenResult open = session->OpenUrl(server_.Url16("/big"), kCheckOpenFlags);
  ASSERT_TRUE(open.request);
  EXPECT_EQ(open.request->Headers().contentLength, kBigSize);
  std::optional<InternetError> error;
  const std::string body = ReadAll(*open.request, &error);
  EXPECT_FALSE(error);
  ASSERT_EQ(body.size(), kBigSize);
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] != PatternByte(i)) FAIL() << "byte " << i << " differs";
  }
}

TEST_F(CurlInternetTest, FailuresAreValuesWithTheLibraryMessage) {
  struct Case {
    std::u16string url;
    int code;
  };
  const int closedPort = test::FreeLoopbackPort();
  const std::vector<Case> cases = {
      {u"file:///etc/passwd", 1},  // CURLE_UNSUPPORTED_PROTOCOL
      {u"ftp://127.0.0.1/", 1},
      {u"127.0.0.1/no-scheme", 1},
      {server_.Url16("/loop"), 47},  // CURLE_TOO_MANY_REDIRECTS
      {AsciiToU16("http://127.0.0.1:" + std::to_string(closedPort) + "/"), 7},  // COULDNT_CONNECT
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.url.begin(), c.url.end()));
    auto session = Session();
    OpenResult open = session->OpenUrl(c.url, kCheckOpenFlags);
    EXPECT_FALSE(open.request);
    EXPECT_EQ(open.error.code, c.code);
    EXPECT_FALSE(open.error.message.empty());
  }
}

TEST_F(CurlInternetTest, BodyCutShortEndsTheReadsWithAnError) {
  auto session = Session();
  OpenResult open = session->OpenUrl(server_.Url16("/short"), kCheckOpenFlags);
  ASSERT_TRUE(open.request);
  std::optional<InternetError> error;
  EXPECT_EQ(ReadAll(*open.request, &error).size(), 100u);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 18);  // CURLE_PARTIAL_FILE
}

TEST_F(CurlInternetTest, ReceiveTimeoutEndsSilentAnswers) {
  // No answer at all within connect + receive time: the open fails.
  auto session = Session();
  session->SetOption(InternetOption::kConnectTimeout, 100);
  session->SetOption(InternetOption::kReceiveTimeout, 100);
  session->SetOption(InternetOption::kSendTimeout, 100);
  OpenResult open = session->OpenUrl(server_.Url16("/slow-head"), kCheckOpenFlags);
  EXPECT_FALSE(open.request);
  EXPECT_EQ(open.error.code, 28);  // CURLE_OPERATION_TIMEDOUT

  // A body that stops flowing: the read fails after the receive timeout.
  session = Session();
  open = session->OpenUrl(server_.Url16("/slow-body"), kCheckOpenFlags);
  ASSERT_TRUE(open.request);
  ASSERT_TRUE(open.request->SetOption(InternetOption::kReceiveTimeout, 200));
  std::optional<InternetError> error;
  EXPECT_EQ(ReadAll(*open.request, &error), "a");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 28);
}

// Once connected, the receive timeout alone bounds a silence, wherever it
// falls: before the answer, inside its headers, inside its body. The connect
// timeout stays at its long default, so it cannot be what ends the wait.
TEST_F(CurlInternetTest, SilenceAfterConnectingEndsAtTheReceiveTimeout) {
  test::SilentServer silent;
  test::SilentServer halfHeaders("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n");
  for (const std::u16string& url :
       {server_.Url16("/slow-head"), silent.Url16("/"), halfHeaders.Url16("/")}) {
    SCOPED_TRACE(std::string(url.begin(), url.end()));
    auto session = Session();
    ASSERT_TRUE(session->SetOption(InternetOption::kReceiveTimeout, 300));
    ASSERT_TRUE(session->SetOption(InternetOption::kSendTimeout, 300));
    OpenResult open = session->OpenUrl(url, kCheckOpenFlags);
    EXPECT_FALSE(open.request);
    EXPECT_EQ(open.error.code, 28);  // CURLE_OPERATION_TIMEDOUT
    EXPECT_FALSE(open.error.message.empty());
  }

  // A body that stops in the middle, read with the session's timeouts.
  test::SilentServer halfBody(
      "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\nContent-Type: text/plain\r\n\r\nabc");
  auto session = Session();
  ASSERT_TRUE(session->SetOption(InternetOption::kReceiveTimeout, 300));
  OpenResult open = session->OpenUrl(halfBody.Url16("/"), kCheckOpenFlags);
  ASSERT_TRUE(open.request);
  EXPECT_EQ(open.request->Headers().contentLength, 5000u);
  std::optional<InternetError> error;
  EXPECT_EQ(ReadAll(*open.request, &error), "abc");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 28);

  // It is silence that ends a transfer, not its length: an answer whose every
  // pause is shorter than the receive timeout arrives whole, however long it
  // takes in all (2 s here; the pauses keep well clear of the timeout on a
  // loaded machine).
  session = Session();
  ASSERT_TRUE(session->SetOption(InternetOption::kReceiveTimeout, 1500));
  open = session->OpenUrl(server_.Url16("/trickle"), kCheckOpenFlags);
  ASSERT_TRUE(open.request);
  EXPECT_EQ(ReadAll(*open.request, &error), std::string(10, 't'));
  EXPECT_FALSE(error);
}

TEST_F(CurlInternetTest, ProxyModeTwoGoesThroughTheProxy) {
  test::TempDir dir;
  test::ForwardProxy proxy(dir.path());
  SessionResult opened =
      internet_.OpenSession(ProxyType::kProxy, u"Velmora Halvern",
                            AsciiToU16("127.0.0.1:" + std::to_string(proxy.port())));
  ASSERT_TRUE(opened.session);
  OpenResult open = opened.session->OpenUrl(server_.Url16("/echo"), kCheckOpenFlags);
  ASSERT_TRUE(open.request);
  EXPECT_EQ(ReadAll(*open.request), "echo");
  EXPECT_NE(proxy.Log().find("GET " + server_.Url("/echo")), std::string::npos) << proxy.Log();
}

}  // namespace
}  // namespace halvern
