#pragma once
// Loopback servers for network tests, all on 127.0.0.1 and ephemeral ports:
//
//   HttpTestServer server;                          // plain HTTP
//   server.http().Get("/ok", [](const httplib::Request&, httplib::Response& res) {
//     res.set_content("hello", "text/plain");
//   });
//   server.Start();                                 // after registering handlers
//   std::u16string url = server.Url16("/ok");       // u"http://127.0.0.1:<port>/ok"
//
// HTTPS: make a certificate with MakeTestCertificate(dir) (openssl at run time,
// for 127.0.0.1 and localhost) and pass it to the constructor; clients trust it
// by using the certificate file as their CA file. ForwardProxy runs Debian's
// tinyproxy as a forward HTTP proxy; its log shows which requests went through.
//
// Handlers run on the server's threads (a pool of several hundred, so slow
// handlers do not hold up others). The destructor stops the server and joins.

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include <httplib.h>

namespace halvern::test {

struct TestCertificate {
  std::filesystem::path certFile;  // PEM, self-signed; doubles as the CA file
  std::filesystem::path keyFile;   // PEM
};

// Generates a self-signed certificate into `dir`, named `<name>.crt` /
// `<name>.key`, valid for the names in `subjectAltName` (openssl's syntax).
// Throws on failure.
TestCertificate MakeTestCertificate(const std::filesystem::path& dir,
                                    std::string_view name = "server",
                                    std::string_view subjectAltName = "IP:127.0.0.1,DNS:localhost");

class HttpTestServer {
 public:
  // Plain HTTP without a certificate, HTTPS with one.
  explicit HttpTestServer(const TestCertificate* certificate = nullptr);
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  // Register handlers here before Start().
  httplib::Server& http() { return *server_; }
  // Binds a free port on 127.0.0.1 and waits until the server accepts. Throws
  // when it cannot.
  void Start();
  void Stop();

  int port() const { return port_; }
  bool https() const { return https_; }
  // "http://127.0.0.1:<port><path>" (https:// for an HTTPS server).
  std::string Url(std::string_view path) const;
  std::u16string Url16(std::string_view path) const;

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  bool https_ = false;
};

// tinyproxy on a free loopback port, with its configuration and log in `dir`.
class ForwardProxy {
 public:
  // Starts the proxy and waits until it accepts connections. Throws on failure.
  explicit ForwardProxy(const std::filesystem::path& dir);
  ~ForwardProxy();
  ForwardProxy(const ForwardProxy&) = delete;
  ForwardProxy& operator=(const ForwardProxy&) = delete;

  int port() const { return port_; }
  // The proxy's log so far (tinyproxy logs each request line it forwards).
  std::string Log() const;

 private:
  std::filesystem::path logFile_;
  int pid_ = -1;
  int port_ = 0;
};

// A free TCP port on 127.0.0.1 at the time of the call.
int FreeLoopbackPort();

// UTF-16 from ASCII/UTF-8 bytes that are plain ASCII (URLs, paths).
std::u16string AsciiToU16(std::string_view text);

}  // namespace halvern::test
