// Site checks against real loopback servers (HTTP, HTTPS, tinyproxy) and a real
// store, with a list and window of the test's own that run row updates on a
// window thread as the program's main window does.

#include "site_check.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "check_history.h"
#include "check_log.h"
#include "clock.h"
#include "curl_internet.h"
#include "event.h"
#include "fake_url_list.h"
#include "fakes.h"
#include "http_test_server.h"
#include "settings.h"
#include "silent_server.h"
#include "temp_store.h"
#include "url_entry.h"
#include "url_list.h"
#include "window_host.h"
#include "worker_pool.h"
#include "worker_threads.h"

namespace halvern {
namespace {

using namespace std::chrono_literals;
using test::AsciiToU16;
using test::Borrowed;
using test::HttpTestServer;

// A window thread that runs Send calls in order and queues posted messages.
class FakeWindow final : public WindowHost {
 public:
  FakeWindow() : thread_([this] { Loop(); }) {}
  ~FakeWindow() override {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

  // The worker is not waited for once it has posted: it wakes the test under
  // the lock, so that the test cannot destroy this window before it is done.
  void PostMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override {
    std::lock_guard lock(mutex_);
    posted_.push_back({message, wParam, lParam, nullptr});
    wake_.notify_all();
  }
  void PostOwnedMessage(std::uint32_t message, std::unique_ptr<MessagePayload> payload,
                        std::intptr_t lParam) override {
    std::lock_guard lock(mutex_);
    posted_.push_back({message, 0, lParam, std::move(payload)});
    wake_.notify_all();
  }
  void Send(const std::function<void()>& call) override {
    std::unique_lock lock(mutex_);
    const std::uint64_t ticket = ++sendsQueued_;
    calls_.push_back(&call);
    wake_.notify_all();
    wake_.wait(lock, [&] { return sendsDone_ >= ticket; });
  }
  void SetTimer(std::uint32_t, std::uint32_t) override {}
  void KillTimer(std::uint32_t) override {}

  struct Message {
    std::uint32_t message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
    std::unique_ptr<MessagePayload> payload;
  };
  // The next posted message; fails the test after a generous deadline.
  Message WaitMessage() {
    std::unique_lock lock(mutex_);
    if (!wake_.wait_for(lock, 120s, [&] { return !posted_.empty(); })) {
      ADD_FAILURE() << "no message posted";
      return {0, 0, 0, nullptr};
    }
    Message m = std::move(posted_.front());
    posted_.pop_front();
    return m;
  }

 private:
  void Loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return stop_ || !calls_.empty(); });
      if (calls_.empty()) return;
      const std::function<void()>* call = calls_.front();
      calls_.pop_front();
      lock.unlock();
      (*call)();
      lock.lock();
      ++sendsDone_;
      wake_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<const std::function<void()>*> calls_;
  std::deque<Message> posted_;
  std::uint64_t sendsQueued_ = 0;
  std::uint64_t sendsDone_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

using FakeList = test::FakeUrlList;

// Records the proxy text of every session and can refuse to connect; passes
// everything else to the real layer.
class RecordingInternet final : public Internet {
 public:
  explicit RecordingInternet(Internet& real) : real_(real) {}
  std::optional<InternetError> AttemptConnect() override { return attemptError; }
  SessionResult OpenSession(ProxyType type, const std::u16string& agent,
                            const std::u16string& proxy) override {
    std::lock_guard lock(mutex);
    types.push_back(type);
    proxies.push_back(proxy);
    agents.push_back(agent);
    return real_.OpenSession(type, agent, proxy);
  }
  std::optional<InternetError> attemptError;
  std::mutex mutex;
  std::vector<ProxyType> types;
  std::vector<std::u16string> proxies;
  std::vector<std::u16string> agents;

 private:
  Internet& real_;
};

struct CheckResult {
  std::intptr_t outcome = -1;
  std::u16string status;
  int image = -1;
  std::vector<std::u16string> history;
  std::vector<LogRecord> log;
  std::optional<UrlEntry> stored;
};

std::string Repeat(char c, std::size_t n) { return std::string(n, c); }

constexpr int kSlowMs = 150;

class SiteCheckTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { InitCurlGlobal(); }

  void SetUp() override {
    ::unsetenv("http_proxy");
    ::unsetenv("https_proxy");
    ::unsetenv("no_proxy");
    clock_.Set(1700000000);
    AddHandlers(server_.http());
    server_.Start();
  }

