// Hostile tests run each scenario in a child process: a library that
// crashes, hangs or races there fails the test here instead of ending the
// whole binary, and the process-wide state a scenario leaves behind (the
// port table, the traffic log) dies with the child.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "api/ktcomm.h"
#include "tests/support/hostile_server.h"
#include "tests/support/pty_port.h"

namespace ktcomm::test {

using Clock = std::chrono::steady_clock;

// The step a scenario is in, kept in memory shared with the parent, so that
// a child killed for hanging is reported with where it hung.
class Steps {
 public:
  explicit Steps(char* text) : text(text) {}
  void Now(const char* step) {
    std::strncpy(text, step, kSize - 1);
    text[kSize - 1] = '\0';
  }
  static constexpr size_t kSize = 160;

 private:
  char* text;
};

// Runs body in a child process. The child's failed expectations, a signal
// that ends it (a crash, an abort, a sanitizer) or a non-zero exit (a race
// the thread sanitizer reported) fail the test, and so does running past
// timeoutMs: the child is killed then. A child that skipped skips the test.
inline void RunScenario(int timeoutMs, const std::function<void(Steps&)>& body) {
  constexpr int kSkipped = 77;
  struct SharedPage {
    void* memory = mmap(nullptr, Steps::kSize, PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ~SharedPage() {
      if (memory != MAP_FAILED) munmap(memory, Steps::kSize);
    }
  } shared;
  ASSERT_NE(shared.memory, MAP_FAILED);
  char* step = static_cast<char*>(shared.memory);
  std::strcpy(step, "starting");
  std::fflush(nullptr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Steps steps(step);
    body(steps);
    steps.Now("exiting");
    std::fflush(nullptr);
    // exit, not _exit: the sanitizers report at exit and set the status.
    if (testing::Test::HasFailure()) std::exit(1);
    std::exit(testing::Test::IsSkipped() ? kSkipped : 0);
  }
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  pid_t done = 0;
  while ((done = waitpid(child, &status, WNOHANG)) == 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // polling the child
  }
  if (done == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    ADD_FAILURE() << "hung for " << timeoutMs << " ms in step: " << step;
  } else if (WIFSIGNALED(status)) {
    ADD_FAILURE() << "died of " << strsignal(WTERMSIG(status)) << " in step: " << step;
  } else if (WEXITSTATUS(status) == kSkipped) {
    GTEST_SKIP() << "skipped in the child";
  } else if (WEXITSTATUS(status) != 0) {
    ADD_FAILURE() << "exited with " << WEXITSTATUS(status) << " in step: " << step
                  << " (failures or a sanitizer report above)";
  }
}

// Milliseconds a call takes.
template <typename Call>
long ElapsedMs(Call call) {
  auto start = Clock::now();
  call();
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

inline long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Resident memory of this process in MiB.
inline long ResidentMiB() {
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return -1;
  long size = 0, resident = 0;
  int got = std::fscanf(statm, "%ld %ld", &size, &resident);
  std::fclose(statm);
  if (got != 2) return -1;
  return resident * sysconf(_SC_PAGESIZE) / (1024 * 1024);
}

// CPU time (user and system, all threads) this process has used, in ms.
inline long ProcessCpuMs() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

inline int OpenPort(KTWindow* window, int port, int txSize, int rxSize = 256) {
  return KTOpenPort(window, port, txSize, rxSize, 115200, 'N', 8, 1, 1);
}

// Points the port at a hostile server, which cooperates until told to
// misbehave, and opens it there; KTOpenPort's result, or -1 (and a failure)
// when the server did not start.
inline int OpenOnServer(Steps& steps, const HostileServer& server, KTWindow* window, int port,
                        int txSize) {
  if (!server.ok()) {
    ADD_FAILURE() << "the hostile server did not start";
    return -1;
  }
  MapPort(port, server.Url());
  steps.Now("KTOpenPort on a cooperating server");
  return OpenPort(window, port, txSize);
}

// A 100 ms wait for a frame; its result.
inline int ShortWait(int port) {
  unsigned char command = 0;
  unsigned char data[64];
  uint32_t length = sizeof data;
  return KTWaitForMessage(port, 100, &command, data, &length);
}

}  // namespace ktcomm::test
