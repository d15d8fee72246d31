#pragma once
// The network connection that a check run holds while its checks work.

#include <cstdint>
#include <functional>
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

  // Told on the caller's thread: true when the manager starts to wait for a
  // network that is not there yet (one that is coming back after a resume,
  // or still connecting), false when that wait has ended, before the call
  // returns.
  using WaitNotice = std::function<void(bool waiting)>;
  // EstablishConnection, telling `notice` (which may be empty) of its wait.
  // A manager that never waits for a network need not override it.
  [[nodiscard]] virtual std::unique_ptr<Connection> AwaitConnection(std::uint32_t timeoutMs,
                                                                    const WaitNotice& notice) {
    static_cast<void>(notice);
    return EstablishConnection(timeoutMs);
  }
};

}  // namespace halvern