  static void AddHandlers(httplib::Server& http) {
    using httplib::Request;
    using httplib::Response;
    http.Get("/ok", [](const Request&, Response& res) { res.set_content("hello", "text/html"); });
    http.Get("/missing", [](const Request&, Response& res) {
      res.status = 404;
      res.set_content("nothing here", "text/html");
    });
    http.Get("/error", [](const Request&, Response& res) {
      res.status = 500;
      res.set_content("", "text/html");
    });
    http.Get("/empty", [](const Request&, Response& res) { res.set_content("", "text/html"); });
    // Declares 5000 bytes and drops the connection after 3000.
    http.Get("/short", [](const Request&, Response& res) {
      res.set_content_provider(5000, "application/octet-stream",
                               [](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                 if (offset >= 3000) return false;
                                 const std::string part(3000, 'x');
                                 sink.write(part.data(), part.size());
                                 return true;
                               });
    });
    for (std::size_t size : {1023, 1024, 2047, 5000}) {
      http.Get("/bytes" + std::to_string(size), [size](const Request&, Response& res) {
        res.set_content(Repeat('b', size), "application/octet-stream");
      });
    }
    // The word straddles the border of the first two 1024-byte chunks.
    http.Get("/script-split", [](const Request&, Response& res) {
      std::string body = Repeat('.', 1016) + "BrankolvistPassed" + Repeat('.', 1000);
      res.set_content(body, "TEXT/PLAIN; charset=us-ascii");
    });
    http.Get("/script-case", [](const Request&, Response& res) {
      res.set_content("ok brankolvistpassed", "text/plain");
    });
    http.Get("/script-json", [](const Request&, Response& res) {
      res.set_content("{\"r\":\"BrankolvistPassed\"}", "application/json");
    });
    http.Get("/script-ok", [](const Request&, Response& res) {
      res.set_content("<p>BrankolvistPassed</p>", "text/html");
    });
    http.Get("/moved", [](const Request&, Response& res) { res.set_redirect("/ok"); });
    // Answers after kSlowMs.
    http.Get("/slow", [](const Request&, Response& res) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kSlowMs));
      res.set_content("hello", "text/html");
    });
    http.Get("/to-file",
             [](const Request&, Response& res) { res.set_redirect("file:///etc/passwd"); });
    // Sends until the client goes away.
    http.Get("/endless", [](const Request&, Response& res) {
      res.set_chunked_content_provider("text/plain", [](std::size_t, httplib::DataSink& sink) {
        const std::string part(4096, 'e');
        if (!sink.write(part.data(), part.size())) return false;
        std::this_thread::sleep_for(1ms);
        return true;
      });
    });
  }

  UrlEntry MakeEntry(const std::u16string& title, const std::u16string& url,
                     std::int32_t mode = kModeDownload, std::uint32_t sizeLimit = 0xFFFFFFFFu) {
    UrlEntry entry;
    InitUrlEntry(entry);
    entry.id = 1234;
    entry.enabled = 1;
    SetEntryTitle(entry, title);
    SetEntryUrl(entry, url);
    entry.mode = mode;
    entry.sizeLimit = sizeLimit;
    entry.failureCount = 1;
    entry.lastSuccessTime = 42;
    return entry;
  }
  // Stores the entry and gives it a row, as the program's list holds it.
  UrlEntry AddEntry(const std::u16string& title, const std::u16string& url,
                    std::int32_t mode = kModeDownload, std::uint32_t sizeLimit = 0xFFFFFFFFu) {
    UrlEntry entry = MakeEntry(title, url, mode, sizeLimit);
    EXPECT_TRUE(SaveUrlEntry(temp_.store(), title, entry));
    window_.Send([&] { list_.InsertRow(1000, title, kImageIdle); });
    return entry;
  }

  CheckResult Run(const UrlEntry& entry, Internet* internet = nullptr) {
    // The program's own worker threads, stacks sized as in the program: every
    // case here (HTTPS, proxies, redirects, script bodies) runs within them.
    WorkerPool workers(starter_ ? starter_ : SizedStackThreads());
    auto job = std::make_unique<CheckJob>(Borrowed<WindowHost>(window_), &list_, cancel_, 1,
                                          Services(internet));
    job->kind = CheckKind::Scheduled;  // as a scheduled run starts it
    CheckJob* raw = job.get();
    const bool started = StartCheckJob(std::move(job), std::make_unique<UrlEntry>(entry), workers);
    EXPECT_EQ(started, expectStart_);
    FakeWindow::Message done = window_.WaitMessage();
    EXPECT_EQ(done.message, UM_CHECK_DONE);
    // The message carries the job itself: the window owns it now.
    EXPECT_EQ(done.payload.get(), raw);
    EXPECT_EQ(TakeCheckJob(std::move(done.payload)).get(), raw);

    CheckResult result;
    result.outcome = done.lParam;
    window_.Send([&] {
      const int row = list_.FindRow(EntryTitle(entry));
      if (row < 0) return;
      result.status = list_.rows[row].status;
      result.image = list_.rows[row].image;
      result.history = list_.rows[row].history;
      list_.rows[row].history.clear();
    });
    auto cursor = temp_.store().OpenSection(kLogSection);
    for (std::size_t i = 0; cursor; ++i) {
      auto value = cursor->Enumerate(i);
      if (!value) break;
      result.log.push_back(ReadLogRecordBytes(value->data));
    }
    UrlEntry stored;
    if (LoadUrlEntry(temp_.store(), EntryTitle(entry), stored)) result.stored = stored;
    return result;
  }

  CheckServices Services(Internet* internet = nullptr) {
    return CheckServices{Borrowed<SettingsStore>(temp_.store()), Borrowed<const Clock>(clock_),
                         Borrowed(internet ? *internet : curl_), timeoutMs_};
  }

  std::u16string LastProgress(const CheckResult& result) {
    for (auto it = result.history.rbegin(); it != result.history.rend(); ++it) {
      if (it->starts_with(u"Downloading: ")) return *it;
    }
    return {};
  }

  std::uint32_t timeoutMs_ = kInternetTimeoutMs;
  ThreadStarter starter_;
  bool expectStart_ = true;
  test::TempStore temp_;
  ManualClock clock_;
  CurlInternet curl_;
  FakeWindow window_;
  FakeList list_;
  std::shared_ptr<ManualResetEvent> cancel_ =
      std::make_shared<ManualResetEvent>(kDownloadEventName);
  HttpTestServer server_;
};

