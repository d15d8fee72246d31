// The sleep lock against a logind stand-in on a private bus: one lock at a
// time, asked for in the program's words, closed at once when given back or
// when the timer goes, never handed to programs Halvern starts; and without
// logind nothing is held and nothing is said.

#include "idle_timer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <QtCore/QString>
#include <QtCore/QStringList>
#include <chrono>
#include <string>
#include <vector>

#include "qt_loop.h"
#include "system_bus_stand_ins.h"

namespace halvern {
namespace {

using namespace std::chrono_literals;

// This process's descriptors that refer to the pipe of `readEnd`, the read
// end itself left out.
std::vector<int> DescriptorsOfPipe(int readEnd) {
  struct stat pipe {};
  if (::fstat(readEnd, &pipe) != 0) return {};
  std::vector<int> found;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return {};
  while (const dirent* entry = ::readdir(dir)) {
    const int fd = std::atoi(entry->d_name);
    if (entry->d_name[0] == '.' || fd == readEnd || fd == ::dirfd(dir)) continue;
    struct stat other {};
    if (::fstat(fd, &other) == 0 && other.st_dev == pipe.st_dev && other.st_ino == pipe.st_ino) {
      found.push_back(fd);
    }
  }
  ::closedir(dir);
  return found;
}

// Qt's warnings while a test runs.
QStringList* capturedWarnings = nullptr;
void CaptureWarning(QtMsgType, const QMessageLogContext&, const QString& text) {
  if (capturedWarnings) capturedWarnings->append(text);
}

TEST(LogindIdleTimerTest, HoldsOneLockAtATimeAndClosesIt) {
  test::QtApp();
  test::SystemBusStandIns standIns(20);
  ASSERT_TRUE(standIns.ok());
  test::StandInLogin& login = standIns.login();
  {
    LogindIdleTimer timer(standIns.Client(QStringLiteral("halvern")));
    EXPECT_FALSE(timer.Holds());
    timer.KeepAwake(true);
    ASSERT_TRUE(timer.Holds());
    auto locks = login.Locks();
    ASSERT_EQ(locks.size(), 1u);
    EXPECT_EQ(locks[0].what, QStringLiteral("sleep:idle"));
    EXPECT_EQ(locks[0].who, QStringLiteral("Velmora Halvern"));
    EXPECT_EQ(locks[0].why, QStringLiteral("Checking web sites"));
    EXPECT_EQ(locks[0].mode, QStringLiteral("block"));
    // Every copy of the lock in this process (the stand-in's own copies of
    // the reply among them, until the bus has let them go) is closed on exec:
    // a program that Halvern starts does not keep the machine awake.
    const std::vector<int> held = DescriptorsOfPipe(locks[0].readEnd);
    ASSERT_FALSE(held.empty());
    for (const int fd : held)
      EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "descriptor " << fd;

    timer.KeepAwake(true);  // held already: no second lock
    EXPECT_EQ(login.Locks().size(), 1u);
    timer.KeepAwake(false);
    EXPECT_FALSE(timer.Holds());
    EXPECT_TRUE(login.WaitUntilClosed(0, 30s));
    timer.KeepAwake(false);  // nothing held: nothing happens
    EXPECT_EQ(login.Locks().size(), 1u);

    timer.KeepAwake(true);  // the next run asks again
    ASSERT_EQ(login.Locks().size(), 2u);
    EXPECT_TRUE(login.IsOpen(1));
  }
  // The timer's end closes what it held.
  EXPECT_TRUE(login.WaitUntilClosed(1, 30s));
}

TEST(LogindIdleTimerTest, WithoutLogindNothingIsHeldAndNothingSaid) {
  test::QtApp();
  struct Case {
    const char* name;
    bool loginOnBus;
    bool refuse;
    bool bus;
  };
  for (const Case& c :
       {Case{"logind refuses", true, true, true}, Case{"no logind on the bus", false, false, true},
        Case{"no system bus", false, false, false}}) {
    SCOPED_TRACE(c.name);
    test::SystemBusStandIns standIns(20, true, c.loginOnBus);
    ASSERT_TRUE(standIns.ok());
    standIns.login().refuse = c.refuse;
    const QDBusConnection bus =
        c.bus ? standIns.Client(QStringLiteral("halvern"))
              : QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"),
                                              QStringLiteral("nowhere"));
    QStringList warnings;
    capturedWarnings = &warnings;
    const QtMessageHandler previous = qInstallMessageHandler(&CaptureWarning);
    {
      LogindIdleTimer timer(bus);
      timer.KeepAwake(true);
      EXPECT_FALSE(timer.Holds());
      timer.KeepAwake(false);
    }
    qInstallMessageHandler(previous);
    capturedWarnings = nullptr;
    EXPECT_TRUE(warnings.isEmpty()) << warnings.join(QStringLiteral("\n")).toStdString();
    EXPECT_TRUE(standIns.login().Locks().empty());
    if (!c.bus) QDBusConnection::disconnectFromBus(QStringLiteral("nowhere"));
  }
}

}  // namespace
}  // namespace halvern
