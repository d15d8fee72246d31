#pragma once
// Desktop notifications over D-Bus: org.freedesktop.Notifications on the
// session bus. Every call is asynchronous, so a bus without the service (or no
// bus at all) costs nothing and shows nothing; the alert popup is always there.
//
// The alert's notification is critical, carries a default action (a click on
// it calls the activation hook) and is closed when the alert is acknowledged,
// also when that happens before the service has told its id. A new text for
// it while it is shown replaces it in place (replaces_id), so the desktop
// shows one alert notification at a time. Informations are of normal urgency
// and left to the service.

#include <QtCore/QObject>
#include <QtCore/QString>
#include <QtDBus/QDBusConnection>
#include <cstdint>
#include <functional>
#include <optional>

#include "alert_devices.h"

class QDBusPendingCallWatcher;

namespace halvern {

inline constexpr char kNotificationsService[] = "org.freedesktop.Notifications";
inline constexpr char kNotificationsPath[] = "/org/freedesktop/Notifications";
inline constexpr char kNotificationsInterface[] = "org.freedesktop.Notifications";
// The name the service shows as the sender, and the icon of the installed
// program (share/icons/hicolor/scalable/apps/halvern.svg).
inline constexpr char kNotifyAppName[] = "Velmora Halvern";
inline constexpr char kNotifyAppIcon[] = "halvern";

class DBusDesktopNotifier final : public QObject, public DesktopNotifier {
  Q_OBJECT

 public:
  // `bus`: the session bus, or a test's own. One that is not connected sends
  // nothing. Window thread only.
  explicit DBusDesktopNotifier(const QDBusConnection& bus, QObject* parent = nullptr);
  ~DBusDesktopNotifier() override;

  void ShowAlert(const DesktopNotice& notice) override;
  void CloseAlert() override;
  void ShowInfo(const DesktopNotice& notice) override;

  // Called when the user activates the alert's notification.
  void SetActivationHook(std::function<void()> hook) { activated_ = std::move(hook); }

 private Q_SLOTS:
  void OnActionInvoked(uint id, const QString& action);
  void OnNotificationClosed(uint id, uint reason);

 private:
  enum class Urgency : std::uint8_t { kNormal = 1, kCritical = 2 };
  // Sends Notify, replacing notification `replaces` (0: none); `onId`
  // receives the id the service answers with, or 0 when it answered with an
  // error.
  void Notify(const DesktopNotice& notice, Urgency urgency, bool withAction, uint replaces,
              std::function<void(uint)> onId);
  // Sends the alert's notice, in place of the one shown if any.
  void SendAlert(const DesktopNotice& notice);
  void CloseNotification(uint id);
  QString BodyText(const std::u16string& body) const;
  void QueryCapabilities();

  QDBusConnection bus_;
  std::function<void()> activated_;
  // The alert's notification: wanted while `alertOpen_`; its id once the
  // service has told it. While a Notify waits for its answer, a newer text
  // waits in `queued_` and replaces it once the id is known; an answer that
  // comes after the alert was acknowledged closes what it names.
  bool alertOpen_ = false;
  bool alertInFlight_ = false;
  bool closeOnAnswer_ = false;  // acknowledged while a Notify was in flight
  uint alertId_ = 0;            // 0 while none is known
  std::optional<DesktopNotice> queued_;
  // Until the service has said otherwise, the body is taken as markup, as
  // nearly every service reads it, and is escaped.
  bool bodyMarkup_ = true;
};

}  // namespace halvern
