#pragma once
// The network connection that a check run holds while its checks work.

#include <cstdint>
#include <memory>

namespace halvern {

class Connection {
 public:
  virtual ~Connection() = default;
  // Whether the connection still reports a connected state.
  [[nodiscard]] virtual bool IsConnected() = 0;
};

class ConnectionManager {
 public:
  virtual ~ConnectionManager() = default;
  // Blocks until a connection to the internet is established, fails, or
  // `timeoutMs` passes. Nothing on failure. Releasing is destroying the handle.
  [[nodiscard]] virtual std::unique_ptr<Connection> EstablishConnection(
      std::uint32_t timeoutMs) = 0;
};

}  // namespace halvern
