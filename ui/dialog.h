#pragma once
// CDialog: the dialog base of the program, a QDialog built from a dialog
// template of resources/ (dialog_template.h, resource_ids.h).
//
// Usage:
//
//   class CProxyDlg : public CDialog {
//    public:
//     explicit CProxyDlg(QWidget* owner) : CDialog(res::IDD_PROXY, owner) {
//       MapCommand(res::IDC_PROXY_CUSTOM, [this] { OnModeClicked(2); });   // BN_CLICKED
//       MapSelChange(res::IDC_..., [this] { ... });                      // CBN_SELCHANGE
//     }
//     std::int32_t port = 8080;                  // members set before DoModal
//    protected:
//     bool OnInitDialog() override {             // after the widgets exist
//       CDialog::OnInitDialog();                 // members -> controls (UpdateData(false))
//       ...fill combo boxes (Control<QComboBox>(id)->addItem(...)), UpdateData(false)...
//       return true;
//     }
//     void DoDataExchange(DataExchange& dx) override { dx.Int(res::IDC_PROXY_PORT, port); }
//     void OnOK() override { if (checks pass) CDialog::OnOK(); }  // OnOK: UpdateData(true),
//   };                                                            // then EndDialog(IDOK)
//
//   CProxyDlg dlg(mainWindow);
//   dlg.port = ReadSetting(store, kProxyPort);
//   if (dlg.DoModal() == res::IDOK) WriteSetting(store, kProxyPort, dlg.port);
//
// - Widgets are made on first need: Create(), DoModal(), or GetDlgItem/Control.
//   Create() builds them and runs OnInitDialog without running the dialog,
//   which is how tests drive a dialog (show() it, click, read result()).
// - Controls: GetDlgItem(id) or Control<T>(id) (QPushButton, QCheckBox,
//   QLineEdit, QLabel, QComboBox, ListView; the SIPPREF control is a hidden
//   QWidget). Owner-drawn or other custom controls: override CreateControl.
// - Commands: a click on a push button, a menu item, OK and Cancel all become
//   SendCommand(id, 0). OnCommandHook sees every command first; then the
//   handler mapped to the id runs; IDOK and IDCANCEL go to OnOK and OnCancel
//   unless mapped. The desktop has no OK in the caption: below the template's
//   controls sits an OK / Cancel row (SetButtonRow before Create chooses it);
//   Esc and the title bar's close button are IDCANCEL.
// - Windows that show a list may be made larger (SetGrowingControl before
//   Create): the template's size is their smallest, the list takes the room.
// - Enter on a list row with a double-click handler runs that handler.
// - The result of DoModal (and result() after the run) is IDOK or IDCANCEL.
// - A modal run blocks its owner (and the owner's owners) only; a dialog
//   without an owner blocks the whole program.
// - Message boxes and the open-file dialog: message_box.h.

#include <QtWidgets/QDialog>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "data_exchange.h"
#include "dialog_builder.h"
#include "dialog_template.h"
#include "resource_ids.h"

class QDialogButtonBox;
class QMenuBar;

namespace halvern::ui {

class CDialog : public QDialog {
  Q_OBJECT

 public:
  enum class ButtonRow { kOkCancel, kOk, kNone };

  explicit CDialog(int templateId, QWidget* owner = nullptr);
  ~CDialog() override;

  // Builds the widgets and runs OnInitDialog once; later calls do nothing.
  void Create();
  // Runs the dialog modally; IDOK or IDCANCEL.
  int DoModal();
  // Ends the dialog with `result` (hides it; a modal run returns it).
  void EndDialog(int result);

  QWidget* GetDlgItem(int id);
  template <typename T>
  T* Control(int id) {
    return qobject_cast<T*>(GetDlgItem(id));
  }
  // Transfers members to controls (false) or controls to members (true);
  // false when a field fails its rule.
  bool UpdateData(bool saveAndValidate = true);
  // A command as the window system would send it: the hook first, then the map.
  // True when something handled it.
  bool SendCommand(int id, std::intptr_t lParam = 0);

  int templateId() const { return templateId_; }
  const res::DialogTemplate& dialogTemplate() const { return *template_; }
  const DialogUnits& units() const { return units_; }
  // The widget that holds the template's controls (size = the template's, or
  // larger in a window that grows).
  QWidget* canvas() const { return canvas_; }

 protected:
  // Called once the widgets exist; the base transfers members to controls.
  virtual bool OnInitDialog();
  virtual void DoDataExchange(DataExchange& dx);
  // Standard OK: controls to members, then EndDialog(IDOK); stays open when a
  // field fails.
  virtual void OnOK();
  virtual void OnCancel();
  // Sees every command before the map; true = handled, routing stops.
  virtual bool OnCommandHook(int id, std::intptr_t lParam);
  // Custom widget for a template control, or nullptr for the standard one.
  virtual QWidget* CreateControl(const res::ControlTemplate& control, QWidget* parent);

  void SetButtonRow(ButtonRow row) { buttonRow_ = row; }
  // A further push button in the OK / Cancel row (the desktop's own, beside
  // the template's controls); a click sends `id`, GetDlgItem(id) finds it.
  void AddRowButton(int id, const QString& text) { rowButtons_.emplace_back(id, text); }
  // The window can be made larger; the control `id` takes the room gained.
  void SetGrowingControl(int id) { growingId_ = id; }
  // A window that grows, on its first start: as wide as the list `id` needs to
  // show all of its columns, and at least `atLeast` (and its smallest size).
  void SizeForListColumns(int id, QSize atLeast);
  // No push button is the default: Enter presses only the focused button and
  // does nothing elsewhere.
  void SetNoDefaultButton() { noDefaultButton_ = true; }
  // A menu bar above the controls, built from a menu resource; its items send
  // their command ids.
  void SetMenu(int menuId) { menuId_ = menuId; }
  QMenuBar* menuBar() const { return menuBar_; }

  // The message map.
  void MapCommand(int id, std::function<void()> handler);
  void MapSelChange(int id, std::function<void()> handler);
  void MapDoubleClick(int id, std::function<void()> handler);

  // QDialog's own accept/reject (Enter, Esc, close button) become commands.
  void accept() override;
  void reject() override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void BuildWidgets();
  void ConnectControl(int id, QWidget* widget);
  void BuildButtonRow();
  void BuildMenuBar();
  QWidget* BuildCanvas(QLayout* layout);
  void RunDoubleClick(int id);

  int templateId_;
  const res::DialogTemplate* template_;
  DialogUnits units_;
  ButtonRow buttonRow_ = ButtonRow::kOkCancel;
  int menuId_ = 0;
  int growingId_ = 0;
  bool noDefaultButton_ = false;
  bool built_ = false;
  bool initialised_ = false;
  QWidget* canvas_ = nullptr;
  QDialogButtonBox* buttons_ = nullptr;
  QMenuBar* menuBar_ = nullptr;
  std::vector<std::pair<int, QString>> rowButtons_;
  std::map<int, QWidget*> controls_;
  std::map<int, std::function<void()>> commands_;
  std::map<int, std::function<void()>> selChanges_;
  std::map<int, std::function<void()>> doubleClicks_;
};

}  // namespace halvern::ui
