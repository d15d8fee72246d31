// Internet layer benchmark: N sessions at once, each on a thread of its own as
// the check workers use the layer (open a session, open the address, read the
// body in 1 KB reads), against a private nginx on 127.0.0.1 serving the mix of
// bench_mix.h over HTTP and small pages over HTTPS: once with the server's
// self-signed certificate given to the layer as its CA bundle, once with the
// system's CA store (which refuses the server after the handshake, so that
// run shows what reading the system's store costs).
//
//   internet_bench [--counts 200,1000] [--https 200] [--repeats 3]
//
// Every run is a child process of its own that reports its wall time, its CPU
// time (user + sys) from the moment its threads, all made, start together,
// and its peak memory over the memory it had once the layer was ready;
// the driver samples the child's descriptors and threads every 5 ms. When
// internet_bench_baseline sits beside this program (built from another
// version of platform/curl_internet.{h,cpp} with
// -DHALVERN_INTERNET_BASELINE=<folder holding them>), it runs the same
// workload in turns with this one, so both are measured in one call.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <latch>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_mix.h"
#include "child_process.h"
#include "curl_internet.h"
#include "proc_stats.h"

namespace halvern::bench {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

constexpr char kWord[] = "BrankolvistPassed";

// ---- The child: N sessions at once.

double CpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
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

std::u16string Ascii16(const std::string& text) { return {text.begin(), text.end()}; }

// Fetches one address as a check does and says whether it passed: status 200,
// the declared length received, and for a script the magic word.
bool Fetch(Internet& internet, const std::string& url, bool script) {
  SessionResult opened = internet.OpenSession(ProxyType::kDirect, u"Velmora Halvern", u"");
  if (!opened.session) return false;
  for (InternetOption o : {InternetOption::kConnectTimeout, InternetOption::kReceiveTimeout,
                           InternetOption::kSendTimeout}) {
    if (!opened.session->SetOption(o, 60000)) return false;
  }
  OpenResult open = opened.session->OpenUrl(Ascii16(url), kCheckOpenFlags);
  if (!open.request) return false;
  const ResponseHeaders& headers = open.request->Headers();
  if (headers.statusCode != 200) return false;
  std::uint32_t received = 0;
  std::string tail;
  bool found = false;
  char buffer[1024];
  for (;;) {
    const ReadResult read = open.request->Read(buffer, sizeof buffer);
    if (read.bytes == 0) break;
    received += static_cast<std::uint32_t>(read.bytes);
    if (script && !found) {
      tail.append(buffer, read.bytes);
      found = tail.find(kWord) != std::string::npos;
      if (tail.size() > sizeof kWord) tail.erase(0, tail.size() - sizeof kWord);
    }
  }
  if (headers.contentLength != 0 && headers.contentLength != received) return false;
  return script ? found : received > 0;
}

// Prints "wall_ms cpu_ms peak_kb base_kb passed expected".
int RunSessions(bool https, int port, int count, const std::string& caFile) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  InitCurlGlobal();
  CurlInternet internet(CurlInternetOptions{caFile});
  std::vector<std::string> urls;
  std::vector<bool> scripts;
  int expected = 0;
  // Over HTTPS without the server's certificate as CA bundle, every check
  // reads the system's store and then refuses the server.
  const bool trusted = !caFile.empty();
  for (int i = 0; i < count; ++i) {
    const MixItem item =
        https ? MixItem{"/small?i=" + std::to_string(i), false, trusted} : MixAt(i);
    urls.push_back((https ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port) +
                   item.path);
    scripts.push_back(item.script);
    expected += item.expectPass ? 1 : 0;
  }

  std::ofstream("/proc/self/clear_refs") << "5";  // the peak (VmHWM) restarts here
  const long baseKb = StatusKb("VmRSS:");
  // Every thread is made first and all start together, so that all sessions
  // are open at once whatever the cost of making threads.
  std::atomic<int> passed{0};
  std::latch go(1);
  std::vector<std::thread> threads;
  threads.reserve(urls.size());
  for (std::size_t i = 0; i < urls.size(); ++i) {
    threads.emplace_back([&, i] {
      go.wait();
      if (Fetch(internet, urls[i], scripts[i])) passed.fetch_add(1);
    });
  }
  const double cpuBefore = CpuMs();
  const auto start = SteadyClock::now();
  go.count_down();
  for (std::thread& t : threads) t.join();
  const double wallMs =
      std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
  std::printf("%.1f %.1f %ld %ld %d %d\n", wallMs, CpuMs() - cpuBefore, StatusKb("VmHWM:"), baseKb,
              passed.load(), expected);
  return 0;
}

// ---- The server: a private nginx on two free ports, HTTP and HTTPS.

int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

bool Accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

