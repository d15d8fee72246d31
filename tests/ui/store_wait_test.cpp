// Start-up while another program holds the settings store locked: a window
// says so and the program goes on by itself once the store opens; Exit gives
// up; a store that is unusable is handed back at once.

#include "store_wait.h"

#include <gtest/gtest.h>

#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QMessageBox>
#include <fstream>

#include "temp_store.h"
#include "ui_test_util.h"

namespace halvern::test {
namespace {

using Status = SqliteStore::OpenStatus;
using namespace std::chrono_literals;

// Answers kBusy while `busy`, then opens a real store.
struct ScriptedOpener {
  std::filesystem::path file;
  bool busy = false;
  int calls = 0;
  ui::StoreOpening operator()() {
    ++calls;
    if (busy) return {nullptr, Status::kBusy, "busy: " + file.string()};
    ui::StoreOpening opening;
    opening.store = SqliteStore::Open(file, u"Velmora", opening.error, opening.status);
    return opening;
  }
};

QMessageBox* WaitWindow() {
  auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
  return box && box->objectName() == QLatin1String(ui::kStoreWaitWindowName) ? box : nullptr;
}

class StoreWaitTest : public ::testing::Test {
 protected:
  std::filesystem::path File() const { return dir_.path() / "registry.sqlite3"; }
  TempDir dir_;
};

TEST_F(StoreWaitTest, WaitsWhileBusySaysWhyAndGoesOnOnceOpen) {
  ScriptedOpener opener{File(), true};
  QString shownText;
  OnNextModal<QMessageBox>([&](QMessageBox* box) {
    shownText = box->text();
    EXPECT_FALSE(std::filesystem::exists(opener.file)) << "nothing is touched while busy";
    opener.busy = false;  // the other program lets go
  });
  const ui::StoreOpening opening =
      ui::OpenStoreWhenFree(std::ref(opener), QStringLiteral("/home/u/registry.sqlite3"), 10ms);
  EXPECT_EQ(opening.status, Status::kOpened);
  EXPECT_NE(opening.store, nullptr);
  EXPECT_GE(opener.calls, 2);
  EXPECT_TRUE(shownText.contains(QStringLiteral("\"/home/u/registry.sqlite3\"")))
      << shownText.toStdString();
  EXPECT_TRUE(shownText.contains(QStringLiteral("in use by another program")));
  EXPECT_TRUE(shownText.contains(QStringLiteral("will start as soon as it is free")));
  EXPECT_EQ(WaitWindow(), nullptr) << "the window is gone once the store is open";
}

TEST_F(StoreWaitTest, ExitGivesUpWithoutOpening) {
  ScriptedOpener opener{File(), true};
  int callsAtExit = 0;
  OnNextModal<QMessageBox>([&](QMessageBox* box) {
    ASSERT_EQ(box->buttons().size(), 1);
    EXPECT_EQ(box->buttons()[0]->text(), QStringLiteral("Exit"));
    callsAtExit = opener.calls;
    box->buttons()[0]->click();
  });
  const ui::StoreOpening opening =
      ui::OpenStoreWhenFree(std::ref(opener), QStringLiteral("f"), 10ms);
  EXPECT_EQ(opening.status, Status::kBusy);
  EXPECT_EQ(opening.store, nullptr);
  EXPECT_EQ(opener.calls, callsAtExit);
  EXPECT_FALSE(std::filesystem::exists(File()));
}

TEST_F(StoreWaitTest, AnOpenOrUnusableStoreShowsNoWindow) {
  for (const bool unusable : {false, true}) {
    std::filesystem::path file = File();
    if (unusable) {
      file = dir_.path() / "garbage.sqlite3";
      std::ofstream(file, std::ios::binary) << std::string(5000, 'Z');
    }
    ScriptedOpener opener{file, false};
    const auto opening = ui::OpenStoreWhenFree(std::ref(opener), QStringLiteral("f"), 10ms);
    EXPECT_EQ(opening.status, unusable ? Status::kUnusable : Status::kOpened);
    EXPECT_EQ(opener.calls, 1);
    EXPECT_FALSE(opening.error.empty() && unusable);
  }
}

}  // namespace
}  // namespace halvern::test
