// The proxy dialog on its own: the three boxes as one choice, the fields
// enabled for the custom proxy only, and the port's integer rule at a click
// and at OK.

#include <gtest/gtest.h>

#include <QtTest/QTest>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QDialogButtonBox>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QPushButton>

#include "proxy_dlg.h"
#include "ui_test_util.h"

namespace halvern::test {
namespace {

using namespace halvern::res;
using ui::CProxyDlg;

class ProxyDlgTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetMessageBoxes(); }
  void TearDown() override { ui::MessageBoxScript::Reset(); }

  CProxyDlg& Open(std::int32_t mode, const QString& address = QString(), std::int32_t port = 8080) {
    dlg_ = std::make_unique<CProxyDlg>();
    dlg_->mode = mode;
    dlg_->address = address;
    dlg_->port = port;
    dlg_->Create();
    dlg_->show();
    return *dlg_;
  }
  QCheckBox* Box(int id) { return dlg_->Control<QCheckBox>(id); }
  QLineEdit* Address() { return dlg_->Control<QLineEdit>(IDC_PROXY_ADDRESS); }
  QLineEdit* Port() { return dlg_->Control<QLineEdit>(IDC_PROXY_PORT); }
  // Which boxes are checked, as "ADC" with '-' for an unchecked box.
  std::string Checked() {
    std::string shown;
    shown += Box(IDC_PROXY_AUTOMATIC)->isChecked() ? 'A' : '-';
    shown += Box(IDC_PROXY_DIRECT)->isChecked() ? 'D' : '-';
    shown += Box(IDC_PROXY_CUSTOM)->isChecked() ? 'C' : '-';
    return shown;
  }
  bool FieldsEnabled() {
    EXPECT_EQ(Address()->isEnabled(), Port()->isEnabled());
    return Address()->isEnabled();
  }
  void ClickOk() { dlg_->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click(); }

  std::unique_ptr<CProxyDlg> dlg_;
};

TEST_F(ProxyDlgTest, StoredModeChoosesTheBoxAndTheFields) {
  struct Case {
    std::int32_t mode;
    const char* checked;
    bool fields;
  };
  const Case cases[] = {
      {0, "A--", false}, {1, "-D-", false}, {2, "--C", true}, {5, "---", false}, {-1, "---", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    CProxyDlg& dlg = Open(c.mode, QStringLiteral("proxy.example"), 3128);
    EXPECT_EQ(Checked(), c.checked);
    EXPECT_EQ(FieldsEnabled(), c.fields);
    EXPECT_EQ(Address()->text(), QStringLiteral("proxy.example"));
    EXPECT_EQ(Port()->text(), QStringLiteral("3128"));
    ClickOk();
    EXPECT_EQ(dlg.result(), IDOK);
    EXPECT_EQ(dlg.mode, c.mode) << "OK without a click keeps the mode, also one out of range";
  }
  EXPECT_TRUE(ui::MessageBoxScript::TakeShown().empty());
}

TEST_F(ProxyDlgTest, TemplateTextsAndPortDigitsOnly) {
  CProxyDlg& dlg = Open(2);
  EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Proxy  Server"));
  EXPECT_EQ(Box(IDC_PROXY_AUTOMATIC)->text(), QStringLiteral("Automatic. Use Default Settings."));
  EXPECT_EQ(Box(IDC_PROXY_DIRECT)->text(), QStringLiteral("Direct. Do not use a Proxy Server."));
  EXPECT_EQ(Box(IDC_PROXY_CUSTOM)->text(), QStringLiteral("Custom Proxy Server."));
  Port()->clear();
  Port()->setFocus();
  QTest::keyClicks(Port(), QStringLiteral("8a-0 8x0"));
  EXPECT_EQ(Port()->text(), QStringLiteral("8080"));
}

TEST_F(ProxyDlgTest, ClicksActAsOneChoice) {
  CProxyDlg& dlg = Open(1);
  struct Step {
    int box;
    const char* checked;
    std::int32_t mode;
  };
  const Step steps[] = {
      {IDC_PROXY_CUSTOM, "--C", 2},    {IDC_PROXY_AUTOMATIC, "A--", 0},
      {IDC_PROXY_AUTOMATIC, "A--", 0},  // the checked box stays checked
      {IDC_PROXY_DIRECT, "-D-", 1},    {IDC_PROXY_DIRECT, "-D-", 1},
      {IDC_PROXY_CUSTOM, "--C", 2},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.box);
    QTest::mouseClick(Box(step.box), Qt::LeftButton);
    EXPECT_EQ(Checked(), step.checked);
    EXPECT_EQ(dlg.mode, step.mode);
    EXPECT_EQ(FieldsEnabled(), step.mode == 2);
  }
}

