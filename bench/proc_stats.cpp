#include "proc_stats.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace halvern::bench {
namespace {

// utime + stime from /proc/<pid>/stat, in seconds; negative when unreadable.
double CpuSeconds(pid_t pid) {
  const long long ticks = CpuTicks(pid);
  if (ticks < 0) return -1;
  return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long StatusField(const std::string& status, const char* name) {
  const std::size_t at = status.find(name);
  return at == std::string::npos ? 0 : std::atol(status.c_str() + at + std::strlen(name));
}

int CountDescriptors(pid_t pid) {
  std::error_code ec;
  int count = 0;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end;
       !ec && it != end; it.increment(ec)) {
    ++count;
  }
  return count;
}

}  // namespace

long long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return -1;
  // The command name in parentheses may hold spaces: fields count from after it.
  const std::size_t close = line.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(line.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
    if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
  }
  return static_cast<long long>(utime + stime);
}

std::optional<ProcSample> SampleProc(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::stringstream text;
  text << in.rdbuf();
  const std::string status = text.str();
  ProcSample s;
  s.cpuSeconds = CpuSeconds(pid);
  // A zombie has no memory left: count it as gone.
  if (status.empty() || s.cpuSeconds < 0 || status.find("\nVmRSS:") == std::string::npos) {
    return std::nullopt;
  }
  s.rssKb = StatusField(status, "\nVmRSS:");
  s.peakKb = StatusField(status, "\nVmHWM:");
  s.threads = static_cast<int>(StatusField(status, "\nThreads:"));
  s.descriptors = CountDescriptors(pid);
  return s;
}

bool IsListening(const std::string& path) {
  // Columns: Num RefCount Protocol Flags Type St Inode Path; a listening socket
  // has __SO_ACCEPTCON (0x10000) in Flags. The path may hold spaces.
  constexpr unsigned long kAcceptCon = 0x10000;
  std::ifstream in("/proc/net/unix");
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    unsigned long flags = 0;
    int pathStart = 0;
    if (std::sscanf(line.c_str(), "%*s %*s %*s %lx %*s %*s %*s %n", &flags, &pathStart) < 1 ||
        pathStart <= 0) {
      continue;
    }
    if ((flags & kAcceptCon) != 0 &&
        line.compare(static_cast<std::size_t>(pathStart), std::string::npos, path) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace halvern::bench
