#include "timed_run_service.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QString>
#include <algorithm>
#include <chrono>
#include <future>

#include "alarm_helper_client.h"
#include "clean_spawn.h"

namespace halvern {
namespace {

// How long the helper may take to say whether it holds the alarm clock.
constexpr std::chrono::seconds kHelperAnswerBound{5};

bool IsBareName(const QString& name) {
  return !name.isEmpty() && name != QStringLiteral(".") && name != QStringLiteral("..") &&
         !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) &&
         !name.contains(QChar(0));
}

std::u16string FoldName(const std::u16string& program) {
  return QString::fromStdU16String(program).toLower().toStdU16String();
}

// A booking's key as the helper knows it: the case-folded name's UTF-16 code
// units in hex, so that every name, well-formed or not, keeps a key of its own.
std::string WireKey(const std::u16string& key) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (const char16_t unit : key) {
    for (int shift = 12; shift >= 0; shift -= 4) text.push_back(kHex[(unit >> shift) & 15]);
  }
  return text;
}

std::optional<std::u16string> KeyFromWire(const std::string& text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::u16string key;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    char16_t unit = 0;
    for (std::size_t j = i; j < i + 4; ++j) {
      const char c = text[j];
      const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (digit < 0) return std::nullopt;
      unit = static_cast<char16_t>(unit * 16 + digit);
    }
    key.push_back(unit);
  }
  return key;
}

std::int64_t RealtimeNowMs() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Floor division, so that an instant before 1970 belongs to the second before.
std::int64_t WholeSeconds(std::int64_t ms) { return ms / 1000 - (ms % 1000 < 0 ? 1 : 0); }

// The child starts with no blocked signals and default actions, whatever the
// service thread or Qt had set.
pid_t Spawn(const std::filesystem::path& binary) { return SpawnClean(binary, {}, nullptr); }

}  // namespace

std::optional<std::int64_t> LocalTimeToEpoch(const LocalTime& time) {
  const auto ms = LocalTimeToEpochMs(time);
  if (!ms) return std::nullopt;
  return WholeSeconds(*ms);
}

TimedRunService::TimedRunService(std::filesystem::path programFolder, FiredCallback onFired)
    : folder_(std::move(programFolder)), onFired_(std::move(onFired)) {
  timerFd_ = ::timerfd_create(CLOCK_REALTIME_ALARM, TFD_CLOEXEC | TFD_NONBLOCK);
  wakesMachine_ = timerFd_ >= 0;
  // Waking the machine needs CAP_WAKE_ALARM; without it the timer still fires
  // on time while the machine is awake, and at resume when it slept through.
  if (timerFd_ < 0) timerFd_ = ::timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK);
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (timerFd_ < 0 || wakeFd_ < 0) return;
  // The helper is started on the service thread: its parent-death signal
  // follows that thread, which lives exactly as long as the service.
  std::promise<void> helperAsked;
  std::future<void> asked = helperAsked.get_future();
  thread_ = std::thread([this, &helperAsked] {
    auto helper = AlarmHelperClient::Start(folder_, kHelperAnswerBound);
    {
      std::lock_guard lock(mutex_);
      helper_ = std::move(helper);
    }
    helperAsked.set_value();
    Run();
  });
  asked.wait();
}