void WriteFile(const fs::path& file, const std::string& content) {
  std::ofstream(file, std::ios::binary) << content;
  fs::permissions(file, fs::perms(0644));
}

// The pages of the mix; the slow answer is 2 KB sent at 768 bytes a second.
constexpr char kNginxConfig[] = R"(worker_processes auto;
worker_rlimit_nofile 65536;
pid @DIR@/nginx.pid;
error_log @DIR@/error.log warn;
events { worker_connections 16384; }
http {
  access_log off;
  default_type text/html;
  sendfile on;
  client_body_temp_path @DIR@/temp/body;
  proxy_temp_path @DIR@/temp/proxy;
  fastcgi_temp_path @DIR@/temp/fastcgi;
  uwsgi_temp_path @DIR@/temp/uwsgi;
  scgi_temp_path @DIR@/temp/scgi;
  ssl_certificate @DIR@/cert.pem;
  ssl_certificate_key @DIR@/key.pem;
  server {
    listen 127.0.0.1:@PORT@ backlog=4096;
    listen 127.0.0.1:@TLSPORT@ ssl backlog=4096;
    root @DIR@/www;
    location = /small { }
    location = /mb { default_type application/octet-stream; }
    location = /script { }
    location = /slow { limit_rate 768; }
    location = /error { return 500; }
    location / { return 404; }
  }
}
)";

class Server {
 public:
  // Nothing, with `error` set, when nginx or openssl is missing or fails.
  static std::unique_ptr<Server> Start(std::string& error) {
    std::unique_ptr<Server> s(new Server);
    std::string pattern = (fs::temp_directory_path() / "halvern-internet-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      error = "cannot make a temporary folder";
      return nullptr;
    }
    s->folder_ = pattern;
    const std::string f = s->folder_.string();
    // nginx's workers run as an unprivileged user when started by root.
    fs::permissions(s->folder_, fs::perms(0755));
    fs::create_directory(s->folder_ / "temp");
    const fs::path www = s->folder_ / "www";
    fs::create_directory(www);
    fs::permissions(www, fs::perms(0755));
    WriteFile(www / "small", std::string(2048, 's'));
    WriteFile(www / "mb", std::string(1 << 20, 'x'));
    WriteFile(www / "script", std::string(1500, '.') + kWord + std::string(500, '.'));
    WriteFile(www / "slow", std::string(2048, 's'));
    const std::string certificate =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
        " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
        f + "/key.pem' -out '" + f + "/cert.pem' >/dev/null 2>&1";
    if (std::system(certificate.c_str()) != 0) {
      error = "openssl could not make a certificate";
      return nullptr;
    }
    fs::permissions(s->folder_ / "key.pem", fs::perms(0644));
    s->port_ = FreePort();
    s->tlsPort_ = FreePort();
    std::string config = kNginxConfig;
    const auto replace = [&config](const std::string& from, const std::string& to) {
      for (std::size_t at = config.find(from); at != std::string::npos;
           at = config.find(from, at + to.size())) {
        config.replace(at, from.size(), to);
      }
    };
    replace("@DIR@", f);
    replace("@PORT@", std::to_string(s->port_));
    replace("@TLSPORT@", std::to_string(s->tlsPort_));
    WriteFile(s->folder_ / "nginx.conf", config);
    s->process_ = ChildProcess::Spawn({{"/usr/sbin/nginx", "-e", f + "/error.log", "-p", f, "-c",
                                        f + "/nginx.conf", "-g", "daemon off;"},
                                       {},
                                       f + "/output.log"},
                                      error);
    if (!s->process_) return nullptr;
    for (int i = 0; i < 500 && !(Accepts(s->port_) && Accepts(s->tlsPort_)); ++i) {
      if (s->process_->HasEnded()) break;
      std::this_thread::sleep_for(10ms);
    }
    if (!Accepts(s->port_) || !Accepts(s->tlsPort_)) {
      error = "nginx does not accept connections (apt-get install nginx-light); see " + f;
      s->folder_.clear();  // kept for a look at its logs
      return nullptr;
    }
    return s;
  }
  ~Server() {
    if (process_) process_->End(SIGTERM, 3s);
    std::error_code ec;
    if (!folder_.empty()) fs::remove_all(folder_, ec);
  }

  int port() const { return port_; }
  int tlsPort() const { return tlsPort_; }
  std::string caFile() const { return (folder_ / "cert.pem").string(); }

 private:
  Server() = default;
  std::unique_ptr<ChildProcess> process_;
  fs::path folder_;
  int port_ = 0, tlsPort_ = 0;
};

// ---- The driver.

struct Figures {
  double wallMs = 0, cpuMs = 0;
  long peakKb = 0, baseKb = 0;
  int passed = 0, expected = 0;
  int descriptors = 0, threads = 0;
};