std::u16string LogText(const LogRecord& record) { return FieldText(record.text, kLogTextChars); }

TEST_F(SiteCheckTest, PassedCheckLogsSavesAndShowsTheTime) {
  const UrlEntry entry = AddEntry(u"Home", server_.Url16("/ok"));
  const CheckResult r = Run(entry);
  EXPECT_EQ(r.outcome, kCheckPassed);
  EXPECT_EQ(r.image, kImagePassed);
  EXPECT_EQ(r.status, FormatLocalTime(1700000000, u"Lasted checked on %X %x"));
  ASSERT_EQ(r.log.size(), 1u);
  EXPECT_EQ(r.log[0].passed, 1);
  EXPECT_EQ(LogText(r.log[0]), u"OK");
  EXPECT_EQ(FieldText(r.log[0].title, 25), u"Home");
  ASSERT_TRUE(r.stored);
  EXPECT_EQ(r.stored->failureCount, 0);
  EXPECT_EQ(r.stored->lastSuccessTime, 1700000000);
  ASSERT_GE(r.history.size(), 3u);
  EXPECT_EQ(r.history[0], u"Connecting...");
  EXPECT_EQ(r.history[1], u"Downloading...");
  EXPECT_EQ(r.history[2], u"Downloading: 5 bytes");
}

// Every failing answer: row text and image, log text, failure count.
TEST_F(SiteCheckTest, FailedAnswersShowTheirReason) {
  struct Case {
    const char* path;
    std::int32_t mode;
    std::uint32_t limit;
    std::u16string status;
    std::u16string log;
  };
  const std::vector<Case> cases = {
      {"/missing", kModeDownload, 0xFFFFFFFFu, u"Failed. Not Found", u"Not Found"},
      {"/error", kModeDownload, 0xFFFFFFFFu, u"Failed. Internal Server Error",
       u"Internal Server Error"},
      {"/empty", kModeDownload, 0xFFFFFFFFu, u"Failed. OK", u"OK"},
      {"/short", kModeDownload, 0, u"Failed. OK", u"OK"},  // length test
      {"/script-case", kModeScript, 0, u"Failed. Verification failed (no magic word).",
       u"Verification failed (no magic word)."},
      {"/script-json", kModeScript, 0, u"Failed. Verification failed (no magic word).",
       u"Verification failed (no magic word)."},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::u16string title = u"Site " + AsciiToU16(std::to_string(n++));
    const UrlEntry entry = AddEntry(title, server_.Url16(c.path), c.mode, c.limit);
    const CheckResult r = Run(entry);
    EXPECT_EQ(r.outcome, kCheckFailed);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.image, kImageFailed);
    ASSERT_EQ(r.log.size(), static_cast<std::size_t>(n));
    EXPECT_EQ(r.log.back().passed, 0);
    EXPECT_EQ(LogText(r.log.back()), c.log);
    ASSERT_TRUE(r.stored);
    EXPECT_EQ(r.stored->failureCount, 2);
    EXPECT_EQ(r.stored->lastSuccessTime, 42);
  }
}

