#pragma once
// CProxyDlg: the proxy server settings (template 137). Three check boxes act
// as one choice of how checks reach the network (ProxyMode: 0 automatic,
// 1 direct, 2 custom proxy server); the address and port fields are enabled
// only for the custom proxy. The mode changes only by a click on a box; a mode
// outside 0..2 shows no box checked and is kept as it is. The Proxy Server
// command sets the members before the run and stores them after OK.

#include <QtCore/QString>
#include <cstdint>

#include "dialog.h"

namespace halvern::ui {

inline constexpr std::int32_t kProxyModeAutomatic = 0;
inline constexpr std::int32_t kProxyModeDirect = 1;
inline constexpr std::int32_t kProxyModeCustom = 2;

class CProxyDlg : public CDialog {
  Q_OBJECT

 public:
  explicit CProxyDlg(QWidget* owner = nullptr);

  std::int32_t mode = kProxyModeDirect;
  QString address;
  std::int32_t port = 0;

 protected:
  bool OnInitDialog() override;
  void DoDataExchange(DataExchange& dx) override;

 private:
  void OnModeClicked(std::int32_t clicked);
  // Checks the box of the mode alone and enables the fields for the custom
  // proxy, keeping what has been typed into them.
  void ShowMode();

  // Check states of the three boxes; they mirror the mode and are never stored.
  std::int32_t automaticBox_ = 0;
  std::int32_t directBox_ = 0;
  std::int32_t customBox_ = 0;
};

}  // namespace halvern::ui
