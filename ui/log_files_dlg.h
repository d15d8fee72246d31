#pragma once
// CLogFilesDlg: the check log as a list, newest first, with Refresh, Clear and
// the retention choice (template 136), and "Save As..." in the button row,
// which writes the records shown as CSV. OpenLogViewer is the whole Log File
// command: expiry, the dialog, and KeepLogFiles written back on OK. The
// window can be made larger; the list takes the room.

#include <cstdint>
#include <vector>

#include "dialog.h"
#include "log_rows.h"

namespace halvern {
class Clock;
class SettingsStore;
}  // namespace halvern

namespace halvern::ui {

class CLogFilesDlg : public CDialog {
  Q_OBJECT

 public:
  CLogFilesDlg(SettingsStore& store, QWidget* owner = nullptr);

  // Selected index of the retention list (KeepLogFiles); -1 = none.
  std::int32_t keepIndex = 0;

  // The whole outcome text of a row whose text was cut, from the history of
  // the checks; empty when the row shows it all. The row's tooltip.
  QString FullText(int row);

 protected:
  bool OnInitDialog() override;
  void DoDataExchange(DataExchange& dx) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Refresh();
  void Clear();
  void SaveAs();

  SettingsStore& store_;
  std::vector<LogRow> shown_;  // the rows of the last refresh, in the list's order
};

// Runs the log viewer as the Log File command does.
void OpenLogViewer(QWidget* owner, SettingsStore& store, const Clock& clock);

}  // namespace halvern::ui