TEST_F(SiteCheckTest, PassingAnswers) {
  struct Case {
    const char* path;
    std::int32_t mode;
    std::uint32_t limit;
    std::size_t progressTexts;  // 0 = not checked
  };
  const std::vector<Case> cases = {
      {"/short", kModeDownload, 0xFFFFFFFFu, 0},  // the default limit skips the length test
      {"/bytes5000", kModeDownload, 2, 1},        // stops after the first chunk
      {"/script-split", kModeScript, 0, 0},       // word across chunks, TEXT/ in capitals
      {"/script-ok", kModeScript, 0, 0},
      {"/moved", kModeDownload, 0, 0},  // redirect to another path
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const UrlEntry entry = AddEntry(u"Pass " + AsciiToU16(std::to_string(n++)),
                                    server_.Url16(c.path), c.mode, c.limit);
    const CheckResult r = Run(entry);
    EXPECT_EQ(r.outcome, kCheckPassed);
    EXPECT_EQ(r.image, kImagePassed);
    EXPECT_EQ(LogText(r.log.back()), u"OK");
    if (c.progressTexts != 0) {
      const auto progress = std::count_if(r.history.begin(), r.history.end(),
                                          [](auto& t) { return t.starts_with(u"Downloading: "); });
      EXPECT_EQ(static_cast<std::size_t>(progress), c.progressTexts);
    }
  }
}

TEST_F(SiteCheckTest, ProgressTextsCountBytesThenKilobytes) {
  EXPECT_EQ(ProgressText(0), u"Downloading: 0 bytes");
  EXPECT_EQ(ProgressText(1023), u"Downloading: 1023 bytes");
  EXPECT_EQ(ProgressText(1024), u"Downloading: 1 kb");
  EXPECT_EQ(ProgressText(2047), u"Downloading: 1 kb");
  EXPECT_EQ(ProgressText(2048), u"Downloading: 2 kb");
  // And as a real download shows them after its last chunk.
  for (auto [size, text] :
       {std::pair{1023, u"Downloading: 1023 bytes"}, std::pair{1024, u"Downloading: 1 kb"},
        std::pair{2047, u"Downloading: 1 kb"}}) {
    const std::string path = "/bytes" + std::to_string(size);
    const UrlEntry entry = AddEntry(AsciiToU16(path), server_.Url16(path));
    const CheckResult r = Run(entry);
    EXPECT_EQ(r.outcome, kCheckPassed);
    EXPECT_EQ(LastProgress(r), text);
  }
}

TEST_F(SiteCheckTest, OnlyHttpAndHttpsAreFetched) {
  int n = 0;
  for (std::u16string url :
       {server_.Url16("/to-file"), std::u16string(u"file:///etc/passwd"),
        std::u16string(u"ftp://127.0.0.1/x"), std::u16string(u"gopher://127.0.0.1/")}) {
    SCOPED_TRACE(std::string(url.begin(), url.end()));
    const UrlEntry entry = AddEntry(u"Bad " + AsciiToU16(std::to_string(n++)), url);
    const CheckResult r = Run(entry);
    EXPECT_EQ(r.outcome, kCheckFailed);
    EXPECT_TRUE(r.status.starts_with(u"Failed. Cannot connect to the server. Code: "))
        << std::string(r.status.begin(), r.status.end());
    EXPECT_EQ(r.image, kImageFailed);
    EXPECT_EQ(LogText(r.log.back()), u"Cannot connect to the server.");
    EXPECT_EQ(r.stored->failureCount, 2);
  }
}

TEST_F(SiteCheckTest, CancelWhileDownloadingChangesNothing) {
  const UrlEntry entry = AddEntry(u"Endless", server_.Url16("/endless"));
  window_.Send([&] {
    list_.onStatus = [&](const std::u16string& text) {
      if (text.starts_with(u"Downloading: ")) cancel_->Set();
    };
  });
  const CheckResult r = Run(entry);
  EXPECT_EQ(r.outcome, kCheckFailed);
  EXPECT_EQ(r.status, u"Canceled");
  EXPECT_EQ(r.image, kImageIdle);
  EXPECT_TRUE(r.log.empty());
  ASSERT_TRUE(r.stored);
  EXPECT_EQ(r.stored->failureCount, 1);
  EXPECT_EQ(r.stored->lastSuccessTime, 42);
  window_.Send([&] { list_.onStatus = nullptr; });
}

TEST_F(SiteCheckTest, SizeLimitStopsAnEndlessDownload) {
  const UrlEntry entry = AddEntry(u"Endless", server_.Url16("/endless"), kModeDownload, 100000);
  const CheckResult r = Run(entry);
  EXPECT_EQ(r.outcome, kCheckPassed);
  // The first chunk that reaches 100000 bytes ends the reading.
  const std::u16string last = LastProgress(r);
  EXPECT_TRUE(last == u"Downloading: 97 kb" || last == u"Downloading: 98 kb");
}

