// Check benchmark: site checks at scale against a local server, beside the
// libcurl multi reference (multi_reference, built beside this program).
//
//   check_bench                 full run: 200 and 1,000 checks, then memory runs
//   check_bench --counts 200    only the given check counts (comma-separated)
//   check_bench --repeats 3 --memory 0
//                               runs per count; skip the memory runs
//
// The server runs in a child process; the checks and the reference run in
// children of their own, each measuring its own wall time, CPU time (user +
// sys) and peak memory, so the server's work counts for neither. The checks
// report to the program's own window host on a Qt Core loop, as in the program.
// Beside each count, as many bare threads (start, wait, end) show what one
// worker per check costs by itself.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "bench_mix.h"
#include "clock.h"
#include "curl_internet.h"
#include "event.h"
#include "qt_window_host.h"
#include "site_check.h"
#include "sqlite_store.h"
#include "url_entry.h"
#include "url_list.h"
#include "window_host.h"

namespace halvern::bench {
namespace {

using namespace std::chrono_literals;

// ---- The server (child process): one thread per connection, Connection: close.

const std::string& Filler(std::size_t size) {
  static const std::string one(1 << 20, 'x');
  static const std::string small(2048, 's');
  return size == one.size() ? one : small;
}

bool SendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool SendHead(int fd, int code, const char* reason, const char* type, std::size_t length) {
  char head[256];
  const int n = std::snprintf(head, sizeof head,
                              "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\n"
                              "Connection: close\r\n\r\n",
                              code, reason, type, length);
  return SendAll(fd, head, static_cast<std::size_t>(n));
}

// Sends `total` bytes of `block` repeated (the last block cut).
void SendRepeated(int fd, const std::string& block, std::size_t total) {
  while (total > 0) {
    const std::size_t n = std::min(total, block.size());
    if (!SendAll(fd, block.data(), n)) return;
    total -= n;
  }
}

void Serve(int fd) {
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      ::close(fd);
      return;
    }
    request.append(buffer, static_cast<std::size_t>(n));
  }
  const std::size_t pathStart = request.find(' ') + 1;
  std::string path = request.substr(pathStart, request.find(' ', pathStart) - pathStart);
  std::string query;
  if (const std::size_t q = path.find('?'); q != std::string::npos) {
    query = path.substr(q + 1);
    path.resize(q);
  }
  if (path == "/small") {
    if (SendHead(fd, 200, "OK", "text/html", 2048)) SendAll(fd, Filler(2048).data(), 2048);
  } else if (path == "/mb") {
    if (SendHead(fd, 200, "OK", "application/octet-stream", 1 << 20)) {
      SendAll(fd, Filler(1 << 20).data(), 1 << 20);
    }
  } else if (path == "/script") {
    const std::string body = std::string(1500, '.') + "BrankolvistPassed" + std::string(500, '.');
    if (SendHead(fd, 200, "OK", "text/html", body.size())) SendAll(fd, body.data(), body.size());
  } else if (path == "/missing") {
    SendHead(fd, 404, "Not Found", "text/html", 0);
  } else if (path == "/error") {
    SendHead(fd, 500, "Internal Server Error", "text/html", 0);
  } else if (path == "/slow") {
    if (SendHead(fd, 200, "OK", "text/html", 2048)) {
      std::this_thread::sleep_for(2s);
      SendAll(fd, Filler(2048).data(), 2048);
    }
  } else if (path == "/huge") {  // 100 MB
    if (SendHead(fd, 200, "OK", "application/octet-stream", 100u << 20)) {
      SendRepeated(fd, Filler(1 << 20), 100u << 20);
    }
  } else if (path == "/text") {  // ?<size> bytes of text, the magic word last
    const std::size_t size = std::strtoull(query.c_str(), nullptr, 10);
    static const std::string word = "BrankolvistPassed";
    if (SendHead(fd, 200, "OK", "text/plain", size + word.size())) {
      SendRepeated(fd, Filler(1 << 20), size);
      SendAll(fd, word.data(), word.size());
    }
  } else {
    SendHead(fd, 404, "Not Found", "text/html", 0);
  }
  ::shutdown(fd, SHUT_WR);
  while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
  }
  ::close(fd);
}

// Binds 127.0.0.1 on a free port; returns the listening socket and its port.
std::pair<int, int> Listen() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 4096) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("server");
    std::exit(1);
  }
  return {fd, ntohs(address.sin_port)};
}

[[noreturn]] void RunServer(int listenFd) {
  for (;;) {
    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::thread(Serve, fd).detach();
  }
}

// ---- The checks (child process).

// Takes back every finished job on the window thread and quits the loop when
// the last of `expected` has come in.
class DoneCounter final : public WindowHandler {
 public:
  explicit DoneCounter(std::size_t expected) : expected_(expected) {}
  void OnMessage(std::uint32_t, std::uintptr_t, std::intptr_t) override {}
  void OnOwnedMessage(std::uint32_t message, std::unique_ptr<MessagePayload> payload,
                      std::intptr_t lParam) override {
    if (message != UM_CHECK_DONE) return;
    payload.reset();  // the finished job
    passed_ += static_cast<int>(lParam);
    if (++done_ == expected_) QCoreApplication::quit();
  }
  void OnTimer(std::uint32_t) override {}
  int passed() const { return passed_; }

