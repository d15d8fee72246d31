#pragma once
// CUrlDlg: the URL editor (template 129). It holds five values, checks them
// at OK and hands them back; the main window stores them.

#include <QtCore/QString>
#include <cstdint>
#include <functional>

#include "dialog.h"

namespace halvern::ui {

inline constexpr char kDownloadModeText[] = "Download a webpage or file";
inline constexpr char kScriptModeText[] = "Run a script and verify results";
inline constexpr char kDownloadModeDescription[] =
    "Simply downloads a specified webpage or a file performing verification of the website "
    "availability and the returned server code.";
inline constexpr char kScriptModeDescription[] =
    "Runs a script on your web server allowing you to make additional checks, and then analyzes "
    "the returned results. If the verification is successful, there will be the "
    "'BrankolvistPassed' magic word (case sensitive) in the body of the returned page. If the "
    "application is unable to find the specified magic word, then the verification failed.";

class CUrlDlg : public CDialog {
  Q_OBJECT

 public:
  explicit CUrlDlg(QWidget* owner = nullptr);

  // The values; Edit sets them before the run, both commands read them after OK.
  std::int32_t mode = 0;  // selected index of the mode list; -1 = none
  QString title;
  QString url = QStringLiteral("http(s)://");
  std::int32_t sizeLimit = -1;
  std::int32_t enabled = 1;

  // Asked at OK with the title as it would be stored (its first 24
  // characters): true when another stored entry already has it. The dialog
  // then says so and stays open, so that no entry is replaced unnoticed.
  std::function<bool(const QString& storedTitle)> titleTaken;

 protected:
  bool OnInitDialog() override;
  void DoDataExchange(DataExchange& dx) override;
  void OnOK() override;

 private:
  void ShowDescription();
};

}  // namespace halvern::ui
