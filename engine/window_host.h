#pragma once
// What the engine needs of the main window: a target for posted messages,
// synchronous calls into its thread, and window timers. The Qt implementation in
// platform/ runs it on Qt Core's event loop; the main window reuses it.

#include <cstdint>
#include <functional>
#include <memory>

#include "launcher_protocol.h"

namespace halvern {

// Private window messages. UM_RUN_CHECK and UM_NOTIFY_ICON also come from
// other programs over the launcher socket.
inline constexpr std::uint32_t UM_RUN_CHECK = launcher_protocol::kRunCheck;
inline constexpr std::uint32_t UM_CHECK_DONE = 0x0466;
inline constexpr std::uint32_t UM_NOTIFY_ICON = launcher_protocol::kNotifyIcon;

// What a posted message owns (the CheckJob of a UM_CHECK_DONE). The queued
// message owns it until the handler takes it; a message that is never
// delivered frees it by being destroyed.
class MessagePayload {
 public:
  virtual ~MessagePayload() = default;
};

// Receives what the host delivers, always on the window's thread.
class WindowHandler {
 public:
  virtual ~WindowHandler() = default;
  virtual void OnMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) = 0;
  // A message that carries a payload: the handler owns it from here on. A
  // handler that has no use for it lets it go, which frees it.
  virtual void OnOwnedMessage(std::uint32_t message, std::unique_ptr<MessagePayload> payload,
                              std::intptr_t lParam) {
    static_cast<void>(message);
    static_cast<void>(payload);
    static_cast<void>(lParam);
  }
  virtual void OnTimer(std::uint32_t id) = 0;
};

class WindowHost {
 public:
  virtual ~WindowHost() = default;
  // Queues a message for the handler; callable from any thread, returns at once.
  virtual void PostMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) = 0;
  // Queues a message that owns `payload`; callable from any thread, returns at
  // once. A host that drops the message (no handler, window gone, queue
  // cleared) destroys the payload, possibly inside this call: a caller whose
  // payload holds a reference to this host keeps one of its own across it.
  virtual void PostOwnedMessage(std::uint32_t message, std::unique_ptr<MessagePayload> payload,
                                std::intptr_t lParam) = 0;
  // Runs `call` on the window's thread and returns when it has run. From the
  // window's own thread it runs at once.
  virtual void Send(const std::function<void()>& call) = 0;
  // Window thread only: runs at once the calls that workers wait for in Send,
  // leaving posted messages and timers queued. A long handler calls it now and
  // then, so that no worker is held up for the whole of it.
  virtual void RunPendingCalls() {}
  // Window thread only: draws at once what has changed in the window, leaving
  // messages, timers and input queued. A handler about to block calls it so
  // that the window shows what it waits for.
  virtual void PaintNow() {}
  // An id names one timer: setting it again restarts it; killing a missing one
  // does nothing. Timers repeat until killed. Window thread only.
  virtual void SetTimer(std::uint32_t id, std::uint32_t milliseconds) = 0;
  // Sets timer `id` to fire once when the wall clock reaches `epochMs` (UTC
  // milliseconds): at once for an instant already past, right after a resume
  // for one the machine slept through, and early whenever the wall clock is
  // set, so the handler reads the clock again and sets it anew. It replaces a
  // timer of the same id, SetTimer replaces it, KillTimer kills it. False when
  // the host has no such timer (nothing is set): the caller then ticks with
  // SetTimer. Window thread only.
  virtual bool SetWallTimer(std::uint32_t id, std::int64_t epochMs) {
    static_cast<void>(id);
    static_cast<void>(epochMs);
    return false;
  }
  virtual void KillTimer(std::uint32_t id) = 0;
};

}  // namespace halvern
