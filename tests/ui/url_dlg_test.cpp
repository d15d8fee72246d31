// The URL editor on its own: defaults, the OK checks with their messages, the
// size field's integer rule and the mode description.

#include <gtest/gtest.h>

#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QDialogButtonBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QPushButton>

#include "ui_test_util.h"
#include "url_dlg.h"

namespace halvern::test {
namespace {

using namespace halvern::res;
using ui::CUrlDlg;

class UrlDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetMessageBoxes();
    dlg_.Create();
    dlg_.show();
  }
  void TearDown() override { ui::MessageBoxScript::Reset(); }

  void Type(int id, const QString& text) { dlg_.Control<QLineEdit>(id)->setText(text); }
  QString Text(int id) { return dlg_.Control<QLineEdit>(id)->text(); }
  void ClickOk() { dlg_.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click(); }
  QString Description() { return dlg_.Control<QLabel>(IDC_URL_MODE_DESCRIPTION)->text(); }

  CUrlDlg dlg_;
};

TEST_F(UrlDlgTest, ShowsTheDefaults) {
  EXPECT_EQ(dlg_.windowTitle(), QStringLiteral("Edit URL"));
  EXPECT_TRUE(dlg_.Control<QCheckBox>(IDC_URL_ENABLE)->isChecked());
  EXPECT_EQ(Text(IDC_URL_TITLE), QString());
  EXPECT_EQ(Text(IDC_URL_ADDRESS), QStringLiteral("http(s)://"));
  EXPECT_EQ(Text(IDC_URL_SIZE_LIMIT), QStringLiteral("-1"));
  auto* modes = dlg_.Control<QComboBox>(IDC_URL_MODE);
  ASSERT_EQ(modes->count(), 2);
  EXPECT_EQ(modes->itemText(0), QStringLiteral("Download a webpage or file"));
  EXPECT_EQ(modes->itemText(1), QStringLiteral("Run a script and verify results"));
  EXPECT_EQ(modes->currentIndex(), 0);
  EXPECT_EQ(Description(), QString::fromUtf8(ui::kDownloadModeDescription));
  EXPECT_FALSE(dlg_.GetDlgItem(IDC_SIPPREF)->isVisible());
}

struct OkCase {
  const char* title;
  const char* url;
  const char* message;  // nullptr: accepted
};

TEST_F(UrlDlgTest, OkChecksTitleAndUrlInOrder) {
  const OkCase cases[] = {
      {"", "http(s)://", "The 'Title' cannot be empty."},
      {"", "", "The 'Title' cannot be empty."},
      {"Home", "", "The 'URL' cannot be empty."},
      {"Home", "http(s)://", "The 'URL' should begin with 'http://' or 'https://'."},
      {"Home", "HTTP://example.org/", "The 'URL' should begin with 'http://' or 'https://'."},
      {"Home", " http://example.org/", "The 'URL' should begin with 'http://' or 'https://'."},
      {"Home", "ftp://example.org/", "The 'URL' should begin with 'http://' or 'https://'."},
      {"Home", "http://example.org/", nullptr},
      {"Home", "https://example.org/", nullptr},
  };
  for (const OkCase& c : cases) {
    SCOPED_TRACE(std::string(c.title) + " | " + c.url);
    CUrlDlg dlg;
    dlg.Create();
    dlg.show();
    dlg.Control<QLineEdit>(IDC_URL_TITLE)->setText(QString::fromUtf8(c.title));
    dlg.Control<QLineEdit>(IDC_URL_ADDRESS)->setText(QString::fromUtf8(c.url));
    dlg.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    const auto shown = ui::MessageBoxScript::TakeShown();
    if (c.message == nullptr) {
      EXPECT_TRUE(shown.empty());
      EXPECT_EQ(dlg.result(), IDOK);
      EXPECT_FALSE(dlg.isVisible());
      EXPECT_EQ(dlg.url, QString::fromUtf8(c.url));
    } else {
      ASSERT_EQ(shown.size(), 1u);
      EXPECT_EQ(shown[0].text, QString::fromUtf8(c.message));
      EXPECT_EQ(shown[0].caption, QStringLiteral("Velmora Halvern"));
      EXPECT_EQ(shown[0].flags, ui::MB_OK | ui::MB_ICONSTOP);
      EXPECT_TRUE(dlg.isVisible());
      // What was typed stays.
      EXPECT_EQ(dlg.Control<QLineEdit>(IDC_URL_ADDRESS)->text(), QString::fromUtf8(c.url));
    }
  }
}

TEST_F(UrlDlgTest, AcceptedValuesComeBackAsTyped) {
  dlg_.Control<QCheckBox>(IDC_URL_ENABLE)->setChecked(false);
  const QString longTitle = QStringLiteral("A title of thirty characters..");
  Type(IDC_URL_TITLE, longTitle);
  Type(IDC_URL_ADDRESS, QStringLiteral("https://example.org/check.php"));
  ChooseComboItem(dlg_.Control<QComboBox>(IDC_URL_MODE), 1);
  Type(IDC_URL_SIZE_LIMIT, QStringLiteral("2048"));
  ClickOk();
  EXPECT_EQ(dlg_.result(), IDOK);
  // The field takes no more than the 24 characters an entry keeps.
  EXPECT_EQ(dlg_.title, longTitle.left(24));
  EXPECT_EQ(dlg_.url, QStringLiteral("https://example.org/check.php"));
  EXPECT_EQ(dlg_.mode, 1);
  EXPECT_EQ(dlg_.sizeLimit, 2048);
  EXPECT_EQ(dlg_.enabled, 0);
}

