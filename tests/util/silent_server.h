#pragma once
// A loopback TCP server that accepts connections, optionally writes a fixed
// prefix (part of an answer), and then never sends another byte, holding the
// connection open until the client gives up or the server is destroyed. It
// shows how a client's timeouts behave against a server that hangs.
//
//   SilentServer server;                        // accepts, says nothing
//   SilentServer half("HTTP/1.1 200 OK\r\n");   // stops inside the headers
//   std::u16string url = server.Url16("/x");

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace halvern::test {

class SilentServer {
 public:
  explicit SilentServer(std::string prefix = {}) : prefix_(std::move(prefix)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ::close(listener_);
      throw std::runtime_error("cannot listen on loopback");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~SilentServer() {
    stop_ = true;
    thread_.join();
    for (int fd : clients_) ::close(fd);
    ::close(listener_);
  }
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;

  int port() const { return port_; }
  // How many connections it has taken so far.
  int Accepted() const { return accepted_.load(); }
  std::u16string Url16(const std::string& path) const {
    const std::string url = "http://127.0.0.1:" + std::to_string(port_) + path;
    return std::u16string(url.begin(), url.end());
  }

 private:
  void Serve() {
    while (!stop_) {
      pollfd waiting{listener_, POLLIN, 0};
      if (::poll(&waiting, 1, 20) <= 0) continue;
      const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      if (!prefix_.empty()) {
        [[maybe_unused]] const auto sent =
            ::send(client, prefix_.data(), prefix_.size(), MSG_NOSIGNAL);
      }
      clients_.push_back(client);  // held open, silent, until destruction
      ++accepted_;
    }
  }

  std::string prefix_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::vector<int> clients_;  // Serve's until the thread is joined
  std::thread thread_;
};

}  // namespace halvern::test
