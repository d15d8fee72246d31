#pragma once
// A window host whose timers run only when the test fires them: messages and
// Send calls run at once on the caller's thread, timers are kept as a table of
// what runs, and every set and kill is noted in order. With `wallClock` it also
// has wall-clock timers (pair it with a ManualClock that stands in for the
// wall clock); firing one spends it, as the real host's fire once.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "window_host.h"

namespace halvern::test {

class ManualHost final : public WindowHost {
 public:
  void PostMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override {
    if (handler) handler->OnMessage(message, wParam, lParam);
  }
  void PostOwnedMessage(std::uint32_t message, std::unique_ptr<MessagePayload> payload,
                        std::intptr_t lParam) override {
    if (handler) handler->OnOwnedMessage(message, std::move(payload), lParam);
  }
  void Send(const std::function<void()>& call) override { call(); }
  void SetTimer(std::uint32_t id, std::uint32_t milliseconds) override {
    wallTimers.erase(id);
    timers[id] = milliseconds;
    calls.push_back("set " + std::to_string(id) + " " + std::to_string(milliseconds));
  }
  bool SetWallTimer(std::uint32_t id, std::int64_t epochMs) override {
    if (!wallClock) return false;
    timers.erase(id);
    wallTimers[id] = epochMs;
    calls.push_back("wall " + std::to_string(id) + " " + std::to_string(epochMs));
    return true;
  }
  void KillTimer(std::uint32_t id) override {
    timers.erase(id);
    wallTimers.erase(id);
    calls.push_back("kill " + std::to_string(id));
  }

  // A tick of timer `id` to the handler, if it runs.
  void Fire(std::uint32_t id) {
    if (!Running(id) || !handler) return;
    wallTimers.erase(id);
    handler->OnTimer(id);
  }
  bool Running(std::uint32_t id) const {
    return timers.count(id) != 0 || wallTimers.count(id) != 0;
  }

  WindowHandler* handler = nullptr;
  bool wallClock = false;
  std::map<std::uint32_t, std::uint32_t> timers;     // id -> period in milliseconds
  std::map<std::uint32_t, std::int64_t> wallTimers;  // id -> UTC milliseconds
  std::vector<std::string> calls;                    // "set id ms", "wall id ms", "kill id"
};

}  // namespace halvern::test
