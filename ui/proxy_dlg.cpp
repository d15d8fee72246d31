#include "proxy_dlg.h"

namespace halvern::ui {

CProxyDlg::CProxyDlg(QWidget* owner) : CDialog(res::IDD_PROXY, owner) {
  MapCommand(res::IDC_PROXY_AUTOMATIC, [this] { OnModeClicked(kProxyModeAutomatic); });
  MapCommand(res::IDC_PROXY_DIRECT, [this] { OnModeClicked(kProxyModeDirect); });
  MapCommand(res::IDC_PROXY_CUSTOM, [this] { OnModeClicked(kProxyModeCustom); });
}

bool CProxyDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  ShowMode();
  return true;
}

void CProxyDlg::DoDataExchange(DataExchange& dx) {
  dx.Check(res::IDC_PROXY_AUTOMATIC, automaticBox_);
  dx.Check(res::IDC_PROXY_DIRECT, directBox_);
  dx.Check(res::IDC_PROXY_CUSTOM, customBox_);
  dx.Text(res::IDC_PROXY_ADDRESS, address);
  dx.Int(res::IDC_PROXY_PORT, port);
}

void CProxyDlg::OnModeClicked(std::int32_t clicked) {
  mode = clicked;
  ShowMode();
}

void CProxyDlg::ShowMode() {
  // Keep what the user typed. A port field without a number has said so; the
  // field is then refilled with the last port read.
  UpdateData(true);
  automaticBox_ = mode == kProxyModeAutomatic ? 1 : 0;
  directBox_ = mode == kProxyModeDirect ? 1 : 0;
  customBox_ = mode == kProxyModeCustom ? 1 : 0;
  const bool custom = customBox_ == 1;
  GetDlgItem(res::IDC_PROXY_ADDRESS)->setEnabled(custom);
  GetDlgItem(res::IDC_PROXY_PORT)->setEnabled(custom);
  UpdateData(false);
}

}  // namespace halvern::ui
