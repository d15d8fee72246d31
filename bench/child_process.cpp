#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

extern char** environ;

namespace halvern::bench {
namespace {

using SteadyClock = std::chrono::steady_clock;

// This process's environment with `changes` ("NAME=value") put in.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& changes) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const std::string& c : changes) replaced |= c.substr(0, c.find('=')) == name;
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), changes.begin(), changes.end());
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (std::string& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

std::string DescribeStatus(int status) {
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

std::unique_ptr<ChildProcess> ChildProcess::Spawn(const SpawnOptions& options, std::string& error) {
  const std::string output = options.outputFile.empty() ? "/dev/null" : options.outputFile;
  const int outFd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (outFd < 0) {
    error = "cannot open " + output + ": " + std::strerror(errno);
    return nullptr;
  }
  int pipeFds[2] = {-1, -1};
  if (options.captureStdout && ::pipe2(pipeFds, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    ::close(outFd);
    return nullptr;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, options.captureStdout ? pipeFds[1] : outFd,
                                   STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outFd, STDERR_FILENO);
  std::vector<std::string> args = options.argv;
  std::vector<std::string> env = MergedEnvironment(options.setEnv);
  std::vector<char*> argv = Pointers(args);
  std::vector<char*> envp = Pointers(env);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(outFd);
  if (options.captureStdout) ::close(pipeFds[1]);
  if (rc != 0) {
    error = "cannot start " + options.argv[0] + ": " + std::strerror(rc);
    if (options.captureStdout) ::close(pipeFds[0]);
    return nullptr;
  }
  return std::unique_ptr<ChildProcess>(new ChildProcess(pid, pipeFds[0]));
}

ChildProcess::~ChildProcess() {
  if (!ended_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  if (stdoutFd_ >= 0) ::close(stdoutFd_);
}

std::string ChildProcess::ReadLine() {
  for (;;) {
    if (const std::size_t end = buffered_.find('\n'); end != std::string::npos) {
      std::string line = buffered_.substr(0, end);
      buffered_.erase(0, end + 1);
      return line;
    }
    char chunk[512];
    const ssize_t n = stdoutFd_ < 0 ? 0 : ::read(stdoutFd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::exchange(buffered_, {});
    buffered_.append(chunk, static_cast<std::size_t>(n));
  }
}

std::string ChildProcess::ReadAll() {
  std::string all;
  for (std::string line = ReadLine(); !line.empty(); line = ReadLine()) all += line + "\n";
  return all;
}

void ChildProcess::Reaped(int status) { ended_ = DescribeStatus(status); }

bool ChildProcess::HasEnded(std::string* how) {
  if (!ended_) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) Reaped(status);
  }
  if (ended_ && how) *how = *ended_;
  return ended_.has_value();
}

std::string ChildProcess::Wait() {
  if (!ended_) {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    Reaped(status);
  }
  return *ended_;
}

std::string ChildProcess::End(int signal, std::chrono::milliseconds grace) {
  std::string how;
  if (HasEnded(&how)) return how + " before it was asked to end";
  const auto start = SteadyClock::now();
  ::kill(pid_, signal);
  while (!HasEnded(&how) && SteadyClock::now() - start < grace) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const auto ms = [&] {
    return std::to_string(
               std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start)
                   .count()) +
           " ms";
  };
  const std::string name = signal == SIGTERM ? "SIGTERM" : "signal " + std::to_string(signal);
  if (ended_) return how + " after " + name + " (" + ms() + ")";
  const std::string waited = ms();
  ::kill(pid_, SIGKILL);
  return Wait() + " by SIGKILL: did not end within " + waited + " of " + name;
}

}  // namespace halvern::bench