TEST_F(SiteCheckTest, SessionsFollowTheProxySettings) {
  RecordingInternet internet(curl_);
  const UrlEntry entry = AddEntry(u"Home", server_.Url16("/ok"));

  EXPECT_TRUE(WriteSetting(temp_.store(), kProxyMode, 2));
  EXPECT_TRUE(WriteSetting(temp_.store(), kProxyAddress, u"localhost"));
  EXPECT_TRUE(WriteSetting(temp_.store(), kProxyPort, 3128));
  Run(entry, &internet);  // whatever answers there
  ASSERT_EQ(internet.proxies.size(), 1u);
  EXPECT_EQ(internet.types[0], ProxyType::kProxy);
  EXPECT_EQ(internet.proxies[0], u"localhost:3128");
  EXPECT_EQ(internet.agents[0], u"Velmora Halvern");

  EXPECT_TRUE(WriteSetting(temp_.store(), kProxyMode, 3));
  const CheckResult r = Run(entry, &internet);
  EXPECT_EQ(internet.proxies.size(), 1u);  // no session opened
  EXPECT_EQ(r.outcome, kCheckFailed);
  EXPECT_EQ(r.status, u"Failed. Network Failure.");
  EXPECT_EQ(r.image, kImageFailed);
  EXPECT_EQ(LogText(r.log.back()), u"Network Failure.");
  EXPECT_EQ(r.stored->failureCount, 2);  // the job's copy counted 1

  EXPECT_EQ(FormatProxyText(u"host", 3128), u"host:3128");
  EXPECT_EQ(FormatProxyText(std::u16string(2000, u'h'), 1).size(), 1023u);
}

TEST_F(SiteCheckTest, ProxyModesReachTheServerThroughTinyproxyOrNot) {
  test::ForwardProxy proxy(temp_.dir());
  const std::string request = "GET " + server_.Url("/ok");
  const UrlEntry entry = AddEntry(u"Home", server_.Url16("/ok"));

  // 2: the configured proxy.
  EXPECT_TRUE(WriteSetting(temp_.store(), kProxyMode, 2));
  EXPECT_TRUE(WriteSetting(temp_.store(), kProxyAddress, u"127.0.0.1"));
  EXPECT_TRUE(WriteSetting(temp_.store(), kProxyPort, proxy.port()));
  EXPECT_EQ(Run(entry).outcome, kCheckPassed);
  EXPECT_NE(proxy.Log().find(request), std::string::npos) << proxy.Log();

  // 1: direct, whatever the environment says; 0: the environment's proxy.
  const std::string proxyUrl = "http://127.0.0.1:" + std::to_string(proxy.port());
  ::setenv("http_proxy", proxyUrl.c_str(), 1);
  std::size_t before = proxy.Log().size();
  EXPECT_TRUE(WriteSetting(temp_.store(), kProxyMode, 1));
  EXPECT_EQ(Run(entry).outcome, kCheckPassed);
  EXPECT_EQ(proxy.Log().find(request, before), std::string::npos);
  before = proxy.Log().size();
  EXPECT_TRUE(WriteSetting(temp_.store(), kProxyMode, 0));
  EXPECT_EQ(Run(entry).outcome, kCheckPassed);
  EXPECT_NE(proxy.Log().find(request, before), std::string::npos);
  ::unsetenv("http_proxy");
}

TEST_F(SiteCheckTest, FailedConnectAttemptCarriesItsCode) {
  RecordingInternet internet(curl_);
  internet.attemptError = InternetError{6, u"Could not resolve host"};
  const UrlEntry entry = AddEntry(u"Home", server_.Url16("/ok"));
  const CheckResult r = Run(entry, &internet);
  EXPECT_EQ(r.outcome, kCheckFailed);
  EXPECT_EQ(r.status, u"Failed. Failed to connect to the server. Code: Could not resolve host");
  EXPECT_EQ(LogText(r.log.back()), u"Failed to connect to the server.");
  EXPECT_TRUE(internet.proxies.empty());
}

TEST_F(SiteCheckTest, RefusedConnectionShowsTheLibraryMessage) {
  const int port = test::FreeLoopbackPort();  // nobody listens there
  const UrlEntry entry =
      AddEntry(u"Closed", AsciiToU16("http://127.0.0.1:" + std::to_string(port) + "/"));
  const CheckResult r = Run(entry);
  EXPECT_EQ(r.outcome, kCheckFailed);
  EXPECT_TRUE(r.status.starts_with(u"Failed. Cannot connect to the server. Code: "));
  EXPECT_GT(r.status.size(),
            std::u16string(u"Failed. Cannot connect to the server. Code: ").size());
}

