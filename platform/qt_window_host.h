#pragma once
// The window host on Qt Core's event loop: messages posted from any thread,
// synchronous calls into the window's thread, and window timers, all delivered
// to one WindowHandler on the thread that constructed the host (the thread
// running the QCoreApplication's loop).
//
// Shutdown: after Close() (or destruction) nothing reaches the handler any
// more and no Qt object is touched for a worker: Send from a worker returns at
// once without running its call, also when it was already waiting; posts are
// dropped. A dropped message (posted after Close or without a handler, or
// still queued when Close came) destroys its payload, which frees what it owns
// (a CheckJob). The state that workers touch is shared: WorkerHandle() stays
// safe to call after the host itself, the window and the application are gone.

#include <cstdint>
#include <functional>
#include <memory>

#include "window_host.h"

namespace halvern {

class QtWindowHost final : public WindowHost {
 public:
  explicit QtWindowHost(WindowHandler* handler = nullptr);
  ~QtWindowHost() override;
  QtWindowHost(const QtWindowHost&) = delete;
  QtWindowHost& operator=(const QtWindowHost&) = delete;

  // Window thread. Messages that arrive while no handler is set are dropped.
  void SetHandler(WindowHandler* handler);
  // Window thread. Stops all delivery and timers and drops queued messages.
  // Not to be undone; safe to call twice.
  void Close();
  bool IsClosed() const;

  // The host as worker threads should hold it: it outlives this object and
  // behaves as a closed host once this object is gone.
  std::shared_ptr<WindowHost> WorkerHandle() const;

  void PostMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override;
  void PostOwnedMessage(std::uint32_t message, std::unique_ptr<MessagePayload> payload,
                        std::intptr_t lParam) override;
  void Send(const std::function<void()>& call) override;
  void RunPendingCalls() override;
  // Calls the painter given to SetPainter, if any and the host is open.
  void PaintNow() override;
  // Window thread: how the window draws its changes at once (a widget's
  // repaint); Qt Core alone has nothing to draw.
  void SetPainter(std::function<void()> painter);
  void SetTimer(std::uint32_t id, std::uint32_t milliseconds) override;
  // A timerfd on CLOCK_REALTIME per id; false where none can be made.
  bool SetWallTimer(std::uint32_t id, std::int64_t epochMs) override;
  void KillTimer(std::uint32_t id) override;

  class Core;

 private:
  std::shared_ptr<Core> core_;
  std::function<void()> painter_;
};

}  // namespace halvern
