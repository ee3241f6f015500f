// Programs a test or a benchmark runs beside itself: finding one, and
// waiting with a deadline for one it started to end. Needs no test framework.
#pragma once

#include <poll.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <string>

namespace ktcomm::test {

// The first executable `name` in PATH, then in `moreDirs` (a colon-separated
// list, for folders that a user's PATH often lacks); empty when none is.
inline std::string FindProgram(const std::string& name, const std::string& moreDirs) {
  std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  path += ":" + moreDirs;
  std::stringstream dirs(path);
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    std::string candidate = dir + "/" + name;
    if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// Reaps the child `pid`, waiting as long as it takes.
inline void Reap(pid_t pid) {
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Waits up to `ms` for the child `pid` to end; true once it has ended and
// is reaped. Without pidfd_open (an old kernel) it waits without limit.
inline bool WaitExit(pid_t pid, int ms) {
  int watch = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (watch >= 0) {
    pollfd pfd{watch, POLLIN, 0};
    int ready;
    do {
      ready = poll(&pfd, 1, ms);
    } while (ready < 0 && errno == EINTR);
    close(watch);
    if (ready == 0) return false;
  }
  Reap(pid);
  return true;
}

}  // namespace ktcomm::test