TEST_F(SiteCheckTest, HttpsTrustsOnlyVerifiedCertificates) {
  const test::TestCertificate good = test::MakeTestCertificate(temp_.dir(), "good");
  const test::TestCertificate stranger = test::MakeTestCertificate(temp_.dir(), "stranger");
  const test::TestCertificate otherName =
      test::MakeTestCertificate(temp_.dir(), "other", "DNS:other.invalid");
  // The client trusts "good" and "other" only.
  const auto bundle = temp_.dir() / "trusted.pem";
  ASSERT_EQ(std::system(("cat '" + good.certFile.string() + "' '" + otherName.certFile.string() +
                         "' > '" + bundle.string() + "'")
                            .c_str()),
            0);
  CurlInternet internet(CurlInternetOptions{bundle.string()});

  HttpTestServer trusted(&good), untrusted(&stranger), mismatched(&otherName);
  for (HttpTestServer* s : {&trusted, &untrusted, &mismatched}) {
    AddHandlers(s->http());
    s->Start();
  }
  EXPECT_EQ(Run(AddEntry(u"Trusted", trusted.Url16("/script-ok"), kModeScript), &internet).outcome,
            kCheckPassed);
  for (HttpTestServer* s : {&untrusted, &mismatched}) {
    const CheckResult r =
        Run(AddEntry(AsciiToU16(std::to_string(s->port())), s->Url16("/ok")), &internet);
    EXPECT_EQ(r.outcome, kCheckFailed);
    EXPECT_TRUE(r.status.starts_with(u"Failed. Cannot connect to the server. Code: "))
        << std::string(r.status.begin(), r.status.end());
  }
  // The system store does not know the test certificate either.
  EXPECT_EQ(Run(AddEntry(u"System", trusted.Url16("/ok"))).outcome, kCheckFailed);
}

TEST_F(SiteCheckTest, EntryGoneOrReplacedMeanwhileIsNotWrittenBack) {
  // Never stored (deleted before the check ended): still logged, not stored.
  UrlEntry gone = MakeEntry(u"Gone", server_.Url16("/ok"));
  window_.Send([&] { list_.InsertRow(0, u"Gone", kImageIdle); });
  CheckResult r = Run(gone);
  EXPECT_EQ(r.outcome, kCheckPassed);
  EXPECT_EQ(r.log.size(), 1u);
  EXPECT_FALSE(r.stored);

  // Another entry of the same title (new id) is left alone.
  UrlEntry old = AddEntry(u"Same", server_.Url16("/missing"));
  UrlEntry replacement = old;
  replacement.id = 999;
  replacement.failureCount = 7;
  ASSERT_TRUE(SaveUrlEntry(temp_.store(), u"Same", replacement));
  r = Run(old);
  EXPECT_EQ(r.stored->id, 999u);
  EXPECT_EQ(r.stored->failureCount, 7);
}

TEST_F(SiteCheckTest, MissingRowOnlySkipsTheRowUpdates) {
  UrlEntry entry = MakeEntry(u"No row", server_.Url16("/missing"));
  ASSERT_TRUE(SaveUrlEntry(temp_.store(), u"No row", entry));
  const CheckResult r = Run(entry);
  EXPECT_EQ(r.outcome, kCheckFailed);
  EXPECT_EQ(r.status, u"");
  ASSERT_EQ(r.log.size(), 1u);
  EXPECT_EQ(r.stored->failureCount, 2);
}

TEST_F(SiteCheckTest, UnknownModeIsAFailureThatCounts) {
  const UrlEntry entry = AddEntry(u"Odd", server_.Url16("/ok"), 5);
  const CheckResult r = Run(entry);
  EXPECT_EQ(r.outcome, kCheckFailed);
  EXPECT_EQ(r.status, u"Failed. Unknown check mode.");
  EXPECT_EQ(r.image, kImageFailed);
  ASSERT_EQ(r.log.size(), 1u);
  EXPECT_EQ(r.log[0].passed, 0);
  EXPECT_EQ(LogText(r.log[0]), u"Unknown check mode.");
  EXPECT_EQ(r.stored->failureCount, 2);
  EXPECT_EQ(r.stored->lastSuccessTime, 42);
  // The last progress still reached the row before the outcome.
  EXPECT_EQ(LastProgress(r), u"Downloading: 5 bytes");
}

// A server that hangs, before its answer or inside its body, ends the check
// at the check's timeouts with the outcome that a cut answer has.
TEST_F(SiteCheckTest, AHangingServerFailsAtTheTimeouts) {
  timeoutMs_ = 300;
  test::SilentServer silent;
  CheckResult r = Run(AddEntry(u"Silent", silent.Url16("/")));
  EXPECT_EQ(r.outcome, kCheckFailed);
  EXPECT_TRUE(r.status.starts_with(u"Failed. Cannot connect to the server. Code: "))
      << std::string(r.status.begin(), r.status.end());
  EXPECT_EQ(r.image, kImageFailed);
  EXPECT_EQ(LogText(r.log.back()), u"Cannot connect to the server.");
  EXPECT_EQ(r.stored->failureCount, 2);

  // Declares 5000 bytes and stops after 3000: without a size limit the length
  // test fails it; with the default limit the bytes received pass.
  test::SilentServer halfBody("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" +
                              Repeat('h', 3000));
  r = Run(AddEntry(u"Half", halfBody.Url16("/"), kModeDownload, 0));
  EXPECT_EQ(r.outcome, kCheckFailed);
  EXPECT_EQ(r.status, u"Failed. OK");
  EXPECT_EQ(LastProgress(r), u"Downloading: 2 kb");
  r = Run(AddEntry(u"Half default", halfBody.Url16("/")));
  EXPECT_EQ(r.outcome, kCheckPassed);
}

