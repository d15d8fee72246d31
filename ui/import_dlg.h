#pragma once
// CImportDlg: the preview of an import (template 160). It lists what the
// import will do with each address of the file (added, its title exists, or
// refused and why), lets the user choose for the rows whose title exists
// (skip, replace, or add under a new title), and whether the file's settings
// are taken. It changes nothing itself: the import command stores the rows
// after OK.

#include <QtCore/QString>
#include <cstdint>
#include <vector>

#include "dialog.h"
#include "entry_import.h"

namespace halvern::ui {

class CImportDlg : public CDialog {
  Q_OBJECT

 public:
  CImportDlg(std::vector<ImportRow> rows, ImportFormat format, QString fileName,
             bool fileHasSettings, QWidget* owner = nullptr);

  // The rows with the choices made; read after OK.
  const std::vector<ImportRow>& rows() const { return rows_; }
  // "Also take the settings": off unless the user ticks it.
  std::int32_t takeSettings = 0;

  // The text of the "What happens" column for a row.
  static QString WhatHappens(const ImportRow& row);

 protected:
  bool OnInitDialog() override;
  void DoDataExchange(DataExchange& dx) override;

 private:
  void FillList();
  // Applies `choice` to the selected rows whose title exists.
  void Choose(ExistsChoice choice);
  void UpdateSummary();

  std::vector<ImportRow> rows_;
  ImportFormat format_;
  QString fileName_;
  bool fileHasSettings_;
};

}  // namespace halvern::ui