 private:
  std::size_t expected_;
  std::size_t done_ = 0;
  int passed_ = 0;
};

class BenchList final : public UrlList {
 public:
  int InsertRow(int, const std::u16string& text, int image) override {
    rows_[text] = static_cast<int>(status_.size());
    status_.emplace_back();
    images_.push_back(image);
    return static_cast<int>(status_.size()) - 1;
  }
  void DeleteRow(int) override {}
  int FindRow(const std::u16string& text) const override {
    auto it = rows_.find(text);
    return it == rows_.end() ? -1 : it->second;
  }
  void SetRowStatusText(int row, const std::u16string& text) override { status_[row] = text; }
  void SetRowImage(int row, int image) override { images_[row] = image; }

 private:
  std::unordered_map<std::u16string, int> rows_;
  std::vector<std::u16string> status_;
  std::vector<int> images_;
};

double CpuMs(const rusage& u) {
  return u.ru_utime.tv_sec * 1e3 + u.ru_utime.tv_usec / 1e3 + u.ru_stime.tv_sec * 1e3 +
         u.ru_stime.tv_usec / 1e3;
}

long StatusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  }
  return -1;
}

void RaiseFileLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

struct Items {
  std::vector<std::string> paths;
  std::vector<int> modes;
};

// Runs the checks of `items` all at once, as a check run starts them, and
// prints "wall_ms cpu_ms maxrss_kb passed growth_kb".
int RunChecks(int port, const Items& items) {
  RaiseFileLimit();
  int argc = 1;
  char name[] = "check_bench";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  InitCurlGlobal();
  char pattern[] = "/tmp/halvern-bench-XXXXXX";
  const std::filesystem::path dir = ::mkdtemp(pattern);
  std::string error;
  std::shared_ptr<SqliteStore> store =
      SqliteStore::Open(dir / "registry.sqlite3", u"Velmora", error);
  if (!store) {
    std::fprintf(stderr, "store: %s\n", error.c_str());
    return 1;
  }
  DoneCounter counter(items.paths.size());
  QtWindowHost window(&counter);
  BenchList list;
  std::vector<UrlEntry> entries(items.paths.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    UrlEntry& e = entries[i];
    InitUrlEntry(e);
    e.id = static_cast<std::uint32_t>(i + 1);
    e.enabled = 1;
    const std::string title = "Site " + std::to_string(i);
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + items.paths[i];
    SetEntryTitle(e, std::u16string(title.begin(), title.end()));
    SetEntryUrl(e, std::u16string(url.begin(), url.end()));
    e.mode = items.modes[i];
    e.sizeLimit = 0xFFFFFFFFu;
    if (!SaveUrlEntry(*store, EntryTitle(e), e))
      std::fprintf(stderr, "bench: a store write failed\n");
    list.InsertRow(0, EntryTitle(e), 0);
  }
  auto cancel = std::make_shared<ManualResetEvent>(kDownloadEventName);
  CheckServices services{store, std::make_shared<SystemClock>(), std::make_shared<CurlInternet>()};
  WorkerPool workers;
  const std::shared_ptr<WindowHost> worker = window.WorkerHandle();

  std::ofstream("/proc/self/clear_refs") << "5";  // restart the peak (VmHWM) from here
  const long baseKb = StatusKb("VmRSS:");
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  const auto start = std::chrono::steady_clock::now();
  for (const UrlEntry& e : entries) {
    static_cast<void>(StartCheckJob(std::make_unique<CheckJob>(worker, &list, cancel, 1, services),
                                    std::make_unique<UrlEntry>(e), workers));
  }
  QCoreApplication::exec();
  const int passed = counter.passed();
  const auto wall = std::chrono::steady_clock::now() - start;
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  const long peakKb = StatusKb("VmHWM:");
  std::printf("%.1f %.1f %ld %d %ld\n", std::chrono::duration<double, std::milli>(wall).count(),
              CpuMs(after) - CpuMs(before), after.ru_maxrss, passed, peakKb - baseKb);
  std::filesystem::remove_all(dir);
  return 0;
}

// Starts `count` threads at once that each wait 20 ms (as a check waits for its
// server) and end: what one worker per check costs before it does anything.
int RunThreads(int count) {
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  threads.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) threads.emplace_back([] { std::this_thread::sleep_for(20ms); });
  for (std::thread& t : threads) t.join();
  const auto wall = std::chrono::steady_clock::now() - start;
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  std::printf("%.1f %.1f %ld 0 0\n", std::chrono::duration<double, std::milli>(wall).count(),
              CpuMs(after) - CpuMs(before), after.ru_maxrss);
  return 0;
}

// ---- The driver.

std::string RunChild(const std::vector<std::string>& args) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipeFds[1], STDOUT_FILENO);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    std::_Exit(127);
  }
  ::close(pipeFds[1]);
  std::string out;
  char buffer[512];
  ssize_t n;
  while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) out.append(buffer, n);
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return out;
}

