#include "idle_timer.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QString>

namespace halvern {
namespace {

// A logind that does not answer must not hold the window thread for long.
constexpr int kInhibitCallTimeoutMs = 2000;

}  // namespace

void NullIdleTimer::Reset() {}

LogindIdleTimer::LogindIdleTimer(const QDBusConnection& systemBus) : bus_(systemBus) {}

LogindIdleTimer::~LogindIdleTimer() { KeepAwake(false); }

void LogindIdleTimer::KeepAwake(bool on) {
  if (!on) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    return;
  }
  if (fd_ >= 0 || !bus_.isConnected()) return;  // one lock at a time
  QDBusMessage inhibit = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
      QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
  inhibit << QString::fromLatin1(kInhibitWhat) << QString::fromLatin1(kInhibitWho)
          << QString::fromLatin1(kInhibitWhy) << QString::fromLatin1(kInhibitMode);
  const QDBusMessage reply = bus_.call(inhibit, QDBus::Block, kInhibitCallTimeoutMs);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return;
  const auto lock = reply.arguments().constFirst().value<QDBusUnixFileDescriptor>();
  if (!lock.isValid()) return;
  // A copy of our own, closed on exec so that no program we start holds the
  // lock; the message's copy closes with it.
  fd_ = ::fcntl(lock.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
}

}  // namespace halvern
