#pragma once
// Stand-ins for the system bus services Halvern uses, served on a private bus
// (PrivateBus) from a thread of their own, so that the code under test may
// block on its calls from the test's thread:
//  - NetworkManager: its State property and StateChanged signal, set by the
//    test;
//  - logind: Inhibit, which records each lock asked for and hands out the
//    write end of a pipe, so that the test sees the lock closed when every
//    copy of that end is; and the PrepareForSleep signal.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QtCore/QObject>
#include <QtCore/QThread>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusContext>
#include <QtDBus/QDBusError>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusUnixFileDescriptor>
#include <atomic>
#include <chrono>
#include <initializer_list>
#include <mutex>
#include <vector>

#include "private_bus.h"

namespace halvern::test {

class StandInNetworkManager : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.NetworkManager")
  Q_PROPERTY(uint State READ state)

 public:
  explicit StandInNetworkManager(std::uint32_t state) : state_(state) {}

  uint state() const {
    const uint state = state_.load();
    ++reads;
    return state;
  }
  // Sets the state and announces it as NetworkManager does. Any thread.
  void SetState(std::uint32_t state) {
    state_ = state;
    QDBusMessage signal = QDBusMessage::createSignal(
        QStringLiteral("/org/freedesktop/NetworkManager"),
        QStringLiteral("org.freedesktop.NetworkManager"), QStringLiteral("StateChanged"));
    signal << uint{state};
    bus_.send(signal);
  }
  // The states one after the other, each announced.
  void Play(std::initializer_list<std::uint32_t> states) {
    for (std::uint32_t state : states) SetState(state);
  }

  mutable std::atomic<int> reads{0};

 private:
  friend class SystemBusStandIns;
  std::atomic<std::uint32_t> state_;
  QDBusConnection bus_{QString()};
};

class StandInLogin : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

 public:
  struct Lock {
    QString what, who, why, mode;
    int readEnd;  // the pipe's read end, ours
  };
  ~StandInLogin() override {
    for (const Lock& lock : locks_) ::close(lock.readEnd);
  }

  // Announces that the machine has resumed. Any thread.
  void Resume() {
    QDBusMessage signal = QDBusMessage::createSignal(
        QStringLiteral("/org/freedesktop/login1"), QStringLiteral("org.freedesktop.login1.Manager"),
        QStringLiteral("PrepareForSleep"));
    signal << false;
    bus_.send(signal);
  }

  std::vector<Lock> Locks() const {
    std::lock_guard lock(mutex_);
    return locks_;
  }
  // Whether every copy of lock `index`'s descriptor is closed: waits up to
  // `limit` for it.
  bool WaitUntilClosed(std::size_t index, std::chrono::milliseconds limit) const {
    const std::vector<Lock> locks = Locks();
    if (index >= locks.size()) return false;
    pollfd end{locks[index].readEnd, POLLIN, 0};
    return ::poll(&end, 1, static_cast<int>(limit.count())) == 1 && (end.revents & POLLHUP) != 0;
  }
  // Whether lock `index` is still held, without waiting.
  bool IsOpen(std::size_t index) const {
    return !WaitUntilClosed(index, std::chrono::milliseconds(0));
  }

  std::atomic<bool> refuse{false};

 public Q_SLOTS:
  QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                  const QString& mode) {
    if (refuse) {
      sendErrorReply(QDBusError::AccessDenied, QStringLiteral("Permission denied"));
      return {};
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
      sendErrorReply(QDBusError::Failed, QStringLiteral("no pipe"));
      return {};
    }
    {
      std::lock_guard lock(mutex_);
      locks_.push_back({what, who, why, mode, ends[0]});
    }
    QDBusUnixFileDescriptor handed(ends[1]);  // a copy of its own
    ::close(ends[1]);
    return handed;
  }

 private:
  friend class SystemBusStandIns;
  mutable std::mutex mutex_;
  std::vector<Lock> locks_;
  QDBusConnection bus_{QString()};
};

// The private bus with both stand-ins registered on it, served from their
// own thread. `address()` is what DBUS_SYSTEM_BUS_ADDRESS would name.
class SystemBusStandIns {
 public:
  explicit SystemBusStandIns(std::uint32_t networkState, bool withNetworkManager = true,
                             bool withLogin = true)
      : network_(networkState) {
    service_ = bus_.Connect(QStringLiteral("stand-ins"));
    network_.bus_ = service_;
    login_.bus_ = service_;
    network_.moveToThread(&thread_);
    login_.moveToThread(&thread_);
    thread_.start();
    if (withNetworkManager) {
      ok_ = service_.registerObject(QStringLiteral("/org/freedesktop/NetworkManager"), &network_,
                                    QDBusConnection::ExportAllProperties) &&
            service_.registerService(QStringLiteral("org.freedesktop.NetworkManager"));
    }
    if (withLogin) {
      ok_ = ok_ &&
            service_.registerObject(QStringLiteral("/org/freedesktop/login1"), &login_,
                                    QDBusConnection::ExportAllSlots) &&
            service_.registerService(QStringLiteral("org.freedesktop.login1"));
    }
  }
  ~SystemBusStandIns() {
    service_.unregisterObject(QStringLiteral("/org/freedesktop/NetworkManager"));
    service_.unregisterObject(QStringLiteral("/org/freedesktop/login1"));
    thread_.quit();
    thread_.wait();
  }
  SystemBusStandIns(const SystemBusStandIns&) = delete;
  SystemBusStandIns& operator=(const SystemBusStandIns&) = delete;

  bool ok() const { return ok_ && !bus_.address().isEmpty(); }
  const QString& address() const { return bus_.address(); }
  // A connection of the code under test to the bus, named `name`.
  QDBusConnection Client(const QString& name) { return bus_.Connect(name); }

  StandInNetworkManager& network() { return network_; }
  StandInLogin& login() { return login_; }

 private:
  PrivateBus bus_;
  QDBusConnection service_{QString()};
  QThread thread_;
  StandInNetworkManager network_;
  StandInLogin login_;
  bool ok_ = true;
};

}  // namespace halvern::test