struct Figures {
  double wallMs = 0, cpuMs = 0;
  long maxRssKb = 0;
  int passed = 0;
  long growthKb = 0;
};

Figures Parse(const std::string& line) {
  Figures f;
  std::istringstream in(line);
  in >> f.wallMs >> f.cpuMs >> f.maxRssKb >> f.passed >> f.growthKb;
  return f;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

int Drive(const std::string& self, const std::vector<int>& counts, int repeats, bool memory) {
  const auto [listenFd, port] = Listen();
  const pid_t server = ::fork();
  if (server == 0) RunServer(listenFd);
  ::close(listenFd);
  const std::string portText = std::to_string(port);
  const std::string reference =
      (std::filesystem::path(self).parent_path() / "multi_reference").string();

  for (int count : counts) {
    std::vector<double> refWall, refCpu, chkWall, chkCpu, threadCpu;
    long refRss = 0, chkRss = 0;
    int refPassed = 0, chkPassed = 0;
    for (int r = 0; r < repeats; ++r) {
      const Figures ref = Parse(RunChild({reference, portText, std::to_string(count)}));
      const Figures chk = Parse(RunChild({self, "--checks", portText, std::to_string(count)}));
      threadCpu.push_back(Parse(RunChild({self, "--threads", std::to_string(count)})).cpuMs);
      refWall.push_back(ref.wallMs);
      refCpu.push_back(ref.cpuMs);
      chkWall.push_back(chk.wallMs);
      chkCpu.push_back(chk.cpuMs);
      refRss = std::max(refRss, ref.maxRssKb);
      chkRss = std::max(chkRss, chk.maxRssKb);
      refPassed = ref.passed;
      chkPassed = chk.passed;
    }
    const double rw = Median(refWall), rc = Median(refCpu), cw = Median(chkWall),
                 cc = Median(chkCpu);
    std::printf(
        "%5d checks (median of %d): reference wall %.0f ms, CPU %.0f ms (%.3f ms/check), "
        "peak %.1f MB, passed %d\n"
        "              site checks: wall %.0f ms, CPU %.0f ms (%.3f ms/check), peak %.1f MB, "
        "passed %d\n"
        "              ratio wall %.2f, CPU %.2f\n"
        "              threads alone (start, wait 20 ms, end): CPU %.3f ms/thread\n",
        count, repeats, rw, rc, rc / count, refRss / 1024.0, refPassed, cw, cc, cc / count,
        chkRss / 1024.0, chkPassed, cw / rw, cc / rc, Median(threadCpu) / count);
    std::fflush(stdout);
  }
  if (memory) {
    const Figures huge = Parse(RunChild({self, "--one", portText, "/huge", "0"}));
    std::printf("download check of 100 MB: passed %d, memory growth %.2f MB, wall %.0f ms\n",
                huge.passed, huge.growthKb / 1024.0, huge.wallMs);
    for (const char* size : {"1048576", "67108864"}) {
      const Figures text =
          Parse(RunChild({self, "--one", portText, std::string("/text?") + size, "1"}));
      std::printf("script check of %s bytes: passed %d, memory growth %.2f MB\n", size, text.passed,
                  text.growthKb / 1024.0);
    }
  }
  ::kill(server, SIGKILL);
  ::waitpid(server, nullptr, 0);
  return 0;
}

}  // namespace
}  // namespace halvern::bench

int main(int argc, char** argv) {
  using namespace halvern::bench;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() >= 3 && args[0] == "--checks") {
    const int count = std::atoi(args[2].c_str());
    Items items;
    for (int i = 0; i < count; ++i) {
      items.paths.push_back(MixAt(i).path);
      items.modes.push_back(MixAt(i).script ? halvern::kModeScript : halvern::kModeDownload);
    }
    return RunChecks(std::atoi(args[1].c_str()), items);
  }
  if (args.size() == 1 && args[0] == "--serve") {  // the server alone, for profiling
    const auto [fd, port] = Listen();
    std::printf("%d\n", port);
    std::fflush(stdout);
    RunServer(fd);
  }
  if (args.size() == 2 && args[0] == "--threads") return RunThreads(std::atoi(args[1].c_str()));
  if (args.size() == 4 && args[0] == "--one") {
    return RunChecks(std::atoi(args[1].c_str()), Items{{args[2]}, {std::atoi(args[3].c_str())}});
  }
  std::vector<int> counts = {200, 1000};
  int repeats = 3;
  bool memory = true;
  for (std::size_t i = 0; i + 1 < args.size(); i += 2) {
    if (args[i] == "--counts") {
      counts.clear();
      std::istringstream in(args[i + 1]);
      for (std::string c; std::getline(in, c, ',');) counts.push_back(std::atoi(c.c_str()));
    } else if (args[i] == "--repeats") {
      repeats = std::atoi(args[i + 1].c_str());
    } else if (args[i] == "--memory") {
      memory = args[i + 1] != "0";
    }
  }
  return Drive(std::filesystem::read_symlink("/proc/self/exe").string(), counts, repeats, memory);
}
