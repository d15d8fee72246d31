#include "qt_window_host.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimerEvent>

#include <climits>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "tsan_handover.h"
#include "wall_clock_timer.h"

namespace halvern {
namespace {

const QEvent::Type kMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type kCallEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// One synchronous call, shared by the waiting worker and its event. Each call
// has its own wake-up, so finishing one call wakes only the worker that made
// it, however many others wait.
struct PendingCall {
  explicit PendingCall(const std::function<void()>* c) : call(c) {}
  const std::function<void()>* call;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
};

}  // namespace

// Everything the host shares with worker threads. The receiver (a QObject of
// the window's thread) is created and deleted on the window's thread only.
class QtWindowHost::Core : public std::enable_shared_from_this<QtWindowHost::Core> {
 public:
  Core() : windowThread_(std::this_thread::get_id()) {}

  bool OnWindowThread() const { return std::this_thread::get_id() == windowThread_; }

  void Open(QObject* receiver, WindowHandler* handler) {
    receiver_ = receiver;
    handler_ = handler;
  }
  void SetHandler(WindowHandler* handler) { handler_ = handler; }
  bool IsClosed() const {
    std::lock_guard lock(mutex_);
    return closed_;
  }

  // A message that cannot be queued any more is destroyed here, with its
  // payload.
  void Post(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam,
            std::unique_ptr<MessagePayload> payload);
  void Send(const std::function<void()>& call);
  void RunPendingCalls();
  void SetTimer(std::uint32_t id, std::uint32_t milliseconds);
  bool SetWallTimer(std::uint32_t id, std::int64_t epochMs);
  void KillTimer(std::uint32_t id);

  // Window thread: ends delivery; returns the receiver for the caller to delete.
  QObject* Close();

  // Called by the receiver's events, on the window thread. A message that
  // finds no handler is dropped: its payload goes when the event does.
  void Deliver(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam,
               std::unique_ptr<MessagePayload> payload);
  void RunCall(const std::function<void()>& call);
  void FireTimer(int qtTimerId);
  void FireWallTimer(std::uint32_t id);

 private:
  const std::thread::id windowThread_;
  mutable std::mutex mutex_;
  bool closed_ = false;          // set once, on the window thread, under mutex_
  QObject* receiver_ = nullptr;  // posted to under mutex_ while not closed
  // Window thread only.
  WindowHandler* handler_ = nullptr;
  std::map<std::uint32_t, int> timers_;  // our id -> Qt timer id
  std::map<int, std::uint32_t> timerIds_;
  // Made on first use per id and kept until Close, so that a timer killed
  // from its own callback is only stopped, not destroyed under its caller.
  std::map<std::uint32_t, std::unique_ptr<WallClockTimer>> wallTimers_;
};

namespace {

using Core = QtWindowHost::Core;

// A posted message; it owns its payload until the handler takes it. If it is
// destroyed undelivered (the host closed while it was queued), the payload
// goes with it.
class MessageEvent final : public QEvent {
 public:
  MessageEvent(std::shared_ptr<Core> core, std::uint32_t message, std::uintptr_t wParam,
               std::intptr_t lParam, std::unique_ptr<MessagePayload> payload)
      : QEvent(kMessageEvent),
        core_(std::move(core)),
        message_(message),
        wParam_(wParam),
        lParam_(lParam),
        payload_(std::move(payload)) {}
  void Deliver() { core_->Deliver(message_, wParam_, lParam_, std::move(payload_)); }

 private:
  std::shared_ptr<Core> core_;
  std::uint32_t message_;
  std::uintptr_t wParam_;
  std::intptr_t lParam_;
  std::unique_ptr<MessagePayload> payload_;
};

// A synchronous call. The worker waits until this event is gone: run on the
// window thread, or destroyed unrun because the host closed (deleting the
// receiver deletes its queued events) or the application ended.
class CallEvent final : public QEvent {
 public:
  CallEvent(std::shared_ptr<Core> core, std::shared_ptr<PendingCall> pending)
      : QEvent(kCallEvent), core_(std::move(core)), pending_(std::move(pending)) {}
  ~CallEvent() override {
    {
      std::lock_guard lock(pending_->mutex);
      pending_->done = true;
    }
    // After the unlock, so the woken worker does not wait for the lock again;
    // this event's reference keeps the PendingCall alive meanwhile.
    pending_->finished.notify_one();
  }
  void Run() { core_->RunCall(*pending_->call); }