TEST_F(UrlDlgTest, SizeFieldReadsLeadingDigits) {
  const std::pair<const char*, int> cases[] = {
      {"12abc", 12}, {"  -7", -7}, {"+5kb", 5}, {"0", 0}, {"99999999999", 2147483647}};
  for (const auto& [text, value] : cases) {
    SCOPED_TRACE(text);
    Type(IDC_URL_SIZE_LIMIT, QString::fromUtf8(text));
    EXPECT_TRUE(dlg_.UpdateData(true));
    EXPECT_EQ(dlg_.sizeLimit, value);
  }
  EXPECT_TRUE(ui::MessageBoxScript::TakeShown().empty());
}

TEST_F(UrlDlgTest, SizeFieldWithoutANumberKeepsTheDialogOpen) {
  for (const char* text : {"abc", "", " ", "-", "kb12"}) {
    SCOPED_TRACE(text);
    dlg_.sizeLimit = 77;
    dlg_.enabled = 1;
    dlg_.Control<QCheckBox>(IDC_URL_ENABLE)->setChecked(false);
    Type(IDC_URL_TITLE, QStringLiteral("Home"));
    Type(IDC_URL_ADDRESS, QStringLiteral("http://example.org/"));
    Type(IDC_URL_SIZE_LIMIT, QString::fromUtf8(text));
    dlg_.Control<QLineEdit>(IDC_URL_TITLE)->setFocus();
    ClickOk();
    const auto shown = ui::MessageBoxScript::TakeShown();
    ASSERT_EQ(shown.size(), 1u) << "the integer message comes once";
    EXPECT_EQ(shown[0].text, QStringLiteral("Please enter an integer."));
    EXPECT_EQ(shown[0].flags, ui::MB_OK | ui::MB_ICONEXCLAMATION);
    EXPECT_TRUE(dlg_.isVisible());
    EXPECT_NE(dlg_.result(), IDOK);
    auto* size = dlg_.Control<QLineEdit>(IDC_URL_SIZE_LIMIT);
    EXPECT_EQ(dlg_.focusWidget(), size);
    EXPECT_EQ(size->selectedText(), size->text());
    EXPECT_EQ(dlg_.sizeLimit, 77);  // kept
    EXPECT_EQ(dlg_.enabled, 1);     // the box after the size field is not read
  }
}

TEST_F(UrlDlgTest, BadSizeStillLetsTheOtherChecksSpeak) {
  Type(IDC_URL_SIZE_LIMIT, QStringLiteral("x"));
  ClickOk();
  EXPECT_EQ(ShownTexts(), (std::vector<QString>{QStringLiteral("Please enter an integer."),
                                                QStringLiteral("The 'Title' cannot be empty.")}));
  EXPECT_TRUE(dlg_.isVisible());
}

TEST_F(UrlDlgTest, ModeChoiceSwitchesTheDescription) {
  auto* modes = dlg_.Control<QComboBox>(IDC_URL_MODE);
  ChooseComboItem(modes, 1);
  EXPECT_EQ(Description(), QString::fromUtf8(ui::kScriptModeDescription));
  ChooseComboItem(modes, 0);
  EXPECT_EQ(Description(), QString::fromUtf8(ui::kDownloadModeDescription));
}

TEST(UrlDlgStoredMode, UnknownModeShowsNoSelectionAndReturnsMinusOne) {
  ResetMessageBoxes();
  CUrlDlg dlg;
  dlg.mode = 2;
  dlg.title = QStringLiteral("Odd");
  dlg.url = QStringLiteral("http://example.org/");
  dlg.sizeLimit = 0;
  dlg.Create();
  dlg.show();
  EXPECT_EQ(dlg.Control<QComboBox>(IDC_URL_MODE)->currentIndex(), -1);
  EXPECT_EQ(dlg.Control<QLabel>(IDC_URL_MODE_DESCRIPTION)->text(), QStringLiteral("Static"));
  EXPECT_EQ(dlg.Control<QLineEdit>(IDC_URL_SIZE_LIMIT)->text(), QStringLiteral("0"));
  dlg.SendCommand(IDOK);
  EXPECT_EQ(dlg.result(), IDOK);
  EXPECT_EQ(dlg.mode, -1);
}

TEST_F(UrlDlgTest, TakenTitleIsRefusedWithItsStoredForm) {
  QString asked;
  dlg_.titleTaken = [&](const QString& stored) {
    asked = stored;
    return stored == QStringLiteral("abcdefghijklmnopqrstuvwx");
  };
  Type(IDC_URL_TITLE, QStringLiteral("abcdefghijklmnopqrstuvwxyz"));  // 26: cut to 24
  Type(IDC_URL_ADDRESS, QStringLiteral("http://example.org/"));
  ClickOk();
  EXPECT_EQ(asked, QStringLiteral("abcdefghijklmnopqrstuvwx"));
  const auto texts = ShownTexts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_TRUE(texts[0].contains(QStringLiteral("'abcdefghijklmnopqrstuvwx'")));
  EXPECT_TRUE(dlg_.isVisible());
  Type(IDC_URL_TITLE, QStringLiteral("Another"));
  ClickOk();
  EXPECT_EQ(dlg_.result(), IDOK);
}

TEST_F(UrlDlgTest, CancelEndsWithoutChecks) {
  Type(IDC_URL_SIZE_LIMIT, QStringLiteral("x"));
  dlg_.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->click();
  EXPECT_EQ(dlg_.result(), IDCANCEL);
  EXPECT_TRUE(ui::MessageBoxScript::TakeShown().empty());
}

}  // namespace
}  // namespace halvern::test
