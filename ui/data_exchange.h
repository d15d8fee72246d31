#pragma once
// The control/member transfer of a dialog, in both directions. A dialog's
// DoDataExchange lists its bindings in order; the same list serves both ways:
//
//   void CUrlDlg::DoDataExchange(DataExchange& dx) {
//     dx.ComboIndex(IDC_URL_MODE, mode_);
//     dx.Text(IDC_URL_TITLE, title_);
//     dx.Int(IDC_URL_SIZE_LIMIT, sizeLimit_);
//     dx.Check(IDC_URL_ENABLE, enabled_);
//   }
//
// Reading (saving() true) stops at the first field that fails: Int shows
// "Please enter an integer." (exclamation icon), puts the focus on the field
// with its whole text selected and leaves its member as it was; later bindings
// are then skipped and failed() is true.

#include <QtCore/QString>
#include <cstdint>
#include <optional>

class QWidget;

namespace halvern::ui {

class CDialog;

// "%d" as the C library reads it: leading blanks, an optional sign and the
// digits after it; anything behind the digits is ignored. Nothing when no digit
// follows. Values beyond 32 bits are clamped.
std::optional<std::int32_t> ScanInt(const QString& text);

class DataExchange {
 public:
  DataExchange(CDialog& dialog, bool saving) : dialog_(dialog), saving_(saving) {}

  bool saving() const { return saving_; }
  bool failed() const { return failed_; }

  // Edit or static text <-> string.
  void Text(int id, QString& value);
  // Edit <-> signed decimal number ("%d" both ways).
  void Int(int id, std::int32_t& value);
  // Check box <-> 0, 1 (2 for a third state); writing a value outside 0 to 2
  // clears the box.
  void Check(int id, std::int32_t& value);
  // Combo box <-> selected index; -1 = nothing selected. Writing an index the
  // list does not hold leaves nothing selected.
  void ComboIndex(int id, std::int32_t& value);

 private:
  QWidget* Control(int id) const;
  void Fail(QWidget* field);

  CDialog& dialog_;
  bool saving_;
  bool failed_ = false;
};

}  // namespace halvern::ui