 private:
  std::shared_ptr<Core> core_;
  std::shared_ptr<PendingCall> pending_;
};

class Receiver final : public QObject {
 public:
  explicit Receiver(Core* core) : core_(core) {}

 protected:
  bool event(QEvent* e) override {
    TakeHandOver(e);
    if (e->type() == kMessageEvent) {
      static_cast<MessageEvent*>(e)->Deliver();
      return true;
    }
    if (e->type() == kCallEvent) {
      static_cast<CallEvent*>(e)->Run();
      return true;
    }
    return QObject::event(e);
  }
  void timerEvent(QTimerEvent* e) override { core_->FireTimer(e->timerId()); }

 private:
  Core* core_;
};

int QtInterval(std::uint32_t milliseconds) {
  return milliseconds > static_cast<std::uint32_t>(INT_MAX) ? INT_MAX
                                                            : static_cast<int>(milliseconds);
}

// The workers' handle: forwards to the shared core, which outlives the host.
class WorkerHost final : public WindowHost {
 public:
  explicit WorkerHost(std::shared_ptr<Core> core) : core_(std::move(core)) {}
  void PostMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override {
    core_->Post(message, wParam, lParam, nullptr);
  }
  void PostOwnedMessage(std::uint32_t message, std::unique_ptr<MessagePayload> payload,
                        std::intptr_t lParam) override {
    core_->Post(message, 0, lParam, std::move(payload));
  }
  void Send(const std::function<void()>& call) override { core_->Send(call); }
  void SetTimer(std::uint32_t id, std::uint32_t milliseconds) override {
    core_->SetTimer(id, milliseconds);
  }
  bool SetWallTimer(std::uint32_t id, std::int64_t epochMs) override {
    return core_->SetWallTimer(id, epochMs);
  }
  void KillTimer(std::uint32_t id) override { core_->KillTimer(id); }

 private:
  std::shared_ptr<Core> core_;
};

}  // namespace

void Core::Post(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam,
                std::unique_ptr<MessagePayload> payload) {
  {
    std::lock_guard lock(mutex_);
    if (!closed_) {
      auto* event =
          new MessageEvent(shared_from_this(), message, wParam, lParam, std::move(payload));
      AnnounceHandOver(event);
      QCoreApplication::postEvent(receiver_, event);
      return;
    }
  }
  // Dropped, outside the lock: freeing the payload may take time (a CheckJob
  // may hold the last share of the store).
  payload.reset();
}

void Core::Send(const std::function<void()>& call) {
  if (OnWindowThread()) {
    if (!IsClosed()) call();
    return;
  }
  const auto pending = std::make_shared<PendingCall>(&call);
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    auto* event = new CallEvent(shared_from_this(), pending);
    AnnounceHandOver(event);
    QCoreApplication::postEvent(receiver_, event);
  }
  std::unique_lock lock(pending->mutex);
  pending->finished.wait(lock, [&] { return pending->done; });
}

void Core::RunPendingCalls() {
  if (!OnWindowThread() || IsClosed()) return;
  // Only the call events: messages keep their order and wait for the loop.
  QCoreApplication::sendPostedEvents(receiver_, kCallEvent);
}

void Core::RunCall(const std::function<void()>& call) {
  // Runs on the window thread, where closing happens too, so the host cannot
  // close while the call runs and the waiting worker is still there.
  if (!IsClosed()) call();
}