TEST_F(SiteCheckTest, AWorkerThatCannotStartIsARecordedFailure) {
  starter_ = [](std::function<void()>) {
    return std::make_error_code(std::errc::resource_unavailable_try_again);
  };
  expectStart_ = false;
  const CheckResult r = Run(AddEntry(u"No thread", server_.Url16("/ok")));
  EXPECT_EQ(r.outcome, kCheckFailed);
  EXPECT_EQ(
      r.status,
      u"Failed. Cannot start the check. Code: " +
          AsciiToU16(std::make_error_code(std::errc::resource_unavailable_try_again).message()));
  EXPECT_EQ(r.image, kImageFailed);
  ASSERT_EQ(r.log.size(), 1u);
  EXPECT_EQ(LogText(r.log[0]), u"Cannot start the check.");
  EXPECT_EQ(r.stored->failureCount, 2);
}

TEST_F(SiteCheckTest, ManyJobsAtOnce) {
  constexpr int kJobs = 40;
  std::vector<UrlEntry> entries;
  for (int i = 0; i < kJobs; ++i) {
    entries.push_back(AddEntry(u"Many " + AsciiToU16(std::to_string(i)),
                               server_.Url16(i % 2 ? "/ok" : "/missing")));
  }
  WorkerPool workers(SizedStackThreads());
  for (const UrlEntry& entry : entries) {
    EXPECT_TRUE(StartCheckJob(
        std::make_unique<CheckJob>(Borrowed<WindowHost>(window_), &list_, cancel_, 0, Services()),
        std::make_unique<UrlEntry>(entry), workers));
  }
  int passed = 0;
  for (int i = 0; i < kJobs; ++i) {
    FakeWindow::Message done = window_.WaitMessage();
    ASSERT_EQ(done.message, UM_CHECK_DONE);
    auto job = TakeCheckJob(std::move(done.payload));
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(job->retryAllowed, 0);
    passed += static_cast<int>(done.lParam);
  }
  EXPECT_EQ(passed, kJobs / 2);
}

// Pure pieces.
// The history rows of the entry's checks, oldest first (the entries of these
// tests share one id).
std::vector<HistoryRow> HistoryOf(test::TempStore& temp, const UrlEntry& entry) {
  std::vector<HistoryRow> rows;
  for (HistoryRow& row : temp.store().History()->ReadChecks({entry.id})) {
    if (row.title == EntryTitle(entry)) rows.push_back(std::move(row));
  }
  return rows;
}

// Each phase that happened lies after the one before it, within the total.
void ExpectPhasesInOrder(const HistoryRow& row) {
  double last = 0;
  for (const auto& phase : {row.dnsMs, row.connectMs, row.tlsMs, row.firstByteMs, row.totalMs}) {
    if (!phase) continue;
    EXPECT_GE(*phase, last);
    last = *phase;
  }
}

TEST_F(SiteCheckTest, EveryRecordedOutcomeLeavesAHistoryRow) {
  const UrlEntry slow = AddEntry(u"Slow", server_.Url16("/slow"));
  clock_.SetMs(1700000000123);
  ASSERT_EQ(Run(slow).outcome, kCheckPassed);
  auto rows = HistoryOf(temp_, slow);
  ASSERT_EQ(rows.size(), 1u);
  const HistoryRow& passed = rows[0];
  EXPECT_EQ(passed.entryId, slow.id);
  EXPECT_EQ(passed.title, u"Slow");
  EXPECT_EQ(passed.url, server_.Url16("/slow"));
  EXPECT_EQ(passed.timeMs, 1700000000123);
  EXPECT_EQ(passed.kind, CheckKind::Scheduled);
  EXPECT_TRUE(passed.passed);
  EXPECT_EQ(passed.httpStatus, 200u);
  EXPECT_EQ(passed.detail, u"OK");
  EXPECT_TRUE(passed.connectMs);
  EXPECT_FALSE(passed.tlsMs);  // plain HTTP
  ASSERT_TRUE(passed.firstByteMs);
  ASSERT_TRUE(passed.totalMs);
  EXPECT_GE(*passed.totalMs, kSlowMs);
  EXPECT_GE(*passed.firstByteMs, kSlowMs);
  ExpectPhasesInOrder(passed);
  EXPECT_EQ(passed.bytes, 5);
  EXPECT_FALSE(passed.certNotAfter);

  const UrlEntry missing = AddEntry(u"Missing", server_.Url16("/missing"));
  ASSERT_EQ(Run(missing).outcome, kCheckFailed);
  rows = HistoryOf(temp_, missing);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_FALSE(rows[0].passed);
  EXPECT_EQ(rows[0].httpStatus, 404u);
  EXPECT_EQ(rows[0].detail, u"Failed. Not Found");
  EXPECT_TRUE(rows[0].bytes);
  ExpectPhasesInOrder(rows[0]);

  // No answer: the whole text the row shows, no status, no bytes, no connection.
  const UrlEntry refused = AddEntry(u"Refused", u"http://127.0.0.1:1/");
  ASSERT_EQ(Run(refused).outcome, kCheckFailed);
  rows = HistoryOf(temp_, refused);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].httpStatus, 0u);
  EXPECT_TRUE(rows[0].detail.starts_with(u"Failed. Cannot connect to the server. Code: "));
  EXPECT_GT(rows[0].detail.size(), kLogTextChars);
  EXPECT_FALSE(rows[0].bytes);
  EXPECT_FALSE(rows[0].connectMs);
  EXPECT_FALSE(rows[0].firstByteMs);
  EXPECT_TRUE(rows[0].totalMs);
}

