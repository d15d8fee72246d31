// run_measure PROGRAM: starts PROGRAM, waits for it and prints its wall time in
// microseconds and its peak resident memory in KB. Kept tiny (C library only):
// a child's peak memory includes what its parent had mapped before exec, so the
// parent must be small for the figure to be the program's own.

#include <spawn.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  timespec start{}, end{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[1], nullptr, nullptr, argv + 1, environ) != 0) return 1;
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  clock_gettime(CLOCK_MONOTONIC, &end);
  const long us = (end.tv_sec - start.tv_sec) * 1000000L + (end.tv_nsec - start.tv_nsec) / 1000;
  printf("%ld %ld %d\n", us, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return 0;
}
