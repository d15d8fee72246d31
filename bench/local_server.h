#pragma once
// The web server of the program benchmark on 127.0.0.1, serving the mix of
// bench_mix.h: a private nginx with a generated configuration in a temporary
// folder when nginx is installed, else the check benchmark's own server.

#include <filesystem>
#include <memory>
#include <string>

#include "child_process.h"

namespace halvern::bench {

class LocalServer {
 public:
  // `binDir` holds check_bench, the fallback, which is also used when
  // `useNginx` is false. Nothing, and `error` set, when no server could start.
  [[nodiscard]] static std::unique_ptr<LocalServer> Start(const std::filesystem::path& binDir,
                                                          bool useNginx, std::string& error);
  ~LocalServer();  // stops the server and removes its folder
  LocalServer(const LocalServer&) = delete;
  LocalServer& operator=(const LocalServer&) = delete;

  int port() const { return port_; }
  // What serves, e.g. "private nginx (/usr/sbin/nginx)".
  const std::string& description() const { return description_; }

 private:
  LocalServer() = default;

  std::unique_ptr<ChildProcess> process_;
  std::filesystem::path folder_;
  int port_ = 0;
  std::string description_;
};

}  // namespace halvern::bench