TEST_F(ProxyDlgTest, DisabledFieldsKeepWhatWasTyped) {
  CProxyDlg& dlg = Open(1);
  QTest::mouseClick(Box(IDC_PROXY_CUSTOM), Qt::LeftButton);
  Address()->setText(QStringLiteral("10.0.0.7"));
  Port()->setText(QStringLiteral("3128"));
  QTest::mouseClick(Box(IDC_PROXY_DIRECT), Qt::LeftButton);
  EXPECT_FALSE(FieldsEnabled());
  EXPECT_EQ(Address()->text(), QStringLiteral("10.0.0.7"));
  EXPECT_EQ(Port()->text(), QStringLiteral("3128"));
  ClickOk();
  EXPECT_EQ(dlg.result(), IDOK);
  EXPECT_EQ(dlg.mode, 1);
  EXPECT_EQ(dlg.address, QStringLiteral("10.0.0.7"));
  EXPECT_EQ(dlg.port, 3128);
}

TEST_F(ProxyDlgTest, EmptyPortAtOkKeepsTheDialogOpen) {
  CProxyDlg& dlg = Open(2, QString(), 8080);
  Address()->setText(QStringLiteral("gateway"));
  Port()->clear();
  ClickOk();
  const auto shown = ui::MessageBoxScript::TakeShown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, QStringLiteral("Please enter an integer."));
  EXPECT_EQ(shown[0].caption, QStringLiteral("Velmora Halvern"));
  EXPECT_EQ(shown[0].flags, ui::MB_OK | ui::MB_ICONEXCLAMATION);
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_NE(dlg.result(), IDOK);
  EXPECT_EQ(dlg.focusWidget(), Port());
  EXPECT_EQ(dlg.port, 8080);
  EXPECT_EQ(dlg.address, QStringLiteral("gateway")) << "read before the port";

  Port()->setText(QStringLiteral("0"));
  ClickOk();
  EXPECT_EQ(dlg.result(), IDOK);
  EXPECT_EQ(dlg.port, 0);
}

TEST_F(ProxyDlgTest, EmptyPortAtAClickSaysSoAndTheClickStillCounts) {
  CProxyDlg& dlg = Open(2, QString(), 8080);
  Port()->setText(QStringLiteral("3128"));
  QTest::mouseClick(Box(IDC_PROXY_CUSTOM), Qt::LeftButton);  // reads 3128
  Port()->clear();
  QTest::mouseClick(Box(IDC_PROXY_AUTOMATIC), Qt::LeftButton);
  EXPECT_EQ(ShownTexts(), std::vector<QString>{QStringLiteral("Please enter an integer.")});
  EXPECT_EQ(Checked(), "A--");
  EXPECT_EQ(dlg.mode, 0);
  EXPECT_EQ(Port()->text(), QStringLiteral("3128")) << "refilled with the last port read";
}

TEST_F(ProxyDlgTest, PortsOutOfTheNetworkRangeAreTakenAsTyped) {
  for (const char* text : {"0", "65536", "99999"}) {
    SCOPED_TRACE(text);
    CProxyDlg& dlg = Open(2);
    Port()->setText(QString::fromUtf8(text));
    ClickOk();
    EXPECT_EQ(dlg.result(), IDOK);
    EXPECT_EQ(dlg.port, QString::fromUtf8(text).toInt());
  }
}

TEST_F(ProxyDlgTest, CancelHandsNothingBack) {
  CProxyDlg& dlg = Open(1, QStringLiteral("old"), 8080);
  QTest::mouseClick(Box(IDC_PROXY_CUSTOM), Qt::LeftButton);
  Address()->setText(QStringLiteral("new"));
  Port()->clear();
  dlg.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->click();
  EXPECT_EQ(dlg.result(), IDCANCEL);
  EXPECT_TRUE(ui::MessageBoxScript::TakeShown().empty());
  EXPECT_EQ(dlg.address, QStringLiteral("old"));
  EXPECT_EQ(dlg.port, 8080);
}

}  // namespace
}  // namespace halvern::test
