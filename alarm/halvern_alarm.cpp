// HalvernAlarm: holds Halvern's wake-up alarm, so that booked checks wake a
// sleeping machine while Halvern itself runs without any privilege.
//
// Installed with the one file capability cap_wake_alarm, it arms an absolute
// CLOCK_REALTIME_ALARM timerfd for the bookings Halvern sends and starts the
// booked program (HalvernRun) when one comes due. The protocol is in
// alarm_protocol.h. What it guards against, since it runs with a capability:
//   - it keeps CAP_WAKE_ALARM and nothing else, and its children get nothing
//     (empty inheritable and ambient sets, no-new-privileges, and an empty
//     bounding set where it may change it, that is when run by root);
//   - it starts one program, HalvernRun (kLauncherFile), and only from the
//     folder given at start when that is its own install arrangement:
//     <prefix>/bin beside <prefix>/libexec/halvern/, or its own folder in a
//     build tree. A booking of any other name is refused, so that in
//     /usr/bin it can start nothing else;
//   - every line is checked; a malformed one is answered "refused" and has no
//     other effect;
//   - it ends when Halvern ends: at end of file on its socket, and by the
//     parent-death signal (which the kernel clears when it executes a binary
//     with file capabilities, so it is set here again).
// Secure-execution mode (AT_SECURE, from the file capability) makes glibc drop
// TMPDIR, LD_* and more from its environment, and makes the process
// non-dumpable; the programs it starts therefore get the environment Halvern
// sends, never its own.

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "alarm_protocol.h"