Figures RunChild(const std::vector<std::string>& argv) {
  Figures f;
  std::string error;
  auto child = ChildProcess::Spawn({argv, {}, {}, true}, error);
  if (!child) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return f;
  }
  while (!child->HasEnded()) {
    if (const auto s = SampleProc(child->pid())) {
      f.descriptors = std::max(f.descriptors, s->descriptors);
      f.threads = std::max(f.threads, s->threads);
    }
    std::this_thread::sleep_for(5ms);
  }
  std::istringstream in(child->ReadAll());
  in >> f.wallMs >> f.cpuMs >> f.peakKb >> f.baseKb >> f.passed >> f.expected;
  return f;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

struct Variant {
  std::string name;
  fs::path program;
};

void Measure(const std::vector<Variant>& variants, const std::vector<std::string>& args, int count,
             int repeats, const char* label) {
  std::vector<std::vector<Figures>> runs(variants.size());
  for (int r = 0; r < repeats; ++r) {
    for (std::size_t v = 0; v < variants.size(); ++v) {
      std::vector<std::string> argv = {variants[v].program.string()};
      argv.insert(argv.end(), args.begin(), args.end());
      runs[v].push_back(RunChild(argv));
    }
  }
  for (std::size_t v = 0; v < variants.size(); ++v) {
    const auto median = [&](auto field) {
      std::vector<double> values;
      for (const Figures& f : runs[v]) values.push_back(field(f));
      return Median(values);
    };
    const Figures& last = runs[v].back();
    std::printf(
        "%-8s %5d %s: wall %6.0f ms  CPU %6.0f ms (%.3f ms/session)  peak %6.1f MB "
        "(+%5.1f over %5.1f)  fds %5.0f  threads %5.0f  passed %d/%d\n",
        variants[v].name.c_str(), count, label, median([](const Figures& f) { return f.wallMs; }),
        median([](const Figures& f) { return f.cpuMs; }),
        median([](const Figures& f) { return f.cpuMs; }) / count,
        median([](const Figures& f) { return f.peakKb / 1024.0; }),
        median([](const Figures& f) { return (f.peakKb - f.baseKb) / 1024.0; }),
        median([](const Figures& f) { return f.baseKb / 1024.0; }),
        median([](const Figures& f) { return f.descriptors; }),
        median([](const Figures& f) { return f.threads; }), last.passed, last.expected);
    std::fflush(stdout);
  }
}

std::vector<int> ParseCounts(const std::string& text) {
  std::vector<int> counts;
  std::istringstream in(text);
  for (std::string c; std::getline(in, c, ',');) counts.push_back(std::atoi(c.c_str()));
  return counts;
}

int Drive(const std::vector<std::string>& args) {
  std::vector<int> counts = {200, 1000};
  int httpsCount = 200;
  int repeats = 3;
  for (std::size_t i = 0; i + 1 < args.size(); i += 2) {
    if (args[i] == "--counts") counts = ParseCounts(args[i + 1]);
    if (args[i] == "--https") httpsCount = std::atoi(args[i + 1].c_str());
    if (args[i] == "--repeats") repeats = std::max(1, std::atoi(args[i + 1].c_str()));
  }
  const fs::path self = fs::read_symlink("/proc/self/exe");
  std::vector<Variant> variants = {{"this", self}};
  const fs::path baseline = self.parent_path() / "internet_bench_baseline";
  if (::access(baseline.c_str(), X_OK) == 0)
    variants.insert(variants.begin(), {"baseline", baseline});
  std::string error;
  const auto server = Server::Start(error);
  if (!server) {
    std::fprintf(stderr, "internet_bench: %s\n", error.c_str());
    return 1;
  }
  std::printf(
      "private nginx on 127.0.0.1; medians of %d; peak is VmHWM, +x over the layer "
      "ready\n",
      repeats);
  for (int count : counts) {
    Measure(variants, {"--run", "http", std::to_string(server->port()), std::to_string(count)},
            count, repeats, "http");
  }
  if (httpsCount > 0) {
    const std::vector<std::string> https = {"--run", "https", std::to_string(server->tlsPort()),
                                            std::to_string(httpsCount)};
    std::vector<std::string> trusted = https;
    trusted.push_back(server->caFile());
    Measure(variants, trusted, httpsCount, repeats, "https");
    Measure(variants, https, httpsCount, repeats, "https, system CA store (refused)");
  }
  return 0;
}

}  // namespace
}  // namespace halvern::bench

int main(int argc, char** argv) {
  using namespace halvern::bench;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() >= 4 && args[0] == "--run") {
    return RunSessions(args[1] == "https", std::atoi(args[2].c_str()), std::atoi(args[3].c_str()),
                       args.size() > 4 ? args[4] : std::string());
  }
  return Drive(args);
}
