// Resource counts of this process, for tests that check nothing is leaked.
#pragma once

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

}  // namespace ktcomm::test
