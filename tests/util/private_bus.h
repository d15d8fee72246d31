#pragma once
// A private D-Bus session bus for one test (dbus-daemon in a temporary folder,
// no service activation, so nothing starts by itself), and a notification
// service on it that records every call and answers as a desktop would.

#include <QtCore/QProcess>
#include <QtCore/QStringList>
#include <QtCore/QVariantMap>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <fstream>
#include <string>
#include <vector>

#include "temp_store.h"

namespace halvern::test {

class PrivateBus {
 public:
  PrivateBus() {
    const std::string config = (dir_.path() / "bus.conf").string();
    std::ofstream(config)
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>session</type><listen>unix:dir="
        << dir_.path().string()
        << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
           "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
           "<allow own=\"*\"/></policy></busconfig>\n";
    daemon_.start(QStringLiteral("dbus-daemon"),
                  {QStringLiteral("--nofork"), QStringLiteral("--print-address=1"),
                   QStringLiteral("--config-file=") + QString::fromStdString(config)});
    if (!daemon_.waitForStarted(10000)) return;
    while (address_.isEmpty() && daemon_.waitForReadyRead(10000)) {
      if (daemon_.canReadLine()) address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
    }
  }
  ~PrivateBus() {
    for (const QString& name : names_) QDBusConnection::disconnectFromBus(name);
    daemon_.kill();
    daemon_.waitForFinished(10000);
  }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  const QString& address() const { return address_; }
  // A connection of its own to the bus, named `name` in this process.
  QDBusConnection Connect(const QString& name) {
    names_ << name;
    return QDBusConnection::connectToBus(address_, name);
  }

 private:
  TempDir dir_;
  QProcess daemon_;
  QString address_;
  QStringList names_;
};

// org.freedesktop.Notifications as a desktop serves it, recording each call.
class RecordingNotifications : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

 public:
  struct Notice {
    uint id;
    QString appName;
    uint replacesId;
    QString appIcon;
    QString summary;
    QString body;
    QStringList actions;
    QVariantMap hints;
    int expireTimeout;
  };

  // Owns the service name on `bus`; false when that failed.
  bool Register(QDBusConnection bus) {
    bus_ = bus;
    return bus_.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this,
                               QDBusConnection::ExportAllSlots) &&
           bus_.registerService(QStringLiteral("org.freedesktop.Notifications"));
  }
  // Tells the bus that the user clicked notification `id` (action `key`).
  void Invoke(uint id, const QString& key) {
    QDBusMessage signal = QDBusMessage::createSignal(
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("ActionInvoked"));
    signal << id << key;
    bus_.send(signal);
  }

  QStringList capabilities{QStringLiteral("body"), QStringLiteral("body-markup"),
                           QStringLiteral("actions")};
  std::vector<Notice> notices;
  std::vector<uint> closed;

 public Q_SLOTS:
  QStringList GetCapabilities() { return capabilities; }
  uint Notify(const QString& appName, uint replacesId, const QString& appIcon,
              const QString& summary, const QString& body, const QStringList& actions,
              const QVariantMap& hints, int expireTimeout) {
    // A notification replaced in place keeps its id, as services do.
    const uint id = replacesId != 0 ? replacesId : ++lastId_;
    notices.push_back(
        {id, appName, replacesId, appIcon, summary, body, actions, hints, expireTimeout});
    return id;
  }
  void CloseNotification(uint id) { closed.push_back(id); }
  QString GetServerInformation(QString& vendor, QString& version, QString& specVersion) {
    vendor = QStringLiteral("test");
    version = QStringLiteral("1");
    specVersion = QStringLiteral("1.2");
    return QStringLiteral("recording");
  }

 private:
  QDBusConnection bus_{QString()};
  uint lastId_ = 0;
};

}  // namespace halvern::test
