#pragma once
// A child process of the program benchmark: started with posix_spawn, its
// output sent to a file or captured, ended on purpose or when the owner goes.

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace halvern::bench {

struct SpawnOptions {
  std::vector<std::string> argv;    // argv[0] is the program's path
  std::vector<std::string> setEnv;  // "NAME=value" added to (or replacing in) this environment
  std::string outputFile;           // stdout and stderr go here; empty: /dev/null
  bool captureStdout = false;       // stdout to a pipe read by ReadAll (stderr to outputFile)
};

class ChildProcess {
 public:
  // Starts the program; nullptr and `error` set when it could not be started.
  [[nodiscard]] static std::unique_ptr<ChildProcess> Spawn(const SpawnOptions& options,
                                                           std::string& error);
  ~ChildProcess();  // a child still running is killed and reaped
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // One line of the captured stdout (without its newline); empty at its end.
  [[nodiscard]] std::string ReadLine();
  // The captured stdout up to its end.
  [[nodiscard]] std::string ReadAll();
  // True once the child has ended (it is then reaped); `how` says how.
  [[nodiscard]] bool HasEnded(std::string* how = nullptr);
  // Waits for the child to end; says how it ended.
  std::string Wait();
  // Sends `signal`; when the child has not ended after `grace`, SIGKILL.
  // Says how it ended, e.g. "exit 0 after SIGTERM (120 ms)".
  std::string End(int signal, std::chrono::milliseconds grace);

 private:
  ChildProcess(pid_t pid, int stdoutFd) : pid_(pid), stdoutFd_(stdoutFd) {}
  void Reaped(int status);

  pid_t pid_;
  int stdoutFd_;
  std::string buffered_;
  std::optional<std::string> ended_;
};

// Describes a wait status: "exit 3", "killed by signal 9".
std::string DescribeStatus(int status);

}  // namespace halvern::bench
