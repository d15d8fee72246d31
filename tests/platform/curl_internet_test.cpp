// The libcurl layer against a loopback server: what a request sends, the final
// answer's headers, reads, and errors as values.

#include "curl_internet.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "http_test_server.h"
#include "silent_server.h"
#include "temp_store.h"

namespace halvern {
namespace {

using namespace std::chrono_literals;
using test::AsciiToU16;

constexpr std::size_t kBigSize = 3 * 1024 * 1024 + 17;

char PatternByte(std::size_t i, std::size_t seed = 0) {
  return static_cast<char>('a' + (i * 7 + i / 1000 + seed * 13) % 26);
}

// The position of the first byte of `body` that differs from the pattern of
// `seed`, or npos.
std::size_t FirstWrongByte(const std::string& body, std::size_t seed) {
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] != PatternByte(i, seed)) return i;
  }
  return std::string::npos;
}

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
    // Three bytes shortly after the headers, then nothing until released.
    http.Get("/held", [this](const Request&, Response& res) {
      res.set_chunked_content_provider("text/plain",
                                       [this](std::size_t offset, httplib::DataSink& sink) {
                                         if (offset == 0) {
                                           std::this_thread::sleep_for(5ms);
                                           return sink.write("abc", 3);
                                         }
                                         while (!released_) std::this_thread::sleep_for(10ms);
                                         sink.done();
                                         return true;
                                       });
    });
    http.Get("/short", [](const Request&, Response& res) {
      res.set_content_provider(5000, "text/plain",
                               [](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                 if (offset > 0) return false;
                                 return sink.write(std::string(100, 's').data(), 100);
                               });
    });
    // "?seed=<n>&size=<bytes>": the pattern of that seed.
    http.Get("/seeded", [](const Request& req, Response& res) {
      const std::size_t seed = std::stoul(req.get_param_value("seed"));
      const std::size_t size = std::stoul(req.get_param_value("size"));
      res.set_content_provider(
          size, "application/octet-stream",
          [seed](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            std::string part(std::min<std::size_t>(length, 8192), '\0');
            for (std::size_t i = 0; i < part.size(); ++i) part[i] = PatternByte(offset + i, seed);
            return sink.write(part.data(), part.size());
          });
    });
    // 64 MB that nobody reads whole; counts the answers cut off by the client.
    http.Get("/watched", [this](const Request&, Response& res) {
      res.set_content_provider(
          64u << 20, "application/octet-stream",
          [](std::size_t, std::size_t length, httplib::DataSink& sink) {
            const std::string part(std::min<std::size_t>(length, 8192), 'w');
            return sink.write(part.data(), part.size());
          },
          [this](bool success) {
            if (!success) cutOff_.fetch_add(1);
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

  static std::u16string SeededPath(std::size_t seed, std::size_t size) {
    return AsciiToU16("/seeded?seed=" + std::to_string(seed) + "&size=" + std::to_string(size));
  }
  std::u16string SeededUrl(std::size_t seed, std::size_t size) {
    const std::u16string path = SeededPath(seed, size);
    return server_.Url16(std::string(path.begin(), path.end()));
  }

  CurlInternet internet_;
  test::HttpTestServer server_;
  std::atomic<int> cutOff_{0};
  std::atomic<bool> released_{false};
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

// Sockets of this process connected to `port` that a started program would
// inherit (no close-on-exec).
int InheritableSocketsTo(int port) {
  int count = 0;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int n = std::atoi(fd.path().filename().c_str());
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(n, reinterpret_cast<sockaddr*>(&peer), &length) != 0) continue;
    if (peer.sin_family != AF_INET || ntohs(peer.sin_port) != port) continue;
    if ((::fcntl(n, F_GETFD) & FD_CLOEXEC) == 0) ++count;
  }
  return count;
}

TEST_F(CurlInternetTest, ConnectionsAreNotInheritedByStartedPrograms) {
  auto session = Session();
  OpenResult open = session->OpenUrl(server_.Url16("/big"), kCheckOpenFlags);
  ASSERT_TRUE(open.request);  // connected, the body still to come
  EXPECT_EQ(InheritableSocketsTo(server_.port()), 0);
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
  ASSERT_TRUE(session->SetOption(InternetOption::kConnectTimeout, 100));
  ASSERT_TRUE(session->SetOption(InternetOption::kReceiveTimeout, 100));
  ASSERT_TRUE(session->SetOption(InternetOption::kSendTimeout, 100));
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

// A few body bytes that the server sends and then falls silent after reach
// the reader without waiting for more to gather or for the timeout: the
// reader is not woken for a small block at the start of its wait, and looks
// for it by itself.
TEST_F(CurlInternetTest, BytesBeforeASilenceReachTheReaderAtOnce) {
  auto session = Session();  // the default timeouts: a minute
  OpenResult open = session->OpenUrl(server_.Url16("/held"), kCheckOpenFlags);
  ASSERT_TRUE(open.request);
  auto first = std::async(std::launch::async, [&] {
    char buffer[1024];
    const ReadResult read = open.request->Read(buffer, sizeof buffer);
    return std::string(buffer, read.bytes);
  });
  // Far below the receive timeout that would otherwise end the wait.
  const bool arrived = first.wait_for(20s) == std::future_status::ready;
  released_ = true;
  ASSERT_TRUE(arrived);
  EXPECT_EQ(first.get(), "abc");
  EXPECT_EQ(ReadAll(*open.request), "");
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

// All sessions share one loop: many transfers at once, each of which must get
// its own body whole, whatever the others do.
TEST_F(CurlInternetTest, ManyRequestsAtOnceEachGetTheirOwnBody) {
  constexpr std::size_t kRequests = 40;
  std::vector<std::string> failures(kRequests);
  std::vector<std::thread> workers;
  for (std::size_t i = 0; i < kRequests; ++i) {
    workers.emplace_back([&, i] {
      const std::size_t size = 20000 + i * 4999;
      SessionResult opened = internet_.OpenSession(ProxyType::kDirect, u"Velmora Halvern", u"");
      if (!opened.session) return void(failures[i] = "no session");
      OpenResult open = opened.session->OpenUrl(SeededUrl(i, size), kCheckOpenFlags);
      if (!open.request) return void(failures[i] = "not opened");
      if (open.request->Headers().contentLength != size) failures[i] = "wrong length";
      std::string body;
      char buffer[1024];
      while (const std::size_t n = open.request->Read(buffer, sizeof buffer).bytes) {
        body.append(buffer, n);
      }
      if (body.size() != size) failures[i] += " size " + std::to_string(body.size());
      if (const std::size_t at = FirstWrongByte(body, i); at != std::string::npos)
        failures[i] += " byte " + std::to_string(at) + " differs";
    });
  }
  for (std::thread& w : workers) w.join();
  for (std::size_t i = 0; i < kRequests; ++i) EXPECT_EQ(failures[i], "") << "request " << i;
}

// Destroying a request is how a check is cancelled: its connection closes,
// and the transfers beside it go on.
TEST_F(CurlInternetTest, RequestDestroyedMidBodyClosesItsConnectionOnly) {
  auto watchedSession = Session();
  auto otherSession = Session();
  OpenResult watched = watchedSession->OpenUrl(server_.Url16("/watched"), kCheckOpenFlags);
  ASSERT_TRUE(watched.request);
  OpenResult other = otherSession->OpenUrl(SeededUrl(7, 300000), kCheckOpenFlags);
  ASSERT_TRUE(other.request);
  char buffer[1024];
  for (int i = 0; i < 10; ++i) ASSERT_GT(watched.request->Read(buffer, sizeof buffer).bytes, 0u);
  const std::size_t first = other.request->Read(buffer, sizeof buffer).bytes;
  ASSERT_GT(first, 0u);
  watched.request.reset();

  // The server sees the connection go (it would otherwise send 64 MB).
  for (int i = 0; i < 500 && cutOff_.load() == 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(cutOff_.load(), 1);

  std::optional<InternetError> error;
  const std::string rest = ReadAll(*other.request, &error);
  EXPECT_FALSE(error);
  const std::string body = std::string(buffer, first) + rest;
  ASSERT_EQ(body.size(), 300000u);
  EXPECT_EQ(FirstWrongByte(body, 7), std::string::npos);
}

// A reader slower than the server: the transfer pauses while its buffer is
// full and resumes as it is read, without losing or repeating a byte; the
// time it stays paused is the reader's, not a silence of the server.
TEST_F(CurlInternetTest, SlowReaderPausesTheTransferWithoutTimingOut) {
  constexpr std::size_t kSize = 400000;
  auto session = Session();
  ASSERT_TRUE(session->SetOption(InternetOption::kReceiveTimeout, 300));
  OpenResult open = session->OpenUrl(SeededUrl(3, kSize), kCheckOpenFlags);
  ASSERT_TRUE(open.request);
  std::string body;
  char buffer[1024];
  std::optional<InternetError> error;
  for (int reads = 0;; ++reads) {
    // Long stops at first and halfway, short ones throughout.
    if (reads == 1 || reads == 200) std::this_thread::sleep_for(700ms);
    if (reads % 16 == 0) std::this_thread::sleep_for(1ms);
    const ReadResult read = open.request->Read(buffer, sizeof buffer);
    if (read.bytes == 0) {
      error = read.error;
      break;
    }
    body.append(buffer, read.bytes);
  }
  EXPECT_FALSE(error) << std::string(error->message.begin(), error->message.end());
  ASSERT_EQ(body.size(), kSize);
  EXPECT_EQ(FirstWrongByte(body, 3), std::string::npos);
}

// Sessions and requests keep what they need: the layer may go first.
TEST_F(CurlInternetTest, LayerDestroyedWhileRequestsAreOpen) {
  auto internet = std::make_unique<CurlInternet>();
  SessionResult opened = internet->OpenSession(ProxyType::kDirect, u"Velmora Halvern", u"");
  ASSERT_TRUE(opened.session);
  OpenResult open = opened.session->OpenUrl(SeededUrl(5, 200000), kCheckOpenFlags);
  ASSERT_TRUE(open.request);
  internet.reset();

  std::optional<InternetError> error;
  std::string body = ReadAll(*open.request, &error);
  EXPECT_FALSE(error);
  EXPECT_EQ(body.size(), 200000u);
  EXPECT_EQ(FirstWrongByte(body, 5), std::string::npos);
  open.request.reset();

  // The session still opens addresses; the loop ends with the last of them.
  open = opened.session->OpenUrl(server_.Url16("/echo"), kCheckOpenFlags);
  ASSERT_TRUE(open.request);
  EXPECT_EQ(ReadAll(*open.request), "echo");
}

// The CA store read once serves every HTTPS session of its layer, and only
// that layer: another one, on the system's store, still refuses the server.
TEST_F(CurlInternetTest, HttpsSessionsShareTheirLayersCaStoreOnly) {
  test::TempDir dir;
  const test::TestCertificate certificate = test::MakeTestCertificate(dir.path());
  test::HttpTestServer https(&certificate);
  https.http().Get("/ok", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("secure", "text/plain");
  });
  https.Start();
  CurlInternet trusting(CurlInternetOptions{certificate.certFile.string()});

  const auto fetch = [&https](Internet& internet, std::string* body) {
    SessionResult opened = internet.OpenSession(ProxyType::kDirect, u"Velmora Halvern", u"");
    if (!opened.session) return -2;
    OpenResult open = opened.session->OpenUrl(https.Url16("/ok"), kCheckOpenFlags);
    if (!open.request) return open.error.code;
    char buffer[1024];
    while (const std::size_t n = open.request->Read(buffer, sizeof buffer).bytes) {
      body->append(buffer, n);
    }
    return 0;
  };
  for (int round = 0; round < 2; ++round) {  // the second round finds the store cached
    std::vector<std::string> bodies(6);
    std::vector<int> codes(bodies.size());
    std::vector<std::thread> workers;
    for (std::size_t i = 0; i < bodies.size(); ++i) {
      workers.emplace_back([&, i] { codes[i] = fetch(trusting, &bodies[i]); });
    }
    for (std::thread& w : workers) w.join();
    for (std::size_t i = 0; i < bodies.size(); ++i) {
      EXPECT_EQ(codes[i], 0) << "round " << round << ", session " << i;
      EXPECT_EQ(bodies[i], "secure");
    }
    std::string ignored;
    EXPECT_EQ(fetch(internet_, &ignored), 60);  // CURLE_PEER_FAILED_VERIFICATION
  }
}

}  // namespace
}  // namespace halvern
