#include "local_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace halvern::bench {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string FindNginx() {
  for (const char* path : {"/usr/sbin/nginx", "/usr/local/sbin/nginx", "/usr/bin/nginx"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return {};
}

// A port that was free a moment ago (the server binds it right after).
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

// The pages of the mix. The slow answer is 2 KB sent at 768 bytes a second:
// nginx sends the first second's share at once and the rest over about 2 s.
void WritePages(const fs::path& root) {
  fs::create_directory(root);
  fs::permissions(root, fs::perms(0755));
  WriteFile(root / "small", std::string(2048, 's'));
  WriteFile(root / "mb", std::string(1 << 20, 'x'));
  WriteFile(root / "script", std::string(1500, '.') + "BrankolvistPassed" + std::string(500, '.'));
  WriteFile(root / "slow", std::string(2048, 's'));
}

// The configuration, with @DIR@ for the server's folder and @PORT@ for its port.
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
  server {
    listen 127.0.0.1:@PORT@ backlog=4096;
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

std::string NginxConfig(const fs::path& folder, int port) {
  std::string config = kNginxConfig;
  const auto replace = [&config](const std::string& from, const std::string& to) {
    for (std::size_t at = config.find(from); at != std::string::npos;
         at = config.find(from, at + to.size())) {
      config.replace(at, from.size(), to);
    }
  };
  replace("@DIR@", folder.string());
  replace("@PORT@", std::to_string(port));
  return config;
}

}  // namespace

std::unique_ptr<LocalServer> LocalServer::Start(const fs::path& binDir, bool useNginx,
                                                std::string& error) {
  std::unique_ptr<LocalServer> server(new LocalServer);
  std::string pattern = (fs::temp_directory_path() / "halvern-server-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    error = "cannot make a temporary folder";
    return nullptr;
  }
  server->folder_ = pattern;
  const std::string nginx = useNginx ? FindNginx() : std::string();
  if (!nginx.empty()) {
    // nginx's workers run as an unprivileged user when started by root: let
    // them read the pages.
    fs::permissions(server->folder_, fs::perms(0755));
    fs::create_directory(server->folder_ / "temp");
    WritePages(server->folder_ / "www");
    server->port_ = FreePort();
    WriteFile(server->folder_ / "nginx.conf", NginxConfig(server->folder_, server->port_));
    const std::string f = server->folder_.string();
    server->process_ = ChildProcess::Spawn(
        {{nginx, "-e", f + "/error.log", "-p", f, "-c", f + "/nginx.conf", "-g", "daemon off;"},
         {},
         f + "/output.log"},
        error);
    server->description_ = "private nginx (" + nginx + ")";
  } else {
    server->process_ =
        ChildProcess::Spawn({{(binDir / "check_bench").string(), "--serve"}, {}, {}, true}, error);
    if (server->process_) server->port_ = std::atoi(server->process_->ReadLine().c_str());
    server->description_ = useNginx ? "check_bench's own server (nginx is not installed: "
                                      "apt-get install nginx-light, or nginx)"
                                    : "check_bench's own server";
  }
  if (!server->process_) return nullptr;
  for (int i = 0; i < 500 && !(server->port_ > 0 && Accepts(server->port_)); ++i) {
    std::string how;
    if (server->process_->HasEnded(&how)) {
      error = "the server ended at start (" + how + "); see " + server->folder_.string();
      server->folder_.clear();  // kept for a look at its logs
      return nullptr;
    }
    std::this_thread::sleep_for(10ms);
  }
  if (server->port_ <= 0 || !Accepts(server->port_)) {
    error = "the server does not accept connections on 127.0.0.1:" + std::to_string(server->port_);
    return nullptr;
  }
  return server;
}

LocalServer::~LocalServer() {
  if (process_) process_->End(SIGTERM, 3s);
  std::error_code ec;
  if (!folder_.empty()) fs::remove_all(folder_, ec);
}

}  // namespace halvern::bench