void Core::Deliver(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam,
                   std::unique_ptr<MessagePayload> payload) {
  if (IsClosed() || handler_ == nullptr) return;
  if (payload) {
    handler_->OnOwnedMessage(message, std::move(payload), lParam);
  } else {
    handler_->OnMessage(message, wParam, lParam);
  }
}

void Core::SetTimer(std::uint32_t id, std::uint32_t milliseconds) {
  if (!OnWindowThread() || IsClosed()) return;
  KillTimer(id);
  const int qtId = receiver_->startTimer(QtInterval(milliseconds), Qt::PreciseTimer);
  if (qtId == 0) return;
  timers_[id] = qtId;
  timerIds_[qtId] = id;
}

bool Core::SetWallTimer(std::uint32_t id, std::int64_t epochMs) {
  if (!OnWindowThread() || IsClosed()) return false;
  KillTimer(id);
  auto& timer = wallTimers_[id];
  if (!timer) timer = WallClockTimer::Make([this, id] { FireWallTimer(id); });
  return timer && timer->Set(epochMs);
}

void Core::KillTimer(std::uint32_t id) {
  if (!OnWindowThread()) return;
  const auto wall = wallTimers_.find(id);
  if (wall != wallTimers_.end() && wall->second) wall->second->Stop();
  const auto it = timers_.find(id);
  if (it == timers_.end()) return;
  if (receiver_ != nullptr) receiver_->killTimer(it->second);
  timerIds_.erase(it->second);
  timers_.erase(it);
}

void Core::FireTimer(int qtTimerId) {
  const auto it = timerIds_.find(qtTimerId);
  if (it == timerIds_.end() || handler_ == nullptr || IsClosed()) return;
  handler_->OnTimer(it->second);
}

void Core::FireWallTimer(std::uint32_t id) {
  if (handler_ == nullptr || IsClosed()) return;
  handler_->OnTimer(id);
}

QObject* Core::Close() {
  QObject* receiver = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return nullptr;
    closed_ = true;
    receiver = receiver_;
  }
  for (const auto& [id, qtId] : timers_) receiver->killTimer(qtId);
  timers_.clear();
  timerIds_.clear();
  wallTimers_.clear();
  handler_ = nullptr;
  receiver_ = nullptr;
  return receiver;
}

QtWindowHost::QtWindowHost(WindowHandler* handler) : core_(std::make_shared<Core>()) {
  core_->Open(new Receiver(core_.get()), handler);
}

QtWindowHost::~QtWindowHost() { Close(); }

void QtWindowHost::SetHandler(WindowHandler* handler) { core_->SetHandler(handler); }

void QtWindowHost::Close() {
  // Deleting the receiver deletes its queued events: messages among them free
  // their payloads, calls were already released by the close.
  delete core_->Close();
}

bool QtWindowHost::IsClosed() const { return core_->IsClosed(); }

std::shared_ptr<WindowHost> QtWindowHost::WorkerHandle() const {
  return std::make_shared<WorkerHost>(core_);
}

void QtWindowHost::PostMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  core_->Post(message, wParam, lParam, nullptr);
}

void QtWindowHost::PostOwnedMessage(std::uint32_t message, std::unique_ptr<MessagePayload> payload,
                                    std::intptr_t lParam) {
  core_->Post(message, 0, lParam, std::move(payload));
}

void QtWindowHost::Send(const std::function<void()>& call) { core_->Send(call); }

void QtWindowHost::RunPendingCalls() { core_->RunPendingCalls(); }

void QtWindowHost::PaintNow() {
  if (painter_ && !IsClosed()) painter_();
}

void QtWindowHost::SetPainter(std::function<void()> painter) { painter_ = std::move(painter); }

void QtWindowHost::SetTimer(std::uint32_t id, std::uint32_t milliseconds) {
  core_->SetTimer(id, milliseconds);
}

bool QtWindowHost::SetWallTimer(std::uint32_t id, std::int64_t epochMs) {
  return core_->SetWallTimer(id, epochMs);
}

void QtWindowHost::KillTimer(std::uint32_t id) { core_->KillTimer(id); }

}  // namespace halvern
