#include "desktop_notifier.h"

#include <QtCore/QVariantMap>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusPendingCallWatcher>
#include <QtDBus/QDBusPendingReply>
#include <utility>

namespace halvern {
namespace {

QString Q(const char* text) { return QString::fromUtf8(text); }

QDBusMessage NotificationsCall(const char* method) {
  return QDBusMessage::createMethodCall(Q(kNotificationsService), Q(kNotificationsPath),
                                        Q(kNotificationsInterface), Q(method));
}

// Leave the server its own expiry: critical notifications stay until closed.
constexpr std::int32_t kServerExpiry = -1;

}  // namespace

DBusDesktopNotifier::DBusDesktopNotifier(const QDBusConnection& bus, QObject* parent)
    : QObject(parent), bus_(bus) {
  if (!bus_.isConnected()) return;
  // Any sender: naming the service here would make Qt ask the bus for its
  // owner and wait. Ids tell which notifications are ours.
  bus_.connect(QString(), Q(kNotificationsPath), Q(kNotificationsInterface),
               QStringLiteral("ActionInvoked"), this, SLOT(OnActionInvoked(uint, QString)));
  bus_.connect(QString(), Q(kNotificationsPath), Q(kNotificationsInterface),
               QStringLiteral("NotificationClosed"), this, SLOT(OnNotificationClosed(uint, uint)));
  QueryCapabilities();
}

DBusDesktopNotifier::~DBusDesktopNotifier() {
  if (!bus_.isConnected()) return;
  bus_.disconnect(QString(), Q(kNotificationsPath), Q(kNotificationsInterface),
                  QStringLiteral("ActionInvoked"), this, SLOT(OnActionInvoked(uint, QString)));
  bus_.disconnect(QString(), Q(kNotificationsPath), Q(kNotificationsInterface),
                  QStringLiteral("NotificationClosed"), this,
                  SLOT(OnNotificationClosed(uint, uint)));
}

void DBusDesktopNotifier::QueryCapabilities() {
  auto* watcher =
      new QDBusPendingCallWatcher(bus_.asyncCall(NotificationsCall("GetCapabilities")), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
    const QDBusPendingReply<QStringList> reply = *call;
    if (reply.isValid()) bodyMarkup_ = reply.value().contains(QStringLiteral("body-markup"));
    call->deleteLater();
  });
}

void DBusDesktopNotifier::ShowAlert(const DesktopNotice& notice) {
  if (!bus_.isConnected()) return;
  alertOpen_ = true;
  if (alertInFlight_) {
    queued_ = notice;  // sent once the service has told the id to replace
    return;
  }
  SendAlert(notice);
}

void DBusDesktopNotifier::SendAlert(const DesktopNotice& notice) {
  alertInFlight_ = true;
  Notify(notice, Urgency::kCritical, true, alertId_, [this](uint id) {
    alertInFlight_ = false;
    if (std::exchange(closeOnAnswer_, false)) {
      // Acknowledged before the service answered: what it shows goes now.
      const uint shown = std::exchange(alertId_, 0);
      if (id != 0) CloseNotification(id);
      if (shown != 0 && shown != id) CloseNotification(shown);
    } else {
      alertId_ = id;
    }
    // A newer text, or a new alert raised after the acknowledgement, waited
    // for this answer: it goes now, in place of the one still shown, or as a
    // notification of its own when that one was closed.
    if (alertOpen_ && queued_) SendAlert(*std::exchange(queued_, std::nullopt));
  });
}

void DBusDesktopNotifier::CloseAlert() {
  alertOpen_ = false;
  queued_.reset();
  // A Notify still waiting for its answer closes what it shows once answered,
  // even when a new alert comes meanwhile.
  if (alertInFlight_) {
    closeOnAnswer_ = true;
    return;
  }
  if (alertId_ == 0) return;
  CloseNotification(std::exchange(alertId_, 0));
}

void DBusDesktopNotifier::ShowInfo(const DesktopNotice& notice) {
  if (!bus_.isConnected()) return;
  Notify(notice, Urgency::kNormal, false, 0, {});
}

void DBusDesktopNotifier::Notify(const DesktopNotice& notice, Urgency urgency, bool withAction,
                                 uint replaces, std::function<void(uint)> onId) {
  QStringList actions;
  if (withAction) actions << QStringLiteral("default") << QStringLiteral("Show");
  QVariantMap hints;
  hints.insert(QStringLiteral("urgency"), QVariant::fromValue(static_cast<uchar>(urgency)));
  hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("io.velmora.Halvern"));
  // The alert plays its own sound when the user chose one; the service adds none.
  hints.insert(QStringLiteral("suppress-sound"), true);

  QDBusMessage call = NotificationsCall("Notify");
  call << Q(kNotifyAppName) << replaces << Q(kNotifyAppIcon)
       << QString::fromStdU16String(notice.summary) << BodyText(notice.body) << actions << hints
       << kServerExpiry;
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [onId = std::move(onId)](QDBusPendingCallWatcher* pending) {
            const QDBusPendingReply<uint> reply = *pending;
            if (onId) onId(reply.isValid() ? reply.value() : 0);
            pending->deleteLater();
          });
}

void DBusDesktopNotifier::CloseNotification(uint id) {
  QDBusMessage call = NotificationsCall("CloseNotification");
  call << id;
  // Nobody waits for the answer: a notification already gone is no error here.
  bus_.asyncCall(call);
}

QString DBusDesktopNotifier::BodyText(const std::u16string& body) const {
  const QString text = QString::fromStdU16String(body);
  return bodyMarkup_ ? text.toHtmlEscaped() : text;
}

void DBusDesktopNotifier::OnActionInvoked(uint id, const QString& action) {
  if (id == 0 || id != alertId_ || action != QStringLiteral("default")) return;
  if (activated_) activated_();
}

void DBusDesktopNotifier::OnNotificationClosed(uint id, uint) {
  if (id != 0 && id == alertId_) alertId_ = 0;
}

}  // namespace halvern