TimedRunService::~TimedRunService() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  Wake();
  if (thread_.joinable()) thread_.join();
  // Its socket closes: the helper ends, and it is reaped.
  helper_.reset();
  // Give started children a moment to end so that none is left a zombie.
  for (int i = 0; i < 100 && !children_.empty(); ++i) {
    ReapChildren();
    if (!children_.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (timerFd_ >= 0) ::close(timerFd_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

std::filesystem::path TimedRunService::ProgramPath(const std::u16string& program) const {
  QString name = QString::fromStdU16String(program);
  if (!IsBareName(name)) return {};
  if (name.endsWith(QStringLiteral(".exe"), Qt::CaseInsensitive)) name.chop(4);
  if (!IsBareName(name)) return {};
  return folder_ / name.toStdString();
}

bool TimedRunService::IsHelpersProgram(const std::u16string& program) const {
  return ProgramPath(program).filename() == alarm::kLauncherFile;
}

bool TimedRunService::CanWakeMachine() const {
  std::lock_guard lock(mutex_);
  return helper_ != nullptr || wakesMachine_;
}

pid_t TimedRunService::HelperPid() const {
  std::lock_guard lock(mutex_);
  return helper_ ? helper_->pid() : -1;
}

bool TimedRunService::RunAppAtTime(const std::u16string& program,
                                   const std::optional<LocalTime>& when) {
  if (!thread_.joinable() || ProgramPath(program).empty()) return false;
  const std::u16string key = FoldName(program);
  {
    std::lock_guard lock(mutex_);
    if (!when) {
      bookings_.erase(key);
    } else {
      const auto timeMs = LocalTimeToEpochMs(*when);
      if (!timeMs) return false;
      bookings_[key] = Booking{program, *timeMs};
    }
    if (helper_) TellHelper(key);
  }
  Wake();
  return true;
}

void TimedRunService::TellHelper(const std::u16string& key) {
  const auto it = bookings_.find(key);
  // A name that no longer books the helper's program (another spelling of
  // the key) takes the helper's booking back.
  const std::string line =
      it == bookings_.end() || !IsHelpersProgram(it->second.program)
          ? alarm::FormatCancel(WireKey(key))
          : alarm::FormatBook(WireKey(key), it->second.timeMs,
                              ProgramPath(it->second.program).filename().string());
  // A broken socket is shut down by Send: the service thread then sees the
  // helper gone and takes this booking over with the others.
  [[maybe_unused]] const bool sent = helper_->Send(line);
}

void TimedRunService::Wake() {
  if (wakeFd_ < 0) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

void TimedRunService::Run() {
  for (;;) {
    // Only this thread replaces helper_, so it may read it without the lock.
    const int helperFd = helper_ ? helper_->fd() : -1;
    pollfd fds[3] = {{wakeFd_, POLLIN, 0}, {timerFd_, POLLIN, 0}, {helperFd, POLLIN, 0}};
    // While children run, look every 200 ms whether they have ended.
    const int timeout = children_.empty() ? -1 : 200;
    const int ready = ::poll(fds, 3, timeout);
    if (ready < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &count, sizeof count);
      {
        std::lock_guard lock(mutex_);
        if (stop_) return;
      }
      ArmEarliest();
    }
    if (fds[1].revents & POLLIN) {
      std::uint64_t expirations = 0;
      const ssize_t n = ::read(timerFd_, &expirations, sizeof expirations);
      if (n == sizeof expirations) {
        FireDue();
      } else if (n < 0 && errno == ECANCELED) {
        // The wall clock was set: bookings keep their calendar times, so the
        // timer is armed again against the new clock.
        ArmEarliest();
      }
    }
    if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) ServeHelper();
    ReapChildren();
  }
}

void TimedRunService::ServeHelper() {
  auto [replies, gone] = helper_->Read();
  for (const alarm::Reply& fired : replies) {
    const std::u16string key = KeyFromWire(fired.key).value_or(std::u16string());
    std::u16string program = key;
    {
      std::lock_guard lock(mutex_);
      // A booking replaced or cancelled meanwhile is the newer one: kept.
      const auto it = bookings_.find(key);
      if (it != bookings_.end() && it->second.timeMs == fired.ms) {
        program = it->second.program;
        bookings_.erase(it);
      }
    }
    if (onFired_) {
      onFired_(program, WholeSeconds(fired.ms), static_cast<pid_t>(fired.pidOrError));
    }
  }
  if (gone) TakeOverFromHelper();
}

void TimedRunService::TakeOverFromHelper() {
  std::unique_ptr<AlarmHelperClient> helper;
  {
    std::lock_guard lock(mutex_);
    helper = std::move(helper_);
  }
  helper.reset();  // ends and reaps it, should it still run
  ArmEarliest();
}

void TimedRunService::ArmEarliest() {
  std::optional<std::int64_t> earliest;
  {
    std::lock_guard lock(mutex_);
    // The bookings the helper holds leave this timer alone.
    for (const auto& [key, booking] : bookings_) {
      if (helper_ && IsHelpersProgram(booking.program)) continue;
      if (!earliest || booking.timeMs < *earliest) earliest = booking.timeMs;
    }
  }
  itimerspec expiry{};
  if (earliest) {
    // An all-zero value would disarm the timer; any past time fires at once.
    const std::int64_t ms = std::max<std::int64_t>(*earliest, 1000);
    expiry.it_value.tv_sec = static_cast<time_t>(ms / 1000);
    expiry.it_value.tv_nsec = static_cast<long>(ms % 1000) * 1000000;
  }
  ::timerfd_settime(timerFd_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &expiry, nullptr);
}

void TimedRunService::FireDue() {
  std::vector<Booking> due;
  {
    std::lock_guard lock(mutex_);
    const std::int64_t nowMs = RealtimeNowMs();
    for (auto it = bookings_.begin(); it != bookings_.end();) {
      if (it->second.timeMs <= nowMs && !(helper_ && IsHelpersProgram(it->second.program))) {
        due.push_back(it->second);
        it = bookings_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const Booking& booking : due) {
    const pid_t pid = Spawn(ProgramPath(booking.program));
    if (pid > 0) children_.push_back(pid);
    if (onFired_) onFired_(booking.program, WholeSeconds(booking.timeMs), pid);
  }
  ArmEarliest();
}

void TimedRunService::ReapChildren() {
  std::erase_if(children_, [](pid_t pid) {
    int status = 0;
    const pid_t rc = ::waitpid(pid, &status, WNOHANG);
    // ECHILD: someone else reaped it (SIGCHLD ignored, or a global reaper).
    return rc == pid || (rc < 0 && errno == ECHILD);
  });
}

}  // namespace halvern
