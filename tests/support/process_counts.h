// Resource counts of this process, for tests that check nothing is leaked.
#pragma once

#include <dirent.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>

namespace ktcomm::test {

inline int CountEntries(const char* dir) {
  DIR* d = opendir(dir);
  if (d == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(d)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(d);
  return count - 1;  // the directory stream's own descriptor, where it counts
}

inline int OpenFdCount() { return CountEntries("/proc/self/fd"); }
inline int ThreadCount() { return CountEntries("/proc/self/task") + 1; }

// Resident set size in KiB.
inline long ResidentKiB() {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, status)) {
    if (std::strncmp(line, "VmRSS:", 6) == 0) kib = std::strtol(line + 6, nullptr, 10);
  }
  std::fclose(status);
  return kib;
}

// A runtime may start a helper thread along with the first thread a process
// creates (the thread sanitizer does). Starting and joining one thread before
// taking a baseline keeps that helper out of the counts that follow.
inline void SettleRuntimeThreads() { std::thread([] {}).join(); }

// Ids of this process's threads; a thread started in between is in the
// difference of two calls.
inline std::set<int> ThreadIds() {
  std::set<int> ids;
  DIR* d = opendir("/proc/self/task");
  if (d == nullptr) return ids;
  while (dirent* entry = readdir(d)) {
    if (entry->d_name[0] != '.') ids.insert(std::atoi(entry->d_name));
  }
  closedir(d);
  return ids;
}

// Threads listed now that were not listed in `before`.
inline std::set<int> ThreadsSince(const std::set<int>& before) {
  std::set<int> started;
  for (int id : ThreadIds()) {
    if (!before.count(id)) started.insert(id);
  }
  return started;
}

// Waits up to timeoutMs until exactly `count` of the threads listed were not
// listed in `before`. A joined thread stays listed for a moment after the
// join returns (the kernel wakes the joiner before it removes the thread), so
// a count taken at once may be one too high.
inline bool WaitThreadsSince(const std::set<int>& before, size_t count, int timeoutMs = 2000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (ThreadsSince(before).size() != count) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));  // nothing to wait on
  }
  return true;
}

// User plus system CPU time of one thread of this process, in clock ticks;
// -1 when the thread is gone.
inline long ThreadCpuTicks(int tid) {
  std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
  FILE* stat = std::fopen(path.c_str(), "r");
  if (stat == nullptr) return -1;
  char line[1024];
  char* got = std::fgets(line, sizeof line, stat);
  std::fclose(stat);
  if (got == nullptr) return -1;
  // The name in parentheses may hold blanks; the fields after it do not.
  const char* rest = std::strrchr(line, ')');
  if (rest == nullptr) return -1;
  unsigned long utime = 0, stime = 0;
  // Fields 3 (state) to 13 are skipped, 14 and 15 are utime and stime.
  if (std::sscanf(rest + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                  &stime) != 2) {
    return -1;
  }
  return static_cast<long>(utime + stime);
}

}  // namespace ktcomm::test
