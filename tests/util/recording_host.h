#pragma once
// A window host that passes everything to a real one and keeps the table of
// the timers it set and has not killed, so that a test on real timers can see
// that none is left to fire instead of waiting to see that none fires. A wall
// timer stays in the table after it fired: the real host spends it unseen.

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <utility>

#include "window_host.h"

namespace halvern::test {

class RecordingHost final : public WindowHost {
 public:
  explicit RecordingHost(WindowHost& real) : real_(real) {}

  void PostMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override {
    real_.PostMessage(message, wParam, lParam);
  }
  void PostOwnedMessage(std::uint32_t message, std::unique_ptr<MessagePayload> payload,
                        std::intptr_t lParam) override {
    real_.PostOwnedMessage(message, std::move(payload), lParam);
  }
  void Send(const std::function<void()>& call) override { real_.Send(call); }
  void RunPendingCalls() override { real_.RunPendingCalls(); }
  void PaintNow() override { real_.PaintNow(); }
  void SetTimer(std::uint32_t id, std::uint32_t milliseconds) override {
    real_.SetTimer(id, milliseconds);
    running.insert(id);
  }
  bool SetWallTimer(std::uint32_t id, std::int64_t epochMs) override {
    if (!real_.SetWallTimer(id, epochMs)) return false;
    running.insert(id);
    return true;
  }
  void KillTimer(std::uint32_t id) override {
    real_.KillTimer(id);
    running.erase(id);
  }
  bool Running(std::uint32_t id) const { return running.count(id) != 0; }

  std::set<std::uint32_t> running;  // window thread only, as the timers are

 private:
  WindowHost& real_;
};

}  // namespace halvern::test