namespace {

using halvern::alarm::Command;

constexpr int kPeer = 0;  // the socket to Halvern

// Writes all of `text` to Halvern; a broken socket is noticed by the next read.
void Send(std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::send(kPeer, text.data(), text.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

[[noreturn]] void Decline(const std::string& why) {
  Send("alarm 0 " + halvern::alarm::Encode(why) + "\n");
  ::_exit(1);
}

// Keeps CAP_WAKE_ALARM, when held, and no other capability, for this process
// and for everything it starts.
bool KeepOnlyWakeAlarm() {
  for (int cap = 0; cap < 64 && ::prctl(PR_CAPBSET_READ, cap) >= 0; ++cap) {
    ::prctl(PR_CAPBSET_DROP, cap);  // EPERM without CAP_SETPCAP: nothing to drop then
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  constexpr unsigned kIndex = CAP_WAKE_ALARM / 32;
  constexpr unsigned kBit = 1u << (CAP_WAKE_ALARM % 32);
  __user_cap_data_struct keep[2] = {};
  if (data[kIndex].permitted & kBit) keep[kIndex].permitted = keep[kIndex].effective = kBit;
  if (::syscall(SYS_capset, &header, keep) != 0) return false;
  if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
    return false;
  }
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
}

std::string RealPath(const std::string& path) {
  char real[PATH_MAX];
  return ::realpath(path.c_str(), real) != nullptr ? std::string(real) : std::string();
}

// `folder` resolved, when it is the program folder of this helper's install
// arrangement; empty otherwise.
std::string OwnProgramFolder(const char* folder) {
  const std::string self = RealPath("/proc/self/exe");
  const std::string given = folder[0] == '/' ? RealPath(folder) : std::string();
  if (self.empty() || given.empty()) return {};
  const std::string own = self.substr(0, self.rfind('/'));
  if (given == own || given == RealPath(own + "/../../bin")) return given;
  return {};
}

std::int64_t NowMs() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

class Alarm {
 public:
  Alarm(int timerFd, std::string folder) : timerFd_(timerFd), folder_(std::move(folder)) {}

  void Handle(std::string_view line);
  void OnTimer();

 private:
  struct Booking {
    std::string key;
    std::int64_t ms = 0;
    std::string file;
  };

  void Book(Command& command);
  void SetEnv(std::string entry);
  void Arm();
  pid_t Spawn(const std::string& file);

  int timerFd_;
  std::string folder_;
  std::vector<Booking> bookings_;
  std::vector<std::string> env_;  // NAME=VALUE, as Halvern sent them
};

void Alarm::Handle(std::string_view line) {
  auto command = halvern::alarm::ParseCommand(line);
  if (!command) return Send("refused malformed\n");
  switch (command->kind) {
    case Command::Kind::kEnv:
      return SetEnv(std::move(command->env));
    case Command::Kind::kBook:
      return Book(*command);
    case Command::Kind::kCancel:
      std::erase_if(bookings_, [&](const Booking& b) { return b.key == command->key; });
      return Arm();
  }
}

void Alarm::Book(Command& command) {
  if (command.file != halvern::alarm::kLauncherFile) return Send("refused program\n");
  auto it = std::find_if(bookings_.begin(), bookings_.end(),
                         [&](const Booking& b) { return b.key == command.key; });
  if (it == bookings_.end()) {
    if (bookings_.size() >= halvern::alarm::kMaxBookings) return Send("refused full\n");
    it = bookings_.insert(bookings_.end(), Booking{std::move(command.key), 0, {}});
  }
  it->ms = command.ms;
  it->file = std::move(command.file);
  Arm();
}

void Alarm::SetEnv(std::string entry) {
  const std::string_view name(entry.data(), entry.find('=') + 1);
  auto it = std::find_if(env_.begin(), env_.end(),
                         [&](const std::string& e) { return e.starts_with(name); });
  if (it != env_.end()) {
    *it = std::move(entry);
  } else if (env_.size() < halvern::alarm::kMaxEnv) {
    env_.push_back(std::move(entry));
  } else {
    Send("refused full\n");
  }
}

void Alarm::Arm() {
  itimerspec expiry{};
  if (!bookings_.empty()) {
    const auto earliest =
        std::min_element(bookings_.begin(), bookings_.end(),
                         [](const Booking& a, const Booking& b) { return a.ms < b.ms; });
    // An all-zero value would disarm the timer; any past time fires at once.
    const std::int64_t ms = std::max<std::int64_t>(earliest->ms, 1000);
    expiry.it_value.tv_sec = static_cast<time_t>(ms / 1000);
    expiry.it_value.tv_nsec = static_cast<long>(ms % 1000) * 1000000;
  }
  // A timer that cannot be armed would lose bookings silently: ending lets
  // Halvern take them over.
  if (::timerfd_settime(timerFd_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &expiry, nullptr) !=
      0) {
    ::_exit(1);
  }
}

void Alarm::OnTimer() {
  std::uint64_t expirations = 0;
  const ssize_t n = ::read(timerFd_, &expirations, sizeof expirations);
  if (n < 0 && errno != ECANCELED) return;  // EAGAIN: nothing yet
  // ECANCELED: the wall clock was set; the bookings keep their instants.
  const std::int64_t now = NowMs();
  std::vector<Booking> due;
  for (auto it = bookings_.begin(); it != bookings_.end();) {
    if (it->ms <= now) {
      due.push_back(std::move(*it));
      it = bookings_.erase(it);
    } else {
      ++it;
    }
  }
  for (const Booking& booking : due) {
    Send(halvern::alarm::FormatFired(booking.key, booking.ms, Spawn(booking.file)));
  }
  Arm();
}

pid_t Alarm::Spawn(const std::string& file) {
  std::string path = folder_ + "/" + file;
  std::vector<char*> envp;
  for (std::string& entry : env_) envp.push_back(entry.data());
  envp.push_back(nullptr);
  char* argv[] = {path.data(), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGCHLD, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2}) {
    sigaddset(&defaults, sig);
  }
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, path.c_str(), &actions, &attr, argv, envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -rc;
}

// Reads Halvern's lines until its socket ends. A line longer than the
// protocol allows is refused as a whole.
class LineReader {
 public:
  template <typename OnLine>
  bool ReadSome(OnLine&& onLine) {
    char chunk[4096];
    const ssize_t n = ::read(kPeer, chunk, sizeof chunk);
    if (n < 0) return errno == EINTR || errno == EAGAIN;
    if (n == 0) return false;
    pending_.append(chunk, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (std::size_t end; (end = pending_.find('\n', start)) != std::string::npos;
         start = end + 1) {
      if (discarding_) {
        discarding_ = false;  // the end of a line refused already
      } else if (end - start > halvern::alarm::kMaxLine) {
        Send("refused too-long\n");
      } else {
        onLine(std::string_view(pending_).substr(start, end - start));
      }
    }
    pending_.erase(0, start);
    if (pending_.size() > halvern::alarm::kMaxLine) {
      if (!discarding_) Send("refused too-long\n");
      discarding_ = true;
      pending_.clear();
    }
    return true;
  }

 private:
  std::string pending_;
  bool discarding_ = false;
};

void ReapChildren(int signalFd) {
  signalfd_siginfo info;
  while (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
  }
  while (::waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  // First of all: end with Halvern, also when it is already gone.
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  char* end = nullptr;
  const long parent = argc == 3 ? ::strtol(argv[2], &end, 10) : 0;
  if (argc != 3 || end == argv[2] || *end != '\0' || parent <= 1) {
    ::fprintf(stderr, "usage: HalvernAlarm <program folder> <parent pid> (started by Halvern)\n");
    return 2;
  }
  if (::getppid() != static_cast<pid_t>(parent)) return 0;
  struct stat st;
  if (::fstat(kPeer, &st) != 0 || !S_ISSOCK(st.st_mode)) {
    ::fprintf(stderr, "HalvernAlarm: standard input must be Halvern's socket\n");
    return 2;
  }
  ::fcntl(kPeer, F_SETFL, ::fcntl(kPeer, F_GETFL) & ~O_NONBLOCK);
  ::fcntl(kPeer, F_SETFD, FD_CLOEXEC);
  ::signal(SIGPIPE, SIG_IGN);

  if (!KeepOnlyWakeAlarm()) Decline("capabilities could not be limited");
  std::string folder = OwnProgramFolder(argv[1]);
  if (folder.empty()) Decline("not its own program folder");
  const int timerFd = ::timerfd_create(CLOCK_REALTIME_ALARM, TFD_CLOEXEC | TFD_NONBLOCK);
  if (timerFd < 0) Decline(::strerror(errno));

  sigset_t childSignal;
  sigemptyset(&childSignal);
  sigaddset(&childSignal, SIGCHLD);
  ::sigprocmask(SIG_BLOCK, &childSignal, nullptr);
  const int signalFd = ::signalfd(-1, &childSignal, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signalFd < 0) Decline(::strerror(errno));
  Send("alarm 1\n");

  Alarm alarm(timerFd, std::move(folder));
  LineReader reader;
  for (;;) {
    pollfd fds[3] = {{kPeer, POLLIN, 0}, {timerFd, POLLIN, 0}, {signalFd, POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if (fds[1].revents & POLLIN) alarm.OnTimer();
    if (fds[2].revents & POLLIN) ReapChildren(signalFd);
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      if (!reader.ReadSome([&](std::string_view line) { alarm.Handle(line); })) return 0;
    }
  }
}