TEST_F(SiteCheckTest, HttpsRowsTimeTheHandshake) {
  const test::TestCertificate cert = test::MakeTestCertificate(temp_.dir());
  CurlInternet internet(CurlInternetOptions{cert.certFile.string()});
  HttpTestServer https(&cert);
  AddHandlers(https.http());
  https.Start();
  const UrlEntry entry = AddEntry(u"Secure", https.Url16("/slow"));
  ASSERT_EQ(Run(entry, &internet).outcome, kCheckPassed);
  const auto rows = HistoryOf(temp_, entry);
  ASSERT_EQ(rows.size(), 1u);
  ASSERT_TRUE(rows[0].connectMs);
  ASSERT_TRUE(rows[0].tlsMs);
  EXPECT_GE(*rows[0].tlsMs, *rows[0].connectMs);
  EXPECT_GE(*rows[0].totalMs, kSlowMs);
  ExpectPhasesInOrder(rows[0]);
}

TEST_F(SiteCheckTest, CancelledOrUnloggedChecksLeaveNoHistoryRow) {
  const UrlEntry endless = AddEntry(u"Endless", server_.Url16("/endless"));
  window_.Send([&] {
    list_.onStatus = [&](const std::u16string& text) {
      if (text.starts_with(u"Downloading: ")) cancel_->Set();
    };
  });
  EXPECT_EQ(Run(endless).status, u"Canceled");
  window_.Send([&] { list_.onStatus = nullptr; });
  cancel_->Reset();
  EXPECT_TRUE(HistoryOf(temp_, endless).empty());

  ASSERT_TRUE(WriteSetting(temp_.store(), kKeepLogFiles, 0));
  const UrlEntry ok = AddEntry(u"Home", server_.Url16("/ok"));
  EXPECT_EQ(Run(ok).outcome, kCheckPassed);
  EXPECT_TRUE(HistoryOf(temp_, ok).empty());
}

TEST(SiteCheckText, FindTextIsExactAndFindsTheEmptyWord) {
  EXPECT_EQ(FindText(u"abcabc", u"ca"), 2u);
  EXPECT_EQ(FindText(u"abc", u""), 0u);
  EXPECT_FALSE(FindText(u"ABC", u"abc"));
  EXPECT_FALSE(FindText(u"", u"a"));
}

TEST(SiteCheckText, TextContentTypesIgnoreCaseOverFiveCharacters) {
  EXPECT_TRUE(IsTextContentType(u"text/html"));
  EXPECT_TRUE(IsTextContentType(u"TEXT/PLAIN; charset=utf-8"));
  EXPECT_TRUE(IsTextContentType(u"Text/"));
  EXPECT_FALSE(IsTextContentType(u"text"));
  EXPECT_FALSE(IsTextContentType(u"application/json"));
  EXPECT_FALSE(IsTextContentType(u""));
}

TEST(SiteCheckText, MagicWordScanFindsSplitWordsWithBoundedMemory) {
  // Split at every position between two chunks.
  const std::string word = "BrankolvistPassed";
  for (std::size_t cut = 0; cut <= word.size(); ++cut) {
    MagicWordScan scan;
    const std::string a = std::string(1000, '.') + word.substr(0, cut);
    const std::string b = word.substr(cut) + std::string(1000, '.');
    scan.Append(a.data(), a.size());
    scan.Append(b.data(), b.size());
    EXPECT_TRUE(scan.found()) << cut;
    EXPECT_TRUE(FindText(scan.text(), kMagicWord));
  }
  // A long text without the word keeps only a short tail.
  MagicWordScan scan;
  const std::string chunk(1024, 'x');
  for (int i = 0; i < 1000; ++i) scan.Append(chunk.data(), chunk.size());
  EXPECT_FALSE(scan.found());
  EXPECT_LT(scan.text().size(), word.size());
  // A chunk counts up to its first zero byte.
  MagicWordScan zero;
  const std::string withZero = std::string("ab\0", 3) + word;
  zero.Append(withZero.data(), withZero.size());
  EXPECT_FALSE(zero.found());
}

}  // namespace
}  // namespace halvern
