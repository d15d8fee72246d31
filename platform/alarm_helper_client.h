#pragma once
// Halvern's side of HalvernAlarm, the helper that holds the wake-up alarm with
// the one capability cap_wake_alarm (protocol in alarm/alarm_protocol.h).
// Halvern itself never holds a capability or a timer of the helper's: it only
// tells the helper its bookings over a socket.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "alarm_protocol.h"

namespace halvern {

class AlarmHelperClient {
 public:
  // The helper of the install arrangement of `programFolder`:
  // <folder>/../libexec/halvern/HalvernAlarm when installed, else
  // <folder>/HalvernAlarm (a build tree); empty when neither is a program.
  static std::filesystem::path Find(const std::filesystem::path& programFolder);

  // Starts the helper for `programFolder`, waits up to `timeout` for its
  // answer and hands it this process's environment for the programs it
  // starts. Nothing when there is no helper, it cannot be started (exec may
  // fail with EPERM where file capabilities cannot be granted) or it does not
  // hold the alarm clock. The helper's parent-death signal follows the
  // calling thread: call this on a thread that lives as long as the client.
  static std::unique_ptr<AlarmHelperClient> Start(const std::filesystem::path& programFolder,
                                                  std::chrono::milliseconds timeout);

  // Closes the socket, which ends the helper, and reaps it.
  ~AlarmHelperClient();
  AlarmHelperClient(const AlarmHelperClient&) = delete;
  AlarmHelperClient& operator=(const AlarmHelperClient&) = delete;

  int fd() const { return fd_; }
  pid_t pid() const { return pid_; }

  // Sends one protocol line. False when the socket is broken or stays full;
  // it is then shut down, so that Read() reports the helper gone.
  [[nodiscard]] bool Send(const std::string& line);

  struct ReadResult {
    std::vector<alarm::Reply> replies;  // the bookings it started, in order
    // The helper is gone, refused a line or sent something that is not a
    // reply: it no longer holds what Halvern booked.
    bool gone = false;
  };
  // What the helper sent since the last call (the socket is non-blocking).
  [[nodiscard]] ReadResult Read();

 private:
  AlarmHelperClient(int fd, pid_t pid) : fd_(fd), pid_(pid) {}
  bool AwaitGreeting(std::chrono::milliseconds timeout);
  bool SendEnvironment();

  int fd_;
  pid_t pid_;
  std::string pending_;  // received bytes not yet a whole line
};

}  // namespace halvern
