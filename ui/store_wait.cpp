#include "store_wait.h"

#include <QtCore/QTimer>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>

#include "message_box.h"

namespace halvern::ui {

StoreOpening OpenStoreWhenFree(const StoreOpener& open, const QString& file,
                               std::chrono::milliseconds retry) {
  StoreOpening opening = open();
  if (opening.status != SqliteStore::OpenStatus::kBusy) return opening;

  QMessageBox window(QMessageBox::Information, AppTitle(),
                     QStringLiteral("The settings store \"%1\" is in use by another program.\n\n"
                                    "Velmora Halvern will start as soon as it is free.")
                         .arg(file),
                     QMessageBox::NoButton);
  window.setObjectName(QString::fromLatin1(kStoreWaitWindowName));
  window.addButton(QStringLiteral("Exit"), QMessageBox::RejectRole);
  window.setWindowFlag(Qt::WindowStaysOnTopHint, true);

  QTimer timer;
  timer.setInterval(retry);
  QObject::connect(&timer, &QTimer::timeout, &window, [&] {
    opening = open();
    if (opening.status == SqliteStore::OpenStatus::kBusy) return;
    timer.stop();
    window.accept();
  });
  // No attempt after the user gave up, even one whose timer is already due.
  QObject::connect(&window, &QDialog::finished, &timer, &QTimer::stop);
  timer.start();
  window.exec();
  timer.stop();
  if (opening.status != SqliteStore::OpenStatus::kBusy) return opening;
  // Given up: whatever the last attempt left is dropped, nothing was opened.
  return StoreOpening{nullptr, SqliteStore::OpenStatus::kBusy, opening.error};
}

}  // namespace halvern::ui
