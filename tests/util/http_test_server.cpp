#include "http_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <list>
#include <mutex>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace halvern::test {
namespace {

using namespace std::chrono_literals;

// One thread per connection, so handlers that wait (slow answers, endless
// bodies) never hold up other requests. Finished threads are reaped as new
// ones start; shutdown joins the rest.
class ThreadPerTask final : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> fn) override {
    std::lock_guard lock(mutex_);
    Reap();
    auto& task = tasks_.emplace_back();
    task.thread = std::thread([fn = std::move(fn), done = &task.done] {
      fn();
      done->store(true);
    });
  }
  void shutdown() override {
    std::lock_guard lock(mutex_);
    for (auto& task : tasks_) task.thread.join();
    tasks_.clear();
  }

 private:
  struct Task {
    std::thread thread;
    std::atomic<bool> done{false};
  };
  void Reap() {
    for (auto it = tasks_.begin(); it != tasks_.end();) {
      if (it->done.load()) {
        it->thread.join();
        it = tasks_.erase(it);
      } else {
        ++it;
      }
    }
  }
  std::mutex mutex_;
  std::list<Task> tasks_;
};

bool CanConnect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

std::string Quote(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

}  // namespace

std::u16string AsciiToU16(std::string_view text) {
  return std::u16string(text.begin(), text.end());
}

int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot find a free port");
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

TestCertificate MakeTestCertificate(const std::filesystem::path& dir, std::string_view name,
                                    std::string_view subjectAltName) {
  TestCertificate result{dir / (std::string(name) + ".crt"), dir / (std::string(name) + ".key")};
  const std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
      " -subj /CN=halvern-test -addext subjectAltName=" +
      std::string(subjectAltName) + " -keyout " + Quote(result.keyFile) + " -out " +
      Quote(result.certFile) + " >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0 || !std::filesystem::exists(result.certFile)) {
    throw std::runtime_error("openssl could not make a test certificate");
  }
  return result;
}

HttpTestServer::HttpTestServer(const TestCertificate* certificate)
    : https_(certificate != nullptr) {
  if (certificate != nullptr) {
    server_ = std::make_unique<httplib::SSLServer>(certificate->certFile.c_str(),
                                                   certificate->keyFile.c_str());
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
  server_->new_task_queue = [] { return new ThreadPerTask; };
  server_->set_keep_alive_max_count(1);
}

HttpTestServer::~HttpTestServer() { Stop(); }

void HttpTestServer::Start() {
  if (!server_->is_valid()) throw std::runtime_error("test server is not valid (certificate?)");
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("test server cannot bind");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() before the server runs is lost; wait until it does.
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!server_->is_running()) {
    if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("server not running");
    std::this_thread::sleep_for(1ms);
  }
}

void HttpTestServer::Stop() {
  if (!thread_.joinable()) return;
  server_->stop();
  thread_.join();
}

std::string HttpTestServer::Url(std::string_view path) const {
  return std::string(https_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) +
         std::string(path);
}

std::u16string HttpTestServer::Url16(std::string_view path) const { return AsciiToU16(Url(path)); }

ForwardProxy::ForwardProxy(const std::filesystem::path& dir) : logFile_(dir / "tinyproxy.log") {
  port_ = FreeLoopbackPort();
  const std::filesystem::path config = dir / "tinyproxy.conf";
  {
    std::ofstream out(config);
    out << "Port " << port_ << "\n"
        << "Listen 127.0.0.1\n"
        << "Timeout 60\n"
        << "MaxClients 64\n"
        << "LogFile \"" << logFile_.string() << "\"\n"
        << "LogLevel Info\n"
        << "Allow 127.0.0.1\n"
        << "ConnectPort 443\n"
        << "DisableViaHeader Yes\n";
  }
  // tinyproxy drops root privileges; let it write its log whoever it becomes.
  { std::ofstream touch(logFile_); }
  std::filesystem::permissions(logFile_, std::filesystem::perms::all);

  std::string program = "/usr/bin/tinyproxy";
  std::string foreground = "-d";
  std::string configFlag = "-c";
  std::string configPath = config.string();
  char* argv[] = {program.data(), foreground.data(), configFlag.data(), configPath.data(), nullptr};
  pid_t pid = -1;
  if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) {
    throw std::runtime_error("cannot start tinyproxy");
  }
  pid_ = pid;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!CanConnect(port_)) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("tinyproxy exited: " + Log());
    }
    if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("tinyproxy silent");
    std::this_thread::sleep_for(10ms);
  }
}

ForwardProxy::~ForwardProxy() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

std::string ForwardProxy::Log() const {
  std::ifstream in(logFile_);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace halvern::test
